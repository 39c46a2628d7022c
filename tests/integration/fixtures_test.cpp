// The shared test fixtures do what the other tests rely on: a database with the schema per
// test, independent of the others and dropped afterwards; a private MariaDB that stops with
// its process; a private named that answers and reloads through the rndc wrapper; a program
// runner that separates output, reports the exit status and enforces its time limit; the
// configuration directory; the mail catcher.
#include "etc_fixture.h"
#include "mail_fixture.h"
#include "mariadb_fixture.h"
#include "named_fixture.h"
#include "run_program.h"
#include "temp_dir.h"

#include "config.h"
#include "sql.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::set<std::string> created_tables(const std::string &schema) {
    std::set<std::string> names;
    std::regex create(R"(CREATE TABLE IF NOT EXISTS `?([a-z_0-9]+)`?)");
    for (auto it = std::sregex_iterator(schema.begin(), schema.end(), create);
         it != std::sregex_iterator(); ++it)
        names.insert((*it)[1]);
    return names;
}

// A process that no longer runs: gone, or a zombie nobody reaped yet.
bool process_gone(pid_t pid) {
    std::string stat = read_text_file("/proc/" + std::to_string(pid) + "/stat");
    if (stat.empty())
        return true;
    size_t p = stat.rfind(')');
    return p != std::string::npos && p + 2 < stat.size() && stat[p + 2] == 'Z';
}

} // namespace

TEST(TestDatabase, HoldsEveryTableOfTheSchema) {
    test_database db = make_test_database();
    std::set<std::string> expected = created_tables(schema_sql());
    ASSERT_GE(expected.size(), 20u);
    std::set<std::string> present;
    for (const auto &row : db.rows("SELECT table_name FROM information_schema.tables WHERE "
                                   "table_schema = DATABASE()"))
        present.insert(*row[0]);
    EXPECT_EQ(expected, present);
    for (const char *t :
         {"changes", "zone", "zone_dns_records", "logs", "zone_feed", "rrobin_pool"})
        EXPECT_TRUE(present.count(t)) << t;
}

TEST(TestDatabase, TwoDatabasesAreIndependent) {
    test_database a = make_test_database();
    test_database b = make_test_database();
    ASSERT_NE(a.name, b.name);
    ASSERT_EQ(0, a.exec("INSERT INTO misc(param, value) VALUES('log_level', '5')"))
        << a.last_error();
    EXPECT_EQ(a.value("SELECT value FROM misc WHERE param = 'log_level'"), "5");
    EXPECT_EQ(b.count("misc"), 0);
    ASSERT_EQ(0, b.exec("INSERT INTO misc(param, value) VALUES('log_level', '2')"))
        << b.last_error();
    EXPECT_EQ(a.value("SELECT value FROM misc WHERE param = 'log_level'"), "5");
    EXPECT_EQ(b.value("SELECT value FROM misc WHERE param = 'log_level'"), "2");
}

TEST(TestDatabase, IsDroppedWithItsObject) {
    test_database keeper = make_test_database();
    std::string name;
    {
        test_database gone = make_test_database();
        name = gone.name;
        EXPECT_EQ(keeper.count("information_schema.schemata", "schema_name = '" + name + "'"), 1);
    }
    EXPECT_EQ(keeper.count("information_schema.schemata", "schema_name = '" + name + "'"), 0);
}

TEST(TestDatabase, ExecRunsSeveralStatementsAndReportsErrors) {
    test_database db = make_test_database();
    ASSERT_EQ(0, db.exec("INSERT INTO client(login, email) VALUES('a', 'a@example.org');"
                         "INSERT INTO client(login, email) VALUES('b', NULL);"))
        << db.last_error();
    sql_rows rows = db.rows("SELECT login, email FROM client ORDER BY login");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][1], "a@example.org");
    EXPECT_EQ(rows[1][1], std::nullopt);
    EXPECT_EQ(-1, db.exec("INSERT INTO no_such_table VALUES(1)"));
    EXPECT_NE(db.last_error().find("no_such_table"), std::string::npos) << db.last_error();
    // The connection is still usable after the error.
    EXPECT_EQ(db.count("client"), 2);
}

TEST(TestDatabase, ConnectsThroughTheSqlLayer) {
    test_database db = make_test_database();
    ASSERT_EQ(0, db.exec("INSERT INTO zone(name, client_id) VALUES('example.com', 7)"));
    sql_handle h = db.connect();
    ASSERT_TRUE(h);
    sql_result res;
    ASSERT_EQ(0, fr_sql_query(h.get(), &res, "SELECT client_id FROM zone WHERE name = '%s'",
                              "example.com"))
        << fr_sql_error(h.get());
    sql_row row = fr_sql_fetchrow(res);
    ASSERT_TRUE(row);
    EXPECT_EQ(row.view(0), "7");
}

TEST(TestDatabase, ConfigNamesTheDatabase) {
    test_database db = make_test_database();
    config_pairs c = db.config();
    ASSERT_EQ(c.size(), 5u);
    EXPECT_EQ(c[0], (std::pair<std::string, std::string>("DB_HOST", db.host)));
    EXPECT_EQ(c[1].second, std::to_string(db.port));
    EXPECT_EQ(c[4], (std::pair<std::string, std::string>("DB_NAME", db.name)));
}

// Run in a child copy of this binary by the next test, with no shared server configured:
// it starts the private server, reports where it listens, and ends as told.
TEST(PrivateServer, ChildStartsOne) {
    const char *mode = getenv("ZONARIS_FIXTURE_CHILD");
    if (!mode)
        GTEST_SKIP() << "runs only as the child of PrivateServer tests";
    test_database db = make_test_database();
    ASSERT_EQ(0, db.exec("INSERT INTO misc(param, value) VALUES('x', 'y')")) << db.last_error();
    printf("PORT=%u\n", db.port);
    fflush(stdout);
    if (std::string(mode) == "crash")
        abort();
}

class PrivateServer : public ::testing::TestWithParam<const char *> {};

TEST_P(PrivateServer, StopsWhenItsProcessEnds) {
    std::string mode = GetParam();
    program_result r =
        run_program("/proc/self/exe", {"--gtest_filter=PrivateServer.ChildStartsOne"},
                    run_options()
                        .add_env({"ZONARIS_TEST_DB_PORT=", "ZONARIS_FIXTURE_CHILD=" + mode})
                        .timeout(180));
    if (mode == "crash")
        EXPECT_EQ(r.signal, SIGABRT) << r.out << r.err;
    else
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex("PORT=([0-9]+)"))) << r.out << r.err;
    unsigned port = static_cast<unsigned>(std::stoul(m[1]));
    ASSERT_NE(port, 0u);
    // Nothing answers on that port any more once the server has gone down.
    EXPECT_TRUE(wait_until(
        [&] {
            sql_handle h = fr_sql_init("127.0.0.1", port, "root", "", 0);
            return !h;
        },
        60, 0.05));
}

INSTANTIATE_TEST_SUITE_P(Fixtures, PrivateServer, ::testing::Values("exit", "crash"));

TEST(RunProgram, SeparatesOutputAndReportsTheExitStatus) {
    program_result r = run_program("/bin/sh", {"-c", "echo to-out; echo to-err >&2; exit 3"});
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(r.signal, 0);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.out, "to-out\n");
    EXPECT_EQ(r.err, "to-err\n");
}

TEST(RunProgram, PassesInputArgumentsAndEnvironment) {
    program_result r = run_program(
        "/bin/sh", {"-c", "cat; printf '%s|%s|%s' \"$1\" \"$ZF_A\" \"$ZF_B\"", "sh", "arg one"},
        run_options().add_env({"ZF_A=first", "ZF_B=x", "ZF_B=second"}).input("line 1\nline 2\n"));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "line 1\nline 2\narg one|first|second");
}

TEST(RunProgram, WithoutInheritedEnvironmentOnlyTheGivenOnes) {
    setenv("ZONARIS_FIXTURE_MARK", "inherited", 1);
    program_result r = run_program("/usr/bin/env", {}, run_options().add_env("ONLY=1").clean_env());
    unsetenv("ZONARIS_FIXTURE_MARK");
    EXPECT_EQ(r.out, "ONLY=1\n");
}

TEST(RunProgram, KillsTheWholeGroupAtTheTimeLimit) {
    temp_dir d;
    std::string pidfile = d.file("pid");
    program_result r =
        run_program("/bin/sh", {"-c", "sleep 300 & echo $! > " + pidfile + "; echo started; wait"},
                    run_options().timeout(0.5));
    EXPECT_TRUE(r.timed_out);
    EXPECT_EQ(r.signal, SIGKILL);
    EXPECT_EQ(r.exit_code, -1);
    EXPECT_EQ(r.out, "started\n");
    std::string pid = read_text_file(pidfile);
    ASSERT_FALSE(pid.empty());
    EXPECT_TRUE(wait_until([&] { return process_gone(std::stoi(pid)); }, 30));
}

TEST(RunProgram, ReportsAProgramThatCannotRun) {
    program_result r = run_program("/nonexistent/zonaris-program", {});
    EXPECT_EQ(r.exit_code, 127);
    EXPECT_NE(r.err.find("cannot execute"), std::string::npos);
}

TEST(RunProgram, FindsOurProgramsInTheBuild) {
    EXPECT_EQ(program_path("zonebuildd"), std::string(ZONARIS_BIN_DIR) + "/zonebuildd");
    EXPECT_EQ(program_path("/usr/bin/env"), "/usr/bin/env");
}

TEST(StartProgram, SignalsAndWaitsForTheEnd) {
    running_program p =
        start_program("/bin/sh", {"-c", "trap 'echo got-term; exit 7' TERM; "
                                        "echo ready; while :; do sleep 0.05; done"});
    ASSERT_TRUE(wait_until([&] { return p.out().find("ready") != std::string::npos; }, 30));
    EXPECT_TRUE(p.running());
    EXPECT_FALSE(p.wait_exit(0));
    ASSERT_EQ(0, p.signal(SIGTERM));
    std::optional<program_result> r = p.wait_exit(30);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->exit_code, 7);
    EXPECT_EQ(r->out, "ready\ngot-term\n");
    EXPECT_FALSE(p.running());
}

TEST(StartProgram, DestructionKillsTheProcessGroup) {
    temp_dir d;
    std::string pidfile = d.file("pid");
    pid_t leader;
    {
        running_program p =
            start_program("/bin/sh", {"-c", "sleep 300 & echo $! > " + pidfile + "; wait"});
        leader = p.pid();
        ASSERT_TRUE(wait_until([&] { return !read_text_file(pidfile).empty(); }, 30));
    }
    EXPECT_TRUE(process_gone(leader));
    pid_t child = std::stoi(read_text_file(pidfile));
    EXPECT_TRUE(wait_until([&] { return process_gone(child); }, 30));
}

TEST(WaitUntil, GivesTheLastResult) {
    int calls = 0;
    EXPECT_TRUE(wait_until([&] { return ++calls == 3; }, 30, 0.001));
    EXPECT_EQ(calls, 3);
    EXPECT_FALSE(wait_until([] { return false; }, 0.05, 0.01));
}

TEST(TempDir, IsRemovedWithItsContent) {
    std::string path;
    {
        temp_dir d("zonaris-selftest");
        path = d.path();
        EXPECT_EQ(path.rfind(temp_base() + "/zonaris-selftest.", 0), 0u) << path;
        d.make_subdir("a/b");
        write_text_file(d.file("a/b/f"), "x");
        EXPECT_EQ(read_text_file(d.file("a/b/f")), "x");
    }
    EXPECT_FALSE(path_exists(path));
}

TEST(EtcDir, WritesAConfigurationOurParserReads) {
    test_etc_dir etc;
    etc.write_conf({{"DB_HOST", "127.0.0.1"},
                    {"DB_PORT", "3307"},
                    {"ZONEFEED_NOTE", "two words # not a comment"},
                    {"EMPTY", ""}});
    std::optional<std::string> host, note, empty;
    std::optional<long long> port;
    ASSERT_EQ(0,
              parseconfig(etc.file("zonaris.conf"), {{"DB_HOST", CONFIG_STR, nullptr, &host},
                                                     {"DB_PORT", CONFIG_INT, &port, nullptr},
                                                     {"ZONEFEED_NOTE", CONFIG_STR, nullptr, &note},
                                                     {"EMPTY", CONFIG_STR, nullptr, &empty}}));
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_EQ(port, 3307);
    EXPECT_EQ(note, "two words # not a comment");
    EXPECT_EQ(empty, "");
    EXPECT_EQ(etc.env(), "ZONARIS_ETC_D=" + etc.path());
}

TEST(EtcDir, ProgramsSeeItThroughTheEnvironment) {
    test_etc_dir etc;
    etc.write_zlog(zlog_conf_text(">stdout"));
    etc.write_monitoring("NAMED_MONIT 1\n");
    program_result r = run_program("/bin/sh",
                                   {"-c", "cat \"$ZONARIS_ETC_D/zlog.conf\" "
                                          "\"$ZONARIS_ETC_D/monitoring.conf\""},
                                   run_options().add_env(etc.env()));
    EXPECT_EQ(r.out, "[global]\n[formats]\nplain = \"%m\"\n[rules]\n*.* >stdout; plain\n"
                     "NAMED_MONIT 1\n");
    EXPECT_EQ(zlog_conf_text("/var/log/x.log", "%V %m%n"),
              "[global]\n[formats]\nplain = \"%V %m%n\"\n[rules]\n*.* \"/var/log/x.log\"; plain\n");
}

TEST(MailCatcher, KeepsMessagesWithTheirArguments) {
    mail_catcher mail;
    program_result r = run_program(mail.program(), {"-t", "-f", "<sender@example.org>"},
                                   run_options().input("To: a@example.org\nSubject: Feed down\n"
                                                       "\nThe feed failed.\n"));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    mail.set_exit(75);
    r = run_program(mail.program(), {"-t"}, run_options().input("Subject: second\n\nbody\n"));
    EXPECT_EQ(r.exit_code, 75);
    std::vector<caught_mail> m = mail.messages();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].args, (std::vector<std::string>{"-t", "-f", "<sender@example.org>"}));
    EXPECT_EQ(m[0].header("subject"), "Feed down");
    EXPECT_EQ(m[0].header("To"), "a@example.org");
    EXPECT_EQ(m[0].body(), "The feed failed.\n");
    EXPECT_EQ(m[0].status, 0);
    EXPECT_EQ(m[1].header("Subject"), "second");
    EXPECT_EQ(m[1].status, 75);
}

namespace {

std::string zone_text(const std::string &serial) {
    return "$TTL 300\n"
           "@ IN SOA ns1.fixture.test. hostmaster.fixture.test. " +
           serial +
           " 3600 600 86400 300\n"
           "@ IN NS ns1.fixture.test.\n"
           "ns1 IN A 192.0.2.1\n"
           "www IN A 192.0.2.80\n";
}

} // namespace

TEST(NamedServer, AnswersAndReloadsThroughTheRndcWrapper) {
    named_server ns;
    write_text_file(ns.root + "/var/named/fixture.test", zone_text("2024010101"));
    write_text_file(ns.root + "/etc/zonaris.include",
                    "zone \"fixture.test\" { type master; file \"fixture.test\"; };\n");
    ASSERT_TRUE(ns.start()) << ns.log();
    EXPECT_NE(ns.port, 53u);
    // It runs as the user that started it (no -u), which is what lets it read and write the
    // fixture's files.
    std::string status = read_text_file("/proc/" + std::to_string(ns.process->pid()) + "/status");
    std::smatch uid;
    ASSERT_TRUE(std::regex_search(status, uid, std::regex("\nUid:\\s+([0-9]+)")));
    EXPECT_EQ(std::stoul(uid[1]), static_cast<unsigned long>(geteuid()));
    EXPECT_EQ(ns.dig("www.fixture.test", "A"), std::vector<std::string>{"192.0.2.80"});
    EXPECT_EQ(ns.soa_serial("fixture.test"), "2024010101");
    EXPECT_EQ(ns.soa_serial("other.test"), std::nullopt);

    write_text_file(ns.root + "/var/named/fixture.test", zone_text("2024010102"));
    // The wrapper is what the programs run: RNDC_BIN_D/rndc reload.
    program_result r = run_program(ns.rndc_bin_d + "/rndc", {"reload"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(ns.wait_for_serial("fixture.test", "2024010102")) << ns.log();

    config_pairs c = ns.config();
    EXPECT_EQ(c[0], (std::pair<std::string, std::string>("RNDC_BIN_D", ns.rndc_bin_d)));
    EXPECT_EQ(c[1], (std::pair<std::string, std::string>("NAMED_D", ns.root)));
    EXPECT_EQ(c[2], (std::pair<std::string, std::string>("NAMED_FILE", "/etc/zonaris.include")));
    EXPECT_EQ(c[3], (std::pair<std::string, std::string>("NAMED_ACL_FILE", "/etc/zonaris.acl")));
    EXPECT_EQ(c[4], (std::pair<std::string, std::string>("MASTER_D", "/var/named")));
    EXPECT_EQ(c[5], (std::pair<std::string, std::string>("SECONDARY_D", "/var/named/slaves")));

    pid_t pid = ns.process->pid();
    ns.stop();
    EXPECT_FALSE(ns.running());
    EXPECT_TRUE(process_gone(pid));
    EXPECT_NE(ns.rndc({"status"}).exit_code, 0);
}

TEST(NamedServer, ASecondInstanceServesASecondaryZone) {
    named_server primary;
    write_text_file(primary.directory + "/fixture.test", zone_text("2024020201"));
    write_text_file(primary.acl_file, "acl common-allow-transfer {\n\t127.0.0.1;\n};\n");
    write_text_file(primary.include_file,
                    "zone \"fixture.test\" { type master; file \"fixture.test\"; "
                    "allow-transfer { common-allow-transfer; }; };\n");
    ASSERT_TRUE(primary.start()) << primary.log();

    named_server secondary;
    write_text_file(secondary.include_file,
                    "zone \"fixture.test\" { type slave; masters { 127.0.0.1 port " +
                        std::to_string(primary.port) + "; }; file \"slaves/fixture.test\"; };\n");
    ASSERT_TRUE(secondary.start()) << secondary.log();
    EXPECT_NE(primary.port, secondary.port);
    EXPECT_TRUE(secondary.wait_for_serial("fixture.test", "2024020201")) << secondary.log();
    EXPECT_EQ(secondary.dig("www.fixture.test", "A"), std::vector<std::string>{"192.0.2.80"});
    EXPECT_TRUE(
        wait_until([&] { return path_exists(secondary.secondary_dir + "/fixture.test"); }, 30));
}
