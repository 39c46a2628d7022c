// poolwatchd as a program: exit codes, the single-instance lock, --readconfig, and whole
// test cycles against a private MariaDB and real scripts: records switched with their
// changes rows, reload and shutdown while tests run, and the database going away in the
// middle of a cycle.
#include "etc_fixture.h"
#include "mariadb_fixture.h"
#include "run_program.h"
#include "temp_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

using testing::HasSubstr;

namespace {

// Reaped: not even a zombie is left.
bool reaped(pid_t pid) {
    return !path_exists("/proc/" + std::to_string(pid));
}

// Neither running nor waiting to be reaped by anyone but init.
bool process_gone(pid_t pid) {
    std::string stat = read_text_file("/proc/" + std::to_string(pid) + "/stat");
    if (stat.empty())
        return true;
    size_t p = stat.rfind(')');
    return p != std::string::npos && p + 2 < stat.size() && stat[p + 2] == 'Z';
}

size_t occurrences(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// The test script. Its argument is the pool's test URL "$RR" or "$RR/<tag>"; flag files
// named after it ("/" read as "-") make it fail (down-) or wait for the test (hold-, until
// release- or the daemon's end). Every run appends its pid to ran-<key>.
std::string check_script(const std::string &flags) {
    return "#!/bin/sh\n"
           "k=$(echo \"$1\" | /usr/bin/tr / -)\n"
           "F=" +
           flags +
           "\n"
           "echo $$ >> $F/ran-$k\n"
           "if [ -e $F/hold-$k ]; then\n"
           "  echo $$ > $F/held-$k\n"
           "  while [ ! -e $F/release-$k ] && [ -d /proc/$PPID ]; do /bin/sleep 0.02; done\n"
           "fi\n"
           "[ -e $F/down-$k ] && exit 1\n"
           "exit 0\n";
}

class poolwatchdDaemon : public testing::Test {
  protected:
    test_database db = make_test_database();
    test_etc_dir etc;
    temp_dir dir{"pw-daemon"};
    std::string scripts = dir.make_subdir("scripts");
    std::string flags = dir.make_subdir("flags");
    std::string pid_file = dir.file("poolwatch.pid");
    std::optional<running_program> daemon;
    int zone_id = 0;

    void SetUp() override {
        // The scripts run as "nobody": they must reach the scripts and write the flags.
        ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
        ASSERT_EQ(chmod(flags.c_str(), 0777), 0);
        write_text_file(scripts + "/check", check_script(flags), 0755);
        exec("INSERT INTO rrobin_protocols(code, script) VALUES('CHECK', 'check')");
        exec("INSERT INTO misc(param, value) VALUES('log_level', '5')");
        zone_id = insert("INSERT INTO zone(name) VALUES('example.net')");
        write_conf();
    }

    void TearDown() override {
        if (daemon && daemon->running()) {
            daemon->signal(SIGTERM);
            if (!daemon->wait_exit(30))
                daemon->kill_now();
        }
        if (HasFailure() && daemon)
            std::cerr << "--- daemon output\n" << daemon->out() << "--- errors\n" << daemon->err();
    }

    void exec(const std::string &sql) {
        ASSERT_EQ(db.exec(sql), 0) << db.last_error() << "\n" << sql;
    }
    int insert(const std::string &sql) {
        EXPECT_EQ(db.exec(sql), 0) << db.last_error() << "\n" << sql;
        return std::stoi(*db.value("SELECT LAST_INSERT_ID()"));
    }
    int record(const std::string &value) {
        return insert("INSERT INTO zone_dns_records(zone_id, entry_type, host, value) VALUES(" +
                      std::to_string(zone_id) + ", 'A', 'www', '" + value + "')");
    }
    int pool(const std::string &name, const std::string &url = "$RR", int status = 1,
             const std::string &protocol = "CHECK") {
        return insert(
            "INSERT INTO rrobin_pool(name, zone_id, protocol_code, monit_interval, test_url, "
            "status) VALUES('" +
            name + "', " + std::to_string(zone_id) + ", '" + protocol + "', 1, '" + url + "', " +
            std::to_string(status) + ")");
    }
    void member(int pool_id, int record_id) {
        exec("INSERT INTO rrobin_pool_records(rrobin_pool_id, zone_dns_records_id) VALUES(" +
             std::to_string(pool_id) + ", " + std::to_string(record_id) + ")");
    }
    int status_of(int id) {
        return std::stoi(
            *db.value("SELECT status FROM zone_dns_records WHERE id = " + std::to_string(id)));
    }
    void flag(const std::string &name) { write_text_file(flags + "/" + name, ""); }
    void unflag(const std::string &name) { unlink((flags + "/" + name).c_str()); }
    size_t runs(const std::string &key) {
        return occurrences(read_text_file(flags + "/ran-" + key), "\n");
    }

    void write_conf(const config_pairs &changes = {}) {
        config_pairs keys = db.config();
        keys.insert(keys.end(), {{"POOLWATCH_CONCURRENCY", "4"},
                                 {"POOLWATCH_DRIFT", "1"},
                                 {"POOLWATCH_TIMEOUT", "2"},
                                 {"POOLWATCH_POOLING_INTERVAL", "1"},
                                 {"POOLWATCH_PID_FILE", pid_file},
                                 {"POOLWATCH_D", scripts},
                                 {"POOLWATCH_LOG_LEVEL", "DEBUG"}});
        for (const auto &[key, value] : changes) {
            std::erase_if(keys, [&](const auto &kv) { return kv.first == key; });
            if (!value.empty())
                keys.push_back({key, value});
        }
        etc.write_conf(keys);
    }

    run_options options() const {
        run_options o;
        o.env = {etc.env()};
        o.timeout_s = 60;
        return o;
    }
    program_result run(const std::vector<std::string> &args) {
        return run_program("poolwatchd", args, options());
    }
    void start() {
        daemon = start_program("poolwatchd", {"-X"}, options());
        ASSERT_TRUE(wait_until(
            [&] { return read_text_file(pid_file) == std::to_string(daemon->pid()); }, 30))
            << daemon->err();
    }
    bool daemon_says(const std::string &text, double timeout_s = 30) {
        return wait_until(
            [&] { return (daemon->out() + daemon->err()).find(text) != std::string::npos; },
            timeout_s);
    }
    std::string log_messages() {
        std::string all;
        for (const auto &row : db.rows("SELECT message FROM logs ORDER BY id"))
            all += *row[0] + "\n";
        return all;
    }
};

} // namespace

TEST_F(poolwatchdDaemon, StartUpFailuresEndWithTheirExitCodes) {
    struct {
        config_pairs changes;
        bool drop_protocols;
        int code;
    } cases[] = {
        {{{"DB_NAME", ""}}, false, 5},
        {{{"DB_PASSWD", "wrong password"}}, false, 3},
        {{{"DB_NAME", "no_such_database_here"}}, false, 4},
        {{{"POOLWATCH_PID_FILE", dir.file("missing/dir/pw.pid")}}, false, 7},
        {{{"POOLWATCH_SCRIPT_USER", "no-such-user-here"}}, false, 12},
        {{}, true, 6},
    };
    for (const auto &c : cases) {
        write_conf(c.changes);
        if (c.drop_protocols)
            exec("DELETE FROM rrobin_protocols");
        const program_result r = run({"-X"});
        EXPECT_EQ(r.exit_code, c.code) << r.err;
    }
    EXPECT_FALSE(path_exists(pid_file)) << "a daemon that stopped removes its pid file";
}

TEST_F(poolwatchdDaemon, OnlyOneInstanceRunsAndReadconfigReachesIt) {
    ASSERT_NO_FATAL_FAILURE(start());
    EXPECT_EQ(run({"-X"}).exit_code, 9);

    const program_result reload = run({"--readconfig"});
    EXPECT_EQ(reload.exit_code, 0) << reload.err;
    EXPECT_TRUE(daemon_says("Reloading configuration file."));
    EXPECT_TRUE(daemon_says("Round robin scheduler reset done."));

    ASSERT_EQ(daemon->signal(SIGINT), 0); // in the foreground, SIGINT stops it like SIGTERM
    auto end = daemon->wait_exit(30);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->exit_code, 0);
    EXPECT_FALSE(path_exists(pid_file));
    EXPECT_THAT(log_messages(), HasSubstr("Startup succeeded\nDaemon is gracefully going down\n"));

    program_result r = run({"-c"});
    EXPECT_EQ(r.exit_code, 7);
    EXPECT_THAT(r.err, HasSubstr("Cannot open file:" + pid_file + " for reading"));
    // A pid file naming a live process that holds no lock on it: no daemon.
    write_text_file(pid_file, std::to_string(getpid()));
    r = run({"-c"});
    EXPECT_EQ(r.exit_code, 8);
    EXPECT_THAT(r.err, HasSubstr("'poolwatchd' daemon is stopped"));
    write_text_file(pid_file, "1");
    EXPECT_EQ(run({"-c"}).exit_code, 8);
}

TEST_F(poolwatchdDaemon, AFailingMemberIsSwitchedOffAndBackOnWithItsZoneQueued) {
    const int good = record("192.0.2.1"), bad = record("192.0.2.2");
    const int p = pool("web");
    member(p, good);
    member(p, bad);
    flag("down-192.0.2.2");
    ASSERT_NO_FATAL_FAILURE(start());

    ASSERT_TRUE(wait_until([&] { return status_of(bad) == 9; }, 30));
    EXPECT_EQ(status_of(good), 1);
    EXPECT_EQ(db.rows("SELECT zone_name, type FROM changes"), (sql_rows{{"example.net", "u"}}));
    // The event row and the warning follow the committed switch.
    EXPECT_TRUE(daemon_says("Zone:\"example.net\" record type:'A' with value:\"192.0.2.2\" found "
                            "available, disabling."));
    EXPECT_THAT(log_messages(),
                HasSubstr("Zone example.net record type A with value 192.0.2.2 found available, "
                          "disabling\n"));

    exec("DELETE FROM changes"); // served by the zone builder
    unflag("down-192.0.2.2");
    ASSERT_TRUE(wait_until([&] { return status_of(bad) == 1; }, 30));
    EXPECT_EQ(db.count("changes", "zone_name = 'example.net' AND type = 'u'"), 1);
    EXPECT_TRUE(daemon_says("Zone:\"example.net\" record type:\"A\" with value:\"192.0.2.2\" "
                            "found not available, enabling."));
    EXPECT_THAT(log_messages(), HasSubstr("with value 192.0.2.2 found not available, enabling\n"));
}

TEST_F(poolwatchdDaemon, ARecordInSeveralPoolsIsSwitchedOnceEveryRunningPoolHasReported) {
    const int r = record("192.0.2.1");
    const int a = pool("a", "$RR/a"), b = pool("b", "$RR/b");
    const int off = pool("off", "$RR/off", 0), broken = pool("broken", "$RR/broken", 1, "");
    for (int p : {a, b, off, broken})
        member(p, r);
    flag("down-192.0.2.1-b");
    ASSERT_NO_FATAL_FAILURE(start());

    ASSERT_TRUE(wait_until([&] { return status_of(r) == 9; }, 30))
        << "an inactive or refused pool must not hold the record back";
    EXPECT_GE(runs("192.0.2.1-a") + runs("192.0.2.1-b"), 1u);
    EXPECT_EQ(runs("192.0.2.1-off") + runs("192.0.2.1-broken"), 0u);
    // Several more cycles: the verdict stands, nothing is switched or queued again.
    const size_t before = occurrences(daemon->out(), "found unchanged");
    ASSERT_TRUE(wait_until(
        [&] { return occurrences(daemon->out(), "found unchanged") >= before + 3; }, 30));
    EXPECT_EQ(db.count("changes"), 1);
    EXPECT_EQ(db.count("logs", "message LIKE '%disabling'"), 1);
}

TEST_F(poolwatchdDaemon, AReloadInTheMiddleOfACycleNeitherLosesNorDoublesAResult) {
    const int r = record("192.0.2.1");
    const int a = pool("a", "$RR/a"), b = pool("b", "$RR/b");
    member(a, r);
    member(b, r);
    flag("down-192.0.2.1-a");
    flag("down-192.0.2.1-b");
    flag("hold-192.0.2.1-a");
    write_conf({{"POOLWATCH_TIMEOUT", "20"}}); // the held test must end on its own
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(wait_until([&] { return path_exists(flags + "/held-192.0.2.1-a"); }, 30));

    ASSERT_EQ(daemon->signal(SIGHUP), 0);
    // The reload waits for the running test, whose result still counts.
    ASSERT_TRUE(daemon_says("Preparing to re-read configuration file."));
    flag("release-192.0.2.1-a");
    ASSERT_TRUE(daemon_says("Round robin scheduler reset done."));
    EXPECT_FALSE(daemon_says("stopped due to timeout.", 0)) << "the held test ended on its own";
    ASSERT_TRUE(wait_until([&] { return status_of(r) == 9; }, 30));
    const size_t before = occurrences(daemon->out(), "found unchanged");
    ASSERT_TRUE(wait_until(
        [&] { return occurrences(daemon->out(), "found unchanged") >= before + 2; }, 30));
    EXPECT_EQ(db.count("changes"), 1);
    EXPECT_EQ(db.count("logs", "message LIKE '%disabling'"), 1);
    EXPECT_TRUE(daemon->running());
}

TEST_F(poolwatchdDaemon, StoppingWhileATestRunsEndsCleanlyAndLeavesNoProcess) {
    const int r = record("192.0.2.1");
    member(pool("web"), r);
    flag("hold-192.0.2.1");
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(wait_until([&] { return path_exists(flags + "/held-192.0.2.1"); }, 30));
    const pid_t script = std::atoi(read_text_file(flags + "/held-192.0.2.1").c_str());

    ASSERT_EQ(daemon->signal(SIGTERM), 0);
    auto end = daemon->wait_exit(30); // the held script ends at the 2 s time limit
    ASSERT_TRUE(end) << "the daemon must not wait for the script beyond its time limit";
    EXPECT_EQ(end->exit_code, 0);
    EXPECT_TRUE(process_gone(script));
    EXPECT_FALSE(path_exists(pid_file));
    EXPECT_THAT(daemon->out(), HasSubstr("Daemon has been gracefully stopped..."));
    EXPECT_THAT(log_messages(), HasSubstr("Daemon is gracefully going down\n"));
}

TEST_F(poolwatchdDaemon, TheDatabaseGoingAwayMidCycleSwitchesNothingUntilItIsBack) {
    // An account of the daemon's own, so that the database can go away for it alone: its
    // connections are killed and new ones refused while the account is locked.
    const std::string account = "'pw_" + db.name + "'@'%'";
    exec("CREATE USER " + account + " IDENTIFIED BY 'pw'");
    exec("GRANT ALL ON `" + db.name + "`.* TO " + account);
    struct drop_account {
        test_database &db;
        std::string account;
        ~drop_account() { db.exec("DROP USER IF EXISTS " + account); }
    } guard{db, account};
    write_conf({{"DB_USER", "pw_" + db.name}, {"DB_PASSWD", "pw"}});
    const int r = record("192.0.2.1");
    member(pool("web"), r);
    flag("hold-192.0.2.1");
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(wait_until([&] { return path_exists(flags + "/held-192.0.2.1"); }, 30));

    exec("ALTER USER " + account + " ACCOUNT LOCK");
    for (const auto &row :
         db.rows("SELECT id FROM information_schema.PROCESSLIST WHERE USER = 'pw_" + db.name + "'"))
        db.exec("KILL CONNECTION " + *row[0]);
    flag("down-192.0.2.1");
    flag("release-192.0.2.1");
    ASSERT_TRUE(daemon_says("could not be switched"));
    EXPECT_EQ(status_of(r), 1) << "no switch on a result that could not be recorded";
    EXPECT_EQ(db.count("changes"), 0);
    ASSERT_TRUE(daemon_says("Cannot connect to database, abort poll: web processing."));

    unflag("hold-192.0.2.1");
    exec("ALTER USER " + account + " ACCOUNT UNLOCK");
    ASSERT_TRUE(wait_until([&] { return status_of(r) == 9; }, 30)) << "carries on once it is back";
    EXPECT_EQ(db.count("changes"), 1);
    // The refresher lost its connection too: a pool added now runs only once it reconnected.
    EXPECT_TRUE(daemon_says("Cannot read the active polls ("));
    const int late = record("192.0.2.2");
    member(pool("late"), late);
    flag("down-192.0.2.2");
    EXPECT_TRUE(wait_until([&] { return status_of(late) == 9; }, 30));
}

TEST_F(poolwatchdDaemon, DetachedItRunsOnInTheBackgroundUntilStopped) {
    // The starter waits for the detached daemon's start-up and ends with its exit code.
    exec("DELETE FROM rrobin_protocols");
    const program_result failed = run({});
    EXPECT_EQ(failed.exit_code, 6) << failed.err;
    EXPECT_FALSE(path_exists(pid_file));
    exec("INSERT INTO rrobin_protocols(code, script) VALUES('CHECK', 'check')");

    const program_result launch = run({});
    ASSERT_EQ(launch.exit_code, 0) << launch.err;
    pid_t pid = 0;
    ASSERT_TRUE(wait_until(
        [&] {
            return (pid = std::atoi(read_text_file(pid_file).c_str())) > 1 && !process_gone(pid);
        },
        30));
    struct stop_if_left {
        pid_t &pid;
        ~stop_if_left() {
            if (pid > 1 && !process_gone(pid))
                kill(pid, SIGKILL);
        }
    } guard{pid};
    EXPECT_EQ(getsid(pid), pid) << "a session of its own";
    EXPECT_EQ(run({"-X"}).exit_code, 9);
    EXPECT_EQ(run({"--readconfig"}).exit_code, 0);
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_TRUE(wait_until([&] { return process_gone(pid); }, 30));
    EXPECT_FALSE(path_exists(pid_file));
}

TEST_F(poolwatchdDaemon, AStopWhileSlowTestsRunSwitchesNothing) {
    const int r1 = record("192.0.2.1"), r2 = record("192.0.2.2");
    member(pool("a", "$RR/a"), r1);
    member(pool("b", "$RR/b"), r2);
    for (const char *key : {"192.0.2.1-a", "192.0.2.2-b"}) {
        flag(std::string("down-") + key); // had they finished, both would have failed
        flag(std::string("hold-") + key);
    }
    write_conf({{"POOLWATCH_TIMEOUT", "120"}});
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(wait_until(
        [&] {
            return path_exists(flags + "/held-192.0.2.1-a") &&
                   path_exists(flags + "/held-192.0.2.2-b");
        },
        30));
    const pid_t a = std::atoi(read_text_file(flags + "/held-192.0.2.1-a").c_str());
    const pid_t b = std::atoi(read_text_file(flags + "/held-192.0.2.2-b").c_str());

    // A service manager that signals the whole service reaches a's script as well; b's
    // script is the daemon's own to stop.
    ASSERT_EQ(kill(a, SIGTERM), 0);
    ASSERT_EQ(daemon->signal(SIGTERM), 0);
    auto end = daemon->wait_exit(30);
    ASSERT_TRUE(end) << "the daemon stops its scripts instead of waiting out their time limit";
    EXPECT_EQ(end->exit_code, 0);
    EXPECT_TRUE(process_gone(a));
    EXPECT_TRUE(process_gone(b));
    EXPECT_EQ(status_of(r1), 1);
    EXPECT_EQ(status_of(r2), 1);
    EXPECT_EQ(db.count("changes"), 0);
    EXPECT_EQ(db.count("logs", "message LIKE '%disabling'"), 0);
}

TEST_F(poolwatchdDaemon, AReloadOfAnUnusableFileKeepsTheCurrentSettings) {
    const int r = record("192.0.2.1");
    member(pool("web"), r);
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string kept = "Configuration file not reloaded, current settings kept.";

    etc.write_conf_text("DB_NAME\n"); // a key without a value: malformed
    ASSERT_EQ(daemon->signal(SIGHUP), 0);
    ASSERT_TRUE(daemon_says(kept));
    unlink(etc.file("zonaris.conf").c_str());
    ASSERT_EQ(daemon->signal(SIGHUP), 0);
    ASSERT_TRUE(
        wait_until([&] { return occurrences(daemon->out() + daemon->err(), kept) == 2; }, 30));

    // Monitoring goes on with the database settings it had.
    flag("down-192.0.2.1");
    EXPECT_TRUE(wait_until([&] { return status_of(r) == 9; }, 30));
}

TEST_F(poolwatchdDaemon, WhatAScriptLeavesOutsideItsGroupIsReaped) {
    // Each run leaves a process in a session of its own, which outlives the script briefly.
    write_text_file(scripts + "/escape",
                    "#!/bin/sh\n/usr/bin/setsid /bin/sh -c \"echo \\$\\$ > " + flags +
                        "/escaped-$$; exec /bin/sleep 0.1\" &\nwhile [ ! -s " + flags +
                        "/escaped-$$ ]; do /bin/sleep 0.01; done\nexit 0\n",
                    0755);
    exec("INSERT INTO rrobin_protocols(code, script) VALUES('ESCAPE', 'escape')");
    const int r = record("192.0.2.1");
    member(pool("web", "$RR", 1, "ESCAPE"), r);
    ASSERT_NO_FATAL_FAILURE(start());

    std::vector<pid_t> escaped;
    ASSERT_TRUE(wait_until(
        [&] {
            escaped.clear();
            for (const auto &entry : std::filesystem::directory_iterator(flags))
                if (entry.path().filename().string().rfind("escaped-", 0) == 0)
                    escaped.push_back(std::atoi(read_text_file(entry.path()).c_str()));
            return escaped.size() >= 3 && std::count(escaped.begin(), escaped.end(), 0) == 0;
        },
        30));
    for (pid_t pid : escaped)
        EXPECT_TRUE(wait_until([&] { return reaped(pid); }, 10)) << pid << " left a zombie";
    EXPECT_TRUE(daemon->running());
}

TEST_F(poolwatchdDaemon, APoolThatCannotTestDoesNotFreezeASharedRecord) {
    exec("INSERT INTO rrobin_protocols(code, script) VALUES('GONE', 'no-such-script')");
    const int r = record("192.0.2.1");
    const int slow = pool("slow", "$RR/slow");
    exec("UPDATE rrobin_pool SET monit_interval = 3600 WHERE id = " + std::to_string(slow));
    for (int p : {pool("a", "$RR/a"), pool("gone", "$RR/gone", 1, "GONE"), slow})
        member(p, r);
    flag("down-192.0.2.1-a");
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(wait_until([&] { return status_of(r) == 9; }, 30));
    unflag("down-192.0.2.1-a");
    ASSERT_TRUE(wait_until([&] { return status_of(r) == 1; }, 30))
        << "the record is tested again every cycle and comes back";
    EXPECT_EQ(runs("192.0.2.1-slow"), 0u);
}

TEST_F(poolwatchdDaemon, ATestThatCouldNotRunLeavesTheRecordAndSaysWhy) {
    write_text_file(scripts + "/crash", "#!/bin/sh\nkill -KILL $$\n", 0755);
    exec("INSERT INTO rrobin_protocols(code, script) VALUES('CRASH', 'crash')");
    const int r = record("192.0.2.1");
    exec("UPDATE zone_dns_records SET status = 9 WHERE id = " + std::to_string(r));
    member(pool("web", "$RR", 1, "CRASH"), r);
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(wait_until(
        [&] { return occurrences(daemon->out(), "gave no answer (the script was ended by") >= 3; },
        30));
    EXPECT_EQ(status_of(r), 9) << "a crashed test is no sign of life";
    EXPECT_EQ(db.count("logs", "message LIKE '%not tested by pool web%'"), 1)
        << "one event for a run of failures, not one per cycle";
    EXPECT_EQ(db.count("changes"), 0);
    EXPECT_THAT(log_messages(), HasSubstr("Zone example.net record type A with value 192.0.2.1 "
                                          "not tested by pool web (the script was ended by "
                                          "signal 9), status left as it is\n"));
}

TEST_F(poolwatchdDaemon, DampingAndKeepOneUpFollowTheirKeys) {
    const int r1 = record("192.0.2.1"), r2 = record("192.0.2.2");
    const int p = pool("web");
    member(p, r1);
    member(p, r2);
    flag("down-192.0.2.1");
    flag("down-192.0.2.2");
    write_conf({{"POOLWATCH_FALL", "2"}, {"POOLWATCH_KEEP_ONE_UP", "yes"}});
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(
        wait_until([&] { return db.count("logs", "message LIKE '%kept enabled%'") > 0; }, 30));
    EXPECT_THAT(daemon->out(),
                HasSubstr("found UNAVAILABLE 1 time(s) in a row, switched after 2."));
    EXPECT_EQ(status_of(r1) + status_of(r2), 10) << "one off, the last one kept on";
    EXPECT_EQ(db.count("changes"), 1);
}
