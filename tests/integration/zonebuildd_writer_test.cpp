// The zone builder's jobs in process, against a private MariaDB and a stand-in rndc: what a
// job does when a worker hangs, when the daemon is told to stop mid-job, when the reload
// fails, and how the custom "writeacl" job behaves when it cannot finish.
#include "zonebuildd.h"

#include "check_tool.h"
#include "dns_common.h"
#include "logging.h"
#include "mariadb_fixture.h"
#include "run_program.h"
#include "zone_writer.h"
#include "zonebuildd_in_process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <sstream>
#include <sys/stat.h>
#include <thread>

// This binary is linked with --wrap=bind9_checkconf: while `refuse_acl_files` is set, an
// ACL file's text reaches BIND's parser without its last ";", as no panel data can make it.
bool refuse_acl_files = false;

extern "C" int __real_bind9_checkconf(const char *conf_text);
extern "C" int __wrap_bind9_checkconf(const char *conf_text) {
    std::string text = conf_text ? conf_text : "";
    if (refuse_acl_files && text.starts_with("acl common-allow-transfer {\n"))
        text.erase(text.rfind(';'), 1);
    return __real_bind9_checkconf(text.c_str());
}

namespace {

class Writer : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ASSERT_EQ(0, bind9_init()); }

    void SetUp() override {
        logging_init("zonebuildd", "stdlog", nullptr);
        _init_global_str();
        ASSERT_EQ(0, db.exec("INSERT INTO misc(param, value) VALUES('log_level', '7'), "
                             "('refresh', '3600'), ('retry', '600'), ('expire', '86400'), "
                             "('min_ttl', '300'), ('default_ttl', '300');"
                             "INSERT INTO client(id, login, email) VALUES(7, 'ann', "
                             "'hostmaster@example.net');"
                             "INSERT INTO file_template_default(id, name) VALUES(1, "
                             "'zonaris.include');"
                             "INSERT INTO file_template(file_template_default_id, content) "
                             "VALUES(1, 'zone \"[zone_name]\" { type [zone_type]; file "
                             "\"[zone_file_name]\"; [zone_options]; };')"))
            << db.last_error();
        config_pairs keys = db.config();
        for (const auto &kv : stand_in_named_keys(tree))
            keys.push_back(kv);
        rndc_exits(0);
        ASSERT_NO_FATAL_FAILURE(init_in_process(st, etc, keys));
        set_log_level(LOG_ERR);
    }

    void TearDown() override { clean_invariant(st); }

    std::string live_include() const { return tree.file("named/etc/zonaris.include"); }
    // Where workers stage checked zone files before they go live.
    std::string stage_dir() const {
        return tree.file("named/var/named/.zonebuildd-stage-" + std::to_string(getpid()));
    }

    // The stand-in rndc records each call and exits with `code`.
    void rndc_exits(int code) {
        write_text_file(tree.file("rndc/rndc"),
                        "#!/bin/sh\n[ \"$1\" = zonestatus ] && exit 0\necho \"$@\" >> " +
                            tree.file("rndc.calls") + "\nexit " + std::to_string(code) + "\n",
                        0755);
    }
    // The stand-in rndc fails (exit 1) when its last argument is `word`.
    void rndc_fails_on(const std::string &word) {
        write_text_file(tree.file("rndc/rndc"),
                        "#!/bin/sh\n[ \"$1\" = zonestatus ] && exit 0\necho \"$@\" >> " +
                            tree.file("rndc.calls") + "\neval last=\\${$#}\n[ \"$last\" = " + word +
                            " ] && exit 1\nexit 0\n",
                        0755);
    }
    size_t rndc_calls() const {
        const std::string calls = read_text_file(tree.file("rndc.calls"));
        return static_cast<size_t>(std::count(calls.begin(), calls.end(), '\n'));
    }

    void zone(const std::string &name) {
        ASSERT_EQ(0, db.exec("INSERT INTO zone(name, type, client_id) VALUES('" + name +
                             "', 'master', 7)"));
        const std::string id = *db.value("SELECT id FROM zone WHERE name = '" + name + "'");
        ASSERT_EQ(0, db.exec("INSERT INTO zone_dns_records(zone_id, entry_type, host, value, "
                             "priority) VALUES(" +
                             id + ", 'NS', '" + name +
                             "', 'ns1.example.net.', 1);INSERT INTO changes(zone_name, type, "
                             "timestamp) VALUES('" +
                             name + "', 'u', UNIX_TIMESTAMP())"));
    }

    int changes_job() {
        int rc = do_invariant(st, 0);
        if (rc == 0)
            rc = do_changes(st);
        clean_invariant(st);
        return rc;
    }

    // Every worker was reaped: no child of this process runs this program any more, not
    // even as a zombie (the database server the fixture started is another child).
    static bool no_children() {
        const std::string self = read_text_file("/proc/self/comm");
        std::string kids;
        for (const auto &task : std::filesystem::directory_iterator("/proc/self/task"))
            kids += read_text_file(task.path().string() + "/children");
        std::istringstream in(kids);
        for (std::string pid; in >> pid;)
            if (read_text_file("/proc/" + pid + "/comm") == self)
                return false;
        return true;
    }

    test_database db = make_test_database();
    test_etc_dir etc;
    temp_dir tree{"zb-writer"};
    zonebuildd_state st;
};

TEST_F(Writer, JobWritesEveryZoneAndConsumesItsRows) {
    for (const char *name : {"a.example.", "b.example.", "c.example.", "d.example.", "e.example."})
        zone(name);
    EXPECT_EQ(0, changes_job());
    const std::string include = read_text_file(live_include());
    for (const char *name : {"a.example", "b.example", "c.example", "d.example", "e.example"}) {
        EXPECT_NE(std::string::npos, include.find(std::string("zone \"") + name + "\"")) << name;
        EXPECT_TRUE(path_exists(tree.file("named/var/named/") + name[0] + "/" + name)) << name;
    }
    EXPECT_EQ(0, db.count("changes"));
    EXPECT_EQ(1u, rndc_calls());
    EXPECT_EQ(2, st.settings.concurrency_limit); // fewer zones never lower it for later jobs
    EXPECT_TRUE(no_children());
    EXPECT_FALSE(path_exists(tree.file("tmp/" + st.settings.work_name)));
    EXPECT_FALSE(path_exists(stage_dir()));
}

TEST_F(Writer, HungWorkerIsKilledAndTheJobFailsWithNothingInstalled) {
    zone("a.example.");
    zone("b.example.");
    write_text_file(live_include(), "zone \"a.example\" { type master; file \"a/a.example\"; };\n");
    sql_handle lock = db.connect();
    ASSERT_EQ(0, fr_sql_query(lock.get(), nullptr, "LOCK TABLES client WRITE"));
    st.settings.worker_stall_limit = 1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, changes_job());
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, errors.find("made no progress")) << errors;
    ASSERT_EQ(0, fr_sql_query(lock.get(), nullptr, "UNLOCK TABLES"));
    EXPECT_TRUE(no_children());
    EXPECT_EQ("zone \"a.example\" { type master; file \"a/a.example\"; };\n",
              read_text_file(live_include()));
    EXPECT_EQ(2, db.count("changes"));
    EXPECT_EQ(0u, rndc_calls());
    EXPECT_FALSE(path_exists(stage_dir()));

    // The next job, with a database that answers, writes both.
    st.settings.worker_stall_limit = 600;
    EXPECT_EQ(0, changes_job());
    EXPECT_EQ(0, db.count("changes"));
}

TEST_F(Writer, AStopRequestLetsTheJobFinishAndASecondOneAbandonsIt) {
    zone("a.example.");
    std::string include;
    for (int stops : {1, 2}) {
        // The workers wait for the table while the stop requests come.
        sql_handle lock = db.connect();
        ASSERT_EQ(0, fr_sql_query(lock.get(), nullptr, "LOCK TABLES client WRITE"));
        ASSERT_EQ(0, st.queue.open());
        std::thread stopper([&] {
            EXPECT_TRUE(statement_waits_for_lock(db, "client"));
            for (int i = 0; i < stops; ++i)
                st.queue.request_stop();
            // Time for the job to see the requests while its worker still waits.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            EXPECT_EQ(0, fr_sql_query(lock.get(), nullptr, "UNLOCK TABLES"));
        });
        testing::internal::CaptureStderr();
        const int rc = changes_job();
        const std::string errors = testing::internal::GetCapturedStderr();
        stopper.join();
        EXPECT_TRUE(no_children());
        if (stops == 1) {
            EXPECT_EQ(0, rc) << errors;
            EXPECT_EQ(0, db.count("changes"));
            include = read_text_file(live_include());
            EXPECT_NE(std::string::npos, include.find("zone \"a.example\"")) << include;
            EXPECT_TRUE(path_exists(tree.file("named/var/named/a/a.example")));
            // The next round: the zone changes again, the live files are the first job's.
            ASSERT_EQ(0, db.exec("INSERT INTO zone_dns_records(zone_id, entry_type, host, "
                                 "value) SELECT id, 'A', 'www', '192.0.2.7' FROM zone WHERE "
                                 "name = 'a.example.';INSERT INTO changes(zone_name, type, "
                                 "timestamp) VALUES('a.example.', 'u', UNIX_TIMESTAMP())"));
            write_text_file(tree.file("named/var/named/a/a.example"), "before\n");
        } else {
            EXPECT_EQ(-1, rc);
            EXPECT_NE(std::string::npos, errors.find("Stop requested again")) << errors;
            EXPECT_EQ(1, db.count("changes"));
            // Nothing of the abandoned job went live.
            EXPECT_EQ("before\n", read_text_file(tree.file("named/var/named/a/a.example")));
            EXPECT_EQ(include, read_text_file(live_include()));
            EXPECT_FALSE(path_exists(stage_dir()));
        }
    }
}

TEST_F(Writer, AnAclFileTheNameServerWouldRefuseFailsTheJobBeforeAnythingIsWritten) {
    zone("a.example.");
    EXPECT_EQ(0, changes_job());
    const std::string acl_path = tree.file("named/etc/zonaris.acl");
    const std::string acl = read_text_file(acl_path);
    const std::string include = read_text_file(live_include());
    const std::string zone_file = tree.file("named/var/named/a/a.example");
    const std::string zone_text = read_text_file(zone_file);
    const size_t reloads = rndc_calls();

    ASSERT_EQ(0, db.exec("INSERT INTO global_transfer_ips(ip) VALUES('192.0.2.53');"
                         "INSERT INTO zone_dns_records(zone_id, entry_type, host, value) SELECT "
                         "id, 'A', 'www', '192.0.2.7' FROM zone WHERE name = 'a.example.';"
                         "INSERT INTO changes(zone_name, type, timestamp) VALUES('a.example.', "
                         "'u', UNIX_TIMESTAMP())"));
    refuse_acl_files = true;
    testing::internal::CaptureStderr();
    const int rc = changes_job();
    const std::string errors = testing::internal::GetCapturedStderr();
    refuse_acl_files = false;
    EXPECT_EQ(-1, rc) << errors;
    EXPECT_EQ(1, db.count("logs", "message = 'Name server configuration refused' AND info_code = "
                                  "'EP02' AND info LIKE '" +
                                      acl_path + "|%missing%'"))
        << errors;
    // The live files are the previous job's; the zone waits for the next job.
    EXPECT_EQ(acl, read_text_file(acl_path));
    EXPECT_EQ(include, read_text_file(live_include()));
    EXPECT_EQ(zone_text, read_text_file(zone_file));
    EXPECT_EQ(1, db.count("changes"));
    EXPECT_EQ(reloads, rndc_calls());

    EXPECT_EQ(0, changes_job()); // the parser accepts the file again
    EXPECT_NE(std::string::npos, read_text_file(acl_path).find("192.0.2.53;"));
    EXPECT_NE(zone_text, read_text_file(zone_file));
    EXPECT_EQ(0, db.count("changes"));
}

TEST_F(Writer, FailedReloadIsRetriedByTheNextJob) {
    zone("a.example.");
    rndc_exits(1);
    EXPECT_EQ(0, changes_job()); // the files are installed; only the reload failed
    EXPECT_TRUE(st.reload_pending);
    // The reconfig failed, then the whole reload it fell back to.
    EXPECT_EQ(2, db.count("logs", "message = 'Named restart attempt' AND info = 'fail|1' AND "
                                  "level = 3"));
    rndc_exits(0);
    EXPECT_EQ(1, changes_job()); // nothing changed, but the reload is owed
    EXPECT_FALSE(st.reload_pending);
    EXPECT_EQ(3u, rndc_calls());
    EXPECT_EQ(1, db.count("logs", "message = 'Named restart attempt' AND info = 'ok|0'"));
    EXPECT_EQ(1, changes_job());
    EXPECT_EQ(3u, rndc_calls()); // and only then
}

// The name server rereads its configuration only when the zone list, a statement or the ACL
// changed, and reloads by name only the zones whose data changed.
TEST_F(Writer, ChangesJobReloadsOnlyWhatChanged) {
    zone("a.example.");
    zone("b.example.");
    EXPECT_EQ(0, changes_job()); // two new zones (and a new ACL file)
    auto touch = [&](const std::string &name, const char *type = "u") {
        ASSERT_EQ(0, db.exec("INSERT INTO changes(zone_name, type, timestamp) VALUES('" + name +
                             "', '" + type + "', UNIX_TIMESTAMP())"));
    };
    touch("a.example.");
    EXPECT_EQ(0, changes_job()); // data only
    touch("a.example.");
    ASSERT_EQ(0, db.exec("INSERT INTO zone_opt_values(zone_id, type, value) SELECT id, "
                         "'allow_transfer', '198.51.100.9' FROM zone WHERE name = 'b.example.'"));
    touch("b.example."); // its statement changes
    EXPECT_EQ(0, changes_job());
    touch("a.example.");
    ASSERT_EQ(0, db.exec("INSERT INTO global_transfer_ips(ip) VALUES('10.0.0.1')"));
    EXPECT_EQ(0, changes_job()); // the ACL file changed
    zone("c.example.");
    touch("a.example.");
    EXPECT_EQ(0, changes_job()); // a new zone and a changed one
    ASSERT_EQ(0, db.exec("DELETE FROM zone_dns_records WHERE zone_id IN (SELECT id FROM zone "
                         "WHERE name = 'c.example.'); DELETE FROM zone WHERE name = 'c.example.'"));
    touch("c.example.", "d");
    EXPECT_EQ(0, changes_job()); // a removed zone
    EXPECT_EQ("reconfig\n"
              "reload a.example\n"
              "reconfig\nreload a.example\nreload b.example\n"
              "reconfig\nreload a.example\n"
              "reconfig\nreload a.example\n"
              "reconfig\n",
              read_text_file(tree.file("rndc.calls")));
    EXPECT_EQ(0, db.count("changes"));
    EXPECT_EQ(6, db.count("logs", "message = 'Named restart attempt' AND info = 'ok|0'"));
}

TEST_F(Writer, ManyChangedZonesReloadTheWholeServer) {
    const size_t n = zone_reload_limit + 1;
    for (size_t i = 0; i < n; ++i)
        zone("z" + std::to_string(i) + ".example.");
    EXPECT_EQ(0, changes_job());
    ASSERT_EQ(0, db.exec("INSERT INTO changes(zone_name, type, timestamp) SELECT name, 'u', "
                         "UNIX_TIMESTAMP() FROM zone"));
    EXPECT_EQ(0, changes_job());
    EXPECT_EQ("reconfig\nreload\n", read_text_file(tree.file("rndc.calls")));
}

// A zone the name server does not take by name is not left stale: the whole server reloads.
TEST_F(Writer, FailedZoneReloadFallsBackToAWholeReload) {
    zone("a.example.");
    EXPECT_EQ(0, changes_job());
    rndc_fails_on("a.example");
    ASSERT_EQ(0, db.exec("INSERT INTO changes(zone_name, type, timestamp) VALUES('a.example.', "
                         "'u', UNIX_TIMESTAMP())"));
    EXPECT_EQ(0, changes_job());
    EXPECT_FALSE(st.reload_pending);
    EXPECT_EQ("reconfig\nreload a.example\nreload\n", read_text_file(tree.file("rndc.calls")));
    EXPECT_EQ(1, db.count("logs", "message = 'Named restart attempt' AND info = 'fail|1'"));
}

// The change rows go only once the include file naming the zones is live.
TEST_F(Writer, IncludeThatCannotBeInstalledFailsTheJobAndKeepsEveryChangeRow) {
    zone("a.example.");
    zone("b.example.");
    // A restore builds the include file from nothing; a directory stands where it goes.
    ASSERT_EQ(0, unlink(live_include().c_str()));
    ASSERT_EQ(0, mkdir(live_include().c_str(), 0755));
    write_text_file(live_include() + "/keep", "");
    testing::internal::CaptureStderr();
    int rc = do_invariant(st, 1);
    if (rc == 0)
        rc = do_restore(st);
    clean_invariant(st);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(-1, rc);
    // The workers ran and installed the zone files; the rows stay for the next job.
    EXPECT_TRUE(path_exists(tree.file("named/var/named/a/a.example")));
    EXPECT_EQ(2, db.count("changes"));
    EXPECT_EQ(0u, rndc_calls());
}

// A whole-server reload owed by an earlier job is not replaced by a single zone's reload.
TEST_F(Writer, OwedWholeReloadIsNotReplacedByASingleZoneReload) {
    zone("a.example.");
    rndc_exits(1);
    EXPECT_EQ(0, changes_job()); // a new zone: neither reconfig nor reload works
    EXPECT_TRUE(st.reload_pending);
    rndc_exits(0);
    ASSERT_EQ(0, db.exec("INSERT INTO changes(zone_name, type, timestamp) VALUES('a.example.', "
                         "'u', UNIX_TIMESTAMP())"));
    EXPECT_EQ(0, changes_job()); // only a.example's data changed
    EXPECT_FALSE(st.reload_pending);
    EXPECT_EQ("reconfig\nreload\nreload\n", read_text_file(tree.file("rndc.calls")));
}

TEST_F(Writer, EmptyTemplateFailsTheSetUp) {
    ASSERT_EQ(0, db.exec("UPDATE file_template SET content = ''"));
    zone("a.example.");
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, changes_job());
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(1, db.count("logs", "info_code = 'ER03a' AND info = 'template'"));
    EXPECT_EQ(1, db.count("changes"));
    EXPECT_FALSE(path_exists(tree.file("tmp/" + st.settings.work_name)));
}

TEST_F(Writer, WriteAclRequestsAreServedWithTheCurrentAddresses) {
    ASSERT_EQ(0, db.exec("INSERT INTO global_transfer_ips(ip) VALUES('10.0.0.1');"
                         "INSERT INTO custom_job_queue(service, action) VALUES('ZONEBUILD', "
                         "'writeacl'), ('ZONEBUILD', 'writeacl')"));
    st.queue.add(JOB_CUSTOM);
    EXPECT_EQ(0, generic_job(st));
    EXPECT_EQ("acl common-allow-transfer {\n\t10.0.0.1;\n};\n",
              read_text_file(tree.file("named/etc/zonaris.acl")));
    EXPECT_EQ(0, db.count("custom_job_queue"));
    EXPECT_EQ(1, db.count("logs", "message = 'Job finished. Custom' AND info = 'OK'"));
}

TEST_F(Writer, FailingCustomJobWaitsBeforeItRunsAgain) {
    ASSERT_EQ(0, db.exec("INSERT INTO custom_job_queue(service, action) VALUES('ZONEBUILD', "
                         "'writeacl')"));
    // The ACL file cannot be installed: a directory stands in its place.
    ASSERT_EQ(0, mkdir(tree.file("named/etc/zonaris.acl").c_str(), 0755));
    st.queue.add(JOB_CUSTOM);
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, generic_job(st));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(1, db.count("logs", "message = 'Job finished. Custom' AND info = 'FR_FAIL'"));
    // Not queued again at once, but after a pause; the request waits for it.
    EXPECT_TRUE(st.queue.empty());
    EXPECT_GE(st.custom_retry_at, time(nullptr) + 5);
    EXPECT_EQ(1, db.count("custom_job_queue"));

    // When the retry is due and the file can be written, the request is served.
    ASSERT_EQ(0, rmdir(tree.file("named/etc/zonaris.acl").c_str()));
    st.custom_retry_at = time(nullptr) - 1;
    EXPECT_EQ(0, generic_job(st)); // queues the retry
    EXPECT_EQ(0, generic_job(st)); // runs it
    EXPECT_EQ(1, db.count("logs", "message = 'Job finished. Custom' AND info = 'OK'"));
    EXPECT_EQ(0, db.count("custom_job_queue"));
    EXPECT_EQ(0, st.custom_retry_at);
}

TEST_F(Writer, FailedDeleteOfServedRequestsEndsTheCustomJob) {
    ASSERT_EQ(0, db.exec("INSERT INTO custom_job_queue(service, action) VALUES('ZONEBUILD', "
                         "'writeacl');"
                         "CREATE TRIGGER keep_requests BEFORE DELETE ON custom_job_queue FOR EACH "
                         "ROW SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'kept'"))
        << db.last_error();
    ASSERT_EQ(0, do_invariant(st, 0));
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, do_custom(st));
    testing::internal::GetCapturedStderr();
}

} // namespace
