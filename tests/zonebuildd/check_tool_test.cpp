// The BIND zone check: which zones load, what the capture holds, how it is
// bounded, and that every forked worker captures only the messages of its own loads.
#include "check_tool.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// BIND's logging can be set up once per process: one set-up for the whole test program.
class bind9_environment : public ::testing::Environment {
  public:
    void SetUp() override { ASSERT_EQ(bind9_init(), 0); }
    void TearDown() override { bind9_shutdown(); }
};
const auto *const environment = ::testing::AddGlobalTestEnvironment(new bind9_environment);

// A private directory for the test's zone files, removed with everything in it.
class zone_dir {
  public:
    zone_dir() {
        std::string pattern = std::filesystem::temp_directory_path() / "check_tool_test.XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
        }
        path_ = pattern;
    }
    ~zone_dir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    zone_dir(const zone_dir &) = delete;
    zone_dir &operator=(const zone_dir &) = delete;

    // Writes a zone file whose head is the SOA of `zone`, followed by `body`.
    std::string write(const std::string &file, const std::string &zone, const std::string &body) {
        return write_raw(file, "$TTL 3600\n@ IN SOA ns1." + zone + ". hostmaster." + zone +
                                   ". 1 3600 900 604800 300\n" + body);
    }
    std::string write_raw(const std::string &file, const std::string &text) {
        const std::string path = path_ + "/" + file;
        std::ofstream(path) << text;
        return path;
    }
    std::string path(const std::string &file) const { return path_ + "/" + file; }

  private:
    std::string path_;
};

const char *const valid_body = "@ IN NS ns1\n"
                               "ns1 IN A 192.0.2.1\n"
                               "www IN A 192.0.2.2\n";

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

TEST(BindCheck, ValidZoneLoadsAndLogsItsSerial) {
    zone_dir dir;
    const auto path = dir.write("example.test", "example.test", valid_body);
    bind9_consume_log();
    EXPECT_EQ(bind9_checkzone("example.test", path.c_str()), 0);
    EXPECT_EQ(std::string(bind9_consume_log()), "zone example.test/IN: loaded serial 1\n");
}

TEST(BindCheck, ZoneNameWithOrWithoutFinalDotIsTheSameName) {
    zone_dir dir;
    const auto path = dir.write("example.test", "example.test", valid_body);
    EXPECT_EQ(bind9_checkzone("example.test.", path.c_str()), 0);
    EXPECT_EQ(bind9_checkzone("example.test", path.c_str()), 0);
}

TEST(BindCheck, OutOfZoneNsMxSrvTargetsAreAcceptedByTheCallbacks) {
    zone_dir dir;
    const auto path = dir.write("example.test", "example.test",
                                "@ IN NS ns.elsewhere.invalid.\n"
                                "@ IN NS ns1\n"
                                "ns1 IN A 192.0.2.1\n"
                                "@ IN MX 10 mail.elsewhere.invalid.\n"
                                "_sip._tcp IN SRV 0 0 5060 sip.elsewhere.invalid.\n");
    bind9_consume_log();
    EXPECT_EQ(bind9_checkzone("example.test", path.c_str()), 0);
    EXPECT_EQ(std::string(bind9_consume_log()), "zone example.test/IN: loaded serial 1\n");
}

struct broken_case {
    const char *what;
    const char *body;      // after the SOA; nullptr: the file does not exist
    const char *code_text; // bind9_result_totext of the result
    const char *logged;    // a line part the capture must hold
};

TEST(BindCheck, BrokenZonesAreRefusedAndTheCaptureNamesTheProblem) {
    const broken_case cases[] = {
        {"CNAME beside other data",
         "@ IN NS ns1\nns1 IN A 192.0.2.1\nwww IN CNAME ns1\n"
         "www IN A 192.0.2.9\n",
         "CNAME and other data", "www.example.test: CNAME and other data"},
        {"in-zone NS without address (fatal NS check)",
         "@ IN NS ns1\n@ IN NS ns2\nns1 IN A 192.0.2.1\n", "bad zone",
         "zone example.test/IN: NS 'ns2.example.test' has no address records (A or AAAA)"},
        {"bad address", "@ IN NS ns1\nns1 IN A 192.0.2.1\nhost IN A 999.1.1.1\n", "bad dotted quad",
         "near '999.1.1.1': bad dotted quad"},
        {"missing file", nullptr, "file not found", "failed: file not found"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        zone_dir dir;
        const auto path = c.body != nullptr ? dir.write("example.test", "example.test", c.body)
                                            : dir.path("example.test");
        bind9_consume_log();
        const int result = bind9_checkzone("example.test", path.c_str());
        const std::string text = bind9_consume_log();
        EXPECT_NE(result, 0);
        EXPECT_STREQ(bind9_result_totext(result), c.code_text);
        EXPECT_TRUE(contains(text, c.logged)) << text;
        EXPECT_TRUE(contains(text, "zone example.test/IN: not loaded due to errors.")) << text;
    }
}

// What named itself refuses to load as a primary zone (check-names primary fail, the record
// limits of 9.18) the check refuses too. Where named-checkzone is installed it is asked as
// well, with the check-names policy named applies to primaries; it applies no record limits
// (named does: the integration tests load such a zone into a private named).
std::string many_records(const char *owner, int count) {
    std::string text;
    for (int i = 1; i <= count; ++i)
        text += std::string(owner) + " IN A 192.0.2." + std::to_string(i) + "\n";
    return text;
}

std::optional<bool> named_checkzone_loads(const std::string &path) {
    const std::string tool = "/usr/bin/named-checkzone";
    if (access(tool.c_str(), X_OK) != 0)
        return std::nullopt;
    const std::string command = tool + " -q -k fail example.test " + path + " >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(BindCheck, ZonesNamedRefusesToLoadAreRefused) {
    const std::string head = "$TTL 3600\n@ IN SOA ns1.example.test. ";
    const std::string rest = " 1 3600 900 604800 300\n@ IN NS ns1\nns1 IN A 192.0.2.1\n";
    const struct {
        const char *what;
        std::string mailbox, body;
        bool loads;
        const char *logged;
    } cases[] = {
        {"host names are valid", "hostmaster.example.test.", "www IN A 192.0.2.2\n", true, ""},
        {"A owner with _", "hostmaster.example.test.", "my_host IN A 192.0.2.3\n", false,
         "my_host.example.test: bad owner name (check-names)"},
        {"AAAA owner with _", "hostmaster.example.test.", "my_host IN AAAA 2001:db8::1\n", false,
         "bad owner name (check-names)"},
        {"MX target with _", "hostmaster.example.test.", "@ IN MX 10 m_x.example.net.\n", false,
         "near 'm_x.example.net.': bad name (check-names)"},
        {"SOA mailbox domain with _", "hostmaster.ex_ample.test.", "", false,
         "near 'hostmaster.ex_ample.test.': bad name (check-names)"},
        {"SOA mailbox local part with _ (a mailbox may hold it)", "host_master.example.test.", "",
         true, ""},
        {"TXT owner with _ (not a host name)", "hostmaster.example.test.",
         "_dmarc IN TXT \"v=DMARC1\"\n", true, ""},
        {"100 records in one set", "hostmaster.example.test.", many_records("www", 100), true, ""},
        {"101 records in one set", "hostmaster.example.test.", many_records("www", 101), false,
         "too many records"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        zone_dir dir;
        const auto path = dir.write_raw("example.test", head + c.mailbox + rest + c.body);
        bind9_consume_log();
        const int result = bind9_checkzone("example.test", path.c_str());
        const std::string text = bind9_consume_log();
        EXPECT_EQ(result == 0, c.loads) << text;
        EXPECT_TRUE(contains(text, c.logged)) << text;
        const auto oracle = named_checkzone_loads(path);
        if (oracle && !contains(c.what, "records in one set")) {
            EXPECT_EQ(*oracle, c.loads) << "named-checkzone disagrees";
        }
    }
}

TEST(BindCheck, ZoneWithoutSoaIsRefused) {
    zone_dir dir;
    const auto path = dir.write_raw("example.test", "$TTL 3600\n@ IN NS ns1\nns1 IN A 192.0.2.1\n");
    bind9_consume_log();
    EXPECT_NE(bind9_checkzone("example.test", path.c_str()), 0);
    EXPECT_TRUE(contains(bind9_consume_log(), "zone example.test/IN: has 0 SOA records"));
}

// The chosen options make these warnings only: the zone loads and the warning is captured.
TEST(BindCheck, WarningOnlyProblemsLoadWithTheirWarningCaptured) {
    const struct {
        const char *body;
        const char *logged;
    } cases[] = {
        {"@ IN NS ns1\nns1 IN A 192.0.2.1\n@ IN MX 10 mx\nmx IN CNAME ns1\n",
         "example.test/MX 'mx.example.test' is a CNAME (illegal)"},
        {"@ IN NS ns1\nns1 IN A 192.0.2.1\nsub IN NS ns.sub\n",
         "'ns.sub.example.test' has no REQUIRED GLUE address records"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.logged);
        zone_dir dir;
        const auto path = dir.write("example.test", "example.test", c.body);
        bind9_consume_log();
        EXPECT_EQ(bind9_checkzone("example.test", path.c_str()), 0);
        const std::string text = bind9_consume_log();
        EXPECT_TRUE(contains(text, c.logged)) << text;
        EXPECT_TRUE(contains(text, "loaded serial 1")) << text;
    }
}

TEST(BindCheck, DrainBeforeACheckDiscardsEarlierText) {
    zone_dir dir;
    const auto broken = dir.write("broken.test", "broken.test",
                                  "@ IN NS ns1\nns1 IN A 192.0.2.1\nwww IN CNAME ns1\n"
                                  "www IN A 192.0.2.9\n");
    const auto valid = dir.write("example.test", "example.test", valid_body);
    ASSERT_NE(bind9_checkzone("broken.test", broken.c_str()), 0);

    bind9_consume_log(); // the zone writer's drain before the next zone's check
    ASSERT_EQ(bind9_checkzone("example.test", valid.c_str()), 0);
    const std::string text = bind9_consume_log();
    EXPECT_FALSE(contains(text, "broken.test")) << text;
    EXPECT_TRUE(contains(text, "zone example.test/IN: loaded serial 1")) << text;
    EXPECT_STREQ(bind9_consume_log(), "");
}

TEST(BindCheck, CaptureIsBoundedByThePipeCapacityAndNeverBlocks) {
    zone_dir dir;
    std::string body = "@ IN NS ns1\nns1 IN A 192.0.2.1\n";
    for (int i = 0; i < 5000; ++i) {
        body += "host" + std::to_string(i) + " IN A 999.0.0." + std::to_string(i % 256) + "\n";
    }
    const auto broken = dir.write("example.test", "example.test", body);
    const auto valid = dir.write("valid.test", "valid.test", valid_body);
    const size_t capacity = bind9_log_capacity();
    ASSERT_GT(capacity, 0u);

    bind9_consume_log();
    EXPECT_NE(bind9_checkzone("example.test", broken.c_str()), 0); // > 300 KB of text logged
    const std::string text = bind9_consume_log();
    EXPECT_LE(text.size(), capacity);
    EXPECT_GT(text.size(), capacity / 2);
    EXPECT_EQ(text.rfind("dns_rdata_fromtext: ", 0), 0u) << text.substr(0, 200);
    EXPECT_STREQ(bind9_consume_log(), "") << "the rest was lost, not kept for the next drain";

    // The overflow leaves the capture working for the next zone.
    ASSERT_EQ(bind9_checkzone("valid.test", valid.c_str()), 0);
    EXPECT_STREQ(bind9_consume_log(), "zone valid.test/IN: loaded serial 1\n");
}

TEST(BindCheck, InitIsIdempotentAndResultTextsComeFromLibisc) {
    EXPECT_EQ(bind9_init(), 0);
    EXPECT_EQ(bind9_worker_init(), 0) << "the initialising process already owns its pipe";
    EXPECT_STREQ(bind9_result_totext(0), "success");
    EXPECT_STREQ(bind9_result_totext(bind9_checkzone(nullptr, "x")), "failure");
}

// ---- worker processes ---------------------------------------------------------------------

// What a worker reports through its exit status.
enum worker_status {
    worker_ok = 0,
    worker_init_failed = 10,
    worker_saw_parent_text,
    worker_load_succeeded,
    worker_missed_own_text,
    worker_saw_other_text,
};

// The body of a forked worker: drains and checks its zone `rounds` times, as the zone writer
// does, and reports the first way in which its capture was not its own.
int worker_body(bool explicit_init, int start_fd, const char *zone, const char *path,
                const char *own_text, const char *other_zone, int rounds) {
    if (explicit_init && bind9_worker_init() != 0) {
        return worker_init_failed;
    }
    if (*bind9_consume_log() != '\0') {
        return worker_saw_parent_text;
    }
    char go;
    while (read(start_fd, &go, 1) < 0 && errno == EINTR) {
    }
    const std::string other = std::string("zone ") + other_zone + "/IN";
    for (int i = 0; i < rounds; ++i) {
        bind9_consume_log();
        if (bind9_checkzone(zone, path) == 0) {
            return worker_load_succeeded;
        }
        const std::string text = bind9_consume_log();
        if (!contains(text, own_text)) {
            return worker_missed_own_text;
        }
        if (contains(text, other) || contains(text, "parent.test")) {
            return worker_saw_other_text;
        }
    }
    return worker_ok;
}

int exit_status_of(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void run_two_workers(bool explicit_init) {
    zone_dir dir;
    const auto alpha = dir.write("alpha.test", "alpha.test",
                                 "@ IN NS ns1\nns1 IN A 192.0.2.1\nwww IN CNAME ns1\n"
                                 "www IN A 192.0.2.9\n");
    const auto beta =
        dir.write("beta.test", "beta.test", "@ IN NS ns1\n@ IN NS ns2\nns1 IN A 192.0.2.1\n");
    const auto parent = dir.write("parent.test", "parent.test", "@ IN NS ns.missing\n");

    // Text left in the parent's pipe before the fork must reach neither worker.
    bind9_consume_log();
    ASSERT_NE(bind9_checkzone("parent.test", parent.c_str()), 0);

    int start[2];
    ASSERT_EQ(pipe(start), 0);
    const pid_t a = fork();
    if (a == 0) {
        close(start[1]);
        _exit(worker_body(explicit_init, start[0], "alpha.test", alpha.c_str(),
                          "www.alpha.test: CNAME and other data", "beta.test", 300));
    }
    const pid_t b = a > 0 ? fork() : -1;
    if (b == 0) {
        close(start[1]);
        _exit(worker_body(explicit_init, start[0], "beta.test", beta.c_str(),
                          "NS 'ns2.beta.test' has no address records", "alpha.test", 300));
    }
    close(start[0]);
    const char go[2] = {'g', 'g'};
    EXPECT_EQ(write(start[1], go, sizeof go), 2); // both start checking at the same moment
    close(start[1]);
    ASSERT_GT(a, 0);
    EXPECT_EQ(exit_status_of(a), worker_ok);
    ASSERT_GT(b, 0);
    EXPECT_EQ(exit_status_of(b), worker_ok);

    // The parent's pipe holds its own text and nothing the workers logged.
    const std::string text = bind9_consume_log();
    EXPECT_TRUE(contains(text, "zone parent.test/IN")) << text;
    EXPECT_FALSE(contains(text, "alpha.test")) << text;
    EXPECT_FALSE(contains(text, "beta.test")) << text;
}

TEST(BindCheckWorkers, ConcurrentWorkersEachCaptureOnlyTheirOwnZone) {
    run_two_workers(true);
}

TEST(BindCheckWorkers, WorkerThatSkipsWorkerInitIsSwitchedToItsOwnPipe) {
    run_two_workers(false);
}

} // namespace
