// zonebuildd as a program: started with -X against a private database and a private
// name-server tree, driven by signals; and its configuration reread in process.
#include "zonebuildd.h"

#include "dns_common.h"
#include "logging.h"
#include "mariadb_fixture.h"
#include "pid_file.h"
#include "run_program.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The tree a zonebuildd needs: a named root with the include file and the zone
// directories, a temporary directory and a pid file location.
struct daemon_tree {
    temp_dir dir{"zb-daemon"};
    daemon_tree() {
        dir.make_subdir("named/etc");
        dir.make_subdir("named/var/named/slaves");
        dir.make_subdir("run");
        write_text_file(dir.file("named/etc/zonaris.include"), "");
    }
    std::string pid_file() const { return dir.file("run/zonebuildd.pid"); }
    config_pairs config() const {
        return {{"NAMED_D", dir.file("named")},        {"NAMED_FILE", "etc/zonaris.include"},
                {"NAMED_ACL_FILE", "etc/zonaris.acl"}, {"MASTER_D", "var/named"},
                {"SECONDARY_D", "var/named/slaves"},   {"RNDC_BIN_D", dir.file("no-rndc")},
                {"TEMP_D", dir.file("tmp")},           {"ZONEBUILD_PID_FILE", pid_file()},
                {"ZONEBUILD_RUN_INTERVAL", "3600"}};
    }
};

class Daemon : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(0, db.exec("INSERT INTO misc(param, value) VALUES('log_level', '7');"
                             "INSERT INTO file_template_default(id, name, content) VALUES(1, "
                             "'zonaris.include', '');"
                             "INSERT INTO file_template(file_template_default_id, content) "
                             "VALUES(1, 'zone \"[zone_name]\" { type [zone_type]; file "
                             "\"[zone_file_name]\"; [zone_options]; };')"))
            << db.last_error();
        write_conf({});
    }

    void write_conf(const config_pairs &changes) {
        config_pairs keys = db.config();
        for (const auto &kv : tree.config())
            keys.push_back(kv);
        for (const auto &[k, v] : changes) {
            std::erase_if(keys, [&](const auto &kv) { return kv.first == k; });
            if (!v.empty())
                keys.emplace_back(k, v);
        }
        etc.write_conf(keys);
    }

    run_options options() const {
        run_options opts;
        opts.env = {etc.env()};
        return opts;
    }

    running_program start() { return start_program(program_path("zonebuildd"), {"-X"}, options()); }

    long long rows(const std::string &message) {
        return db.count("logs", "facility = 'ZONEBUILD' AND message = '" + message + "'");
    }

    bool wait_rows(const std::string &message, long long n) {
        return wait_until([&] { return rows(message) >= n; }, 60);
    }

    // Holds the `changes` table so that the next changes job waits inside its first query.
    sql_handle hold_changes() {
        sql_handle h = db.connect();
        EXPECT_TRUE(h);
        EXPECT_EQ(0, fr_sql_query(h.get(), nullptr, "LOCK TABLES changes WRITE"));
        return h;
    }

    // A statement of the daemon or a worker waits for a lock on `table`.
    bool job_waiting_for_lock(const std::string &table = "changes") {
        return statement_waits_for_lock(db, table);
    }

    test_database db = make_test_database();
    test_etc_dir etc;
    daemon_tree tree;
};

TEST_F(Daemon, SignalBurstDuringAJobGivesOneChangesAndOneRestoreJob) {
    sql_handle lock = hold_changes();
    running_program d = start();
    ASSERT_TRUE(wait_rows("Program started", 1)) << d.err();
    ASSERT_TRUE(job_waiting_for_lock()) << d.err();
    for (int sig : {SIGUSR1, SIGUSR1, SIGUSR1, SIGUSR2})
        ASSERT_EQ(0, d.signal(sig));
    ASSERT_EQ(0, fr_sql_query(lock.get(), nullptr, "UNLOCK TABLES"));

    ASSERT_TRUE(wait_rows("Job finished. Restore", 1)) << d.out() << d.err();
    // Jobs run in queue order: any extra changes job would have finished before the restore.
    EXPECT_EQ(2, rows("Job finished. Changes"));
    EXPECT_EQ(1, rows("Job finished. Restore"));

    ASSERT_EQ(0, d.signal(SIGTERM));
    auto r = d.wait_exit(60);
    ASSERT_TRUE(r);
    EXPECT_EQ(0, r->exit_code) << r->err;
    EXPECT_EQ(std::to_string(d.pid()) + "|0",
              db.value("SELECT info FROM logs WHERE message = 'Program exited'"));
    EXPECT_FALSE(path_exists(tree.pid_file()));
    // The work directory of every job is gone.
    EXPECT_EQ("", run_program("/bin/ls", {"-A", tree.dir.file("tmp")}).out);
}

TEST_F(Daemon, StopRequestDuringAJobEndsAfterIt) {
    sql_handle lock = hold_changes();
    running_program d = start();
    ASSERT_TRUE(job_waiting_for_lock()) << d.err();
    ASSERT_EQ(0, d.signal(SIGTERM));
    ASSERT_EQ(0, d.signal(SIGUSR2)); // queued behind the stop: never run
    ASSERT_EQ(0, fr_sql_query(lock.get(), nullptr, "UNLOCK TABLES"));
    auto r = d.wait_exit(60);
    ASSERT_TRUE(r);
    EXPECT_EQ(0, r->exit_code) << r->err;
    EXPECT_EQ(1, rows("Job finished. Changes"));
    EXPECT_EQ("OK", db.value("SELECT info FROM logs WHERE message = 'Job finished. Changes'"));
    EXPECT_EQ(0, rows("Job finished. Restore"));
    EXPECT_EQ(1, rows("Program exited"));
    EXPECT_NE(std::string::npos, r->out.find("Shutting down..."));
}

TEST_F(Daemon, AStopLetsTheRunningJobFinishAndASecondStopAbandonsIt) {
    ASSERT_EQ(0, db.exec("INSERT INTO client(id, login, email) VALUES(7, 'ann', "
                         "'hostmaster@example.net');INSERT INTO zone(id, name, type, client_id) "
                         "VALUES(1, 'a.example.', 'master', 7);INSERT INTO zone_dns_records("
                         "zone_id, entry_type, host, value, priority) VALUES(1, 'NS', "
                         "'a.example.', 'ns1.example.net.', 1)"))
        << db.last_error();
    const std::string zone_file = tree.dir.file("named/var/named/a/a.example");
    for (int stops : {1, 2}) {
        ASSERT_EQ(0, db.exec("INSERT INTO changes(zone_name, type, timestamp) "
                             "VALUES('a.example.', 'u', UNIX_TIMESTAMP())"));
        // The first job's worker waits for the table.
        sql_handle lock = db.connect();
        ASSERT_EQ(0, fr_sql_query(lock.get(), nullptr, "LOCK TABLES client WRITE"));
        running_program d = start();
        ASSERT_TRUE(job_waiting_for_lock("client")) << d.err();
        if (stops == 1) {
            // An interrupt typed at the terminal reaches the workers too: they go on.
            ASSERT_EQ(0, d.signal_group(SIGINT));
            ASSERT_EQ(0, fr_sql_query(lock.get(), nullptr, "UNLOCK TABLES"));
        } else {
            program_result k = run_program(program_path("zonebuild"), {"-k"}, options());
            ASSERT_EQ(0, k.exit_code) << k.err;
            ASSERT_EQ(0, d.signal(SIGTERM));
        }
        // A second stop does not wait for the table: the daemon ends while it is locked.
        auto r = d.wait_exit(60);
        ASSERT_TRUE(r);
        EXPECT_EQ(0, r->exit_code) << r->err;
        EXPECT_EQ(1, rows("Program exited"));
        const auto outcome = db.value("SELECT info FROM logs WHERE message = 'Job finished. "
                                      "Changes'");
        if (stops == 1) {
            EXPECT_EQ("OK", outcome) << r->err;
            EXPECT_EQ(0, db.count("changes"));
            EXPECT_TRUE(path_exists(zone_file));
            write_text_file(zone_file, "before\n");
        } else {
            EXPECT_EQ("FR_FAIL", outcome) << r->err;
            EXPECT_NE(std::string::npos, r->err.find("Stop requested again")) << r->err;
            EXPECT_EQ(1, db.count("changes")); // written by a later job
            EXPECT_EQ("before\n", read_text_file(zone_file));
            ASSERT_EQ(0, fr_sql_query(lock.get(), nullptr, "UNLOCK TABLES"));
        }
        ASSERT_EQ(0, db.exec("DELETE FROM logs"));
    }
}

TEST_F(Daemon, SecondInstanceIsRefusedWhileThePidFileIsLocked) {
    running_program first = start();
    ASSERT_TRUE(wait_rows("Job finished. Changes", 1)) << first.err();
    EXPECT_EQ(std::to_string(first.pid()), read_text_file(tree.pid_file()));
    EXPECT_EQ(first.pid(), pid_file::running(tree.pid_file())); // it holds the lock

    program_result second = run_program(program_path("zonebuildd"), {"-X"}, options());
    EXPECT_EQ(1, second.exit_code);
    EXPECT_NE(std::string::npos, second.err.find("Daemon is already running.")) << second.err;
    EXPECT_EQ(std::to_string(first.pid()), read_text_file(tree.pid_file()));
    EXPECT_EQ(1, rows("Program started"));
    ASSERT_EQ(0, first.signal(SIGINT));
    ASSERT_TRUE(first.wait_exit(60));
}

TEST_F(Daemon, WorkDirectoriesOfProcessesThatNoLongerExistAreRemovedAtStart) {
    // A process that has ended (reaped): its number names nobody now.
    const pid_t dead = fork();
    if (dead == 0)
        _exit(0);
    ASSERT_GT(dead, 0);
    ASSERT_EQ(dead, waitpid(dead, nullptr, 0));
    const std::string dead_work = "tmp/tmp_" + std::to_string(dead);
    const std::string dead_stage = "named/var/named/.zonebuildd-stage-" + std::to_string(dead);
    const std::string live_work = "tmp/tmp_" + std::to_string(getpid());
    for (const std::string &dir : {dead_work, dead_stage, live_work}) {
        tree.dir.make_subdir(dir + "/var/named");
        write_text_file(tree.dir.file(dir + "/var/named/left"), "x");
    }
    running_program d = start();
    ASSERT_TRUE(wait_rows("Job finished. Changes", 1)) << d.err();
    EXPECT_FALSE(path_exists(tree.dir.file(dead_work)));
    EXPECT_FALSE(path_exists(tree.dir.file(dead_stage)));
    EXPECT_TRUE(path_exists(tree.dir.file(live_work + "/var/named/left"))); // a live process's
    ASSERT_EQ(0, d.signal(SIGTERM));
    ASSERT_TRUE(d.wait_exit(60));
}

TEST_F(Daemon, LeftoverPidFileDoesNotBlockTheStart) {
    // A pid file nobody holds: left by a crash; its number may name any process now (this
    // test's own, or init).
    int started = 0;
    for (const std::string &stale : {std::to_string(getpid()), std::string("1")}) {
        write_text_file(tree.pid_file(), stale);
        running_program d = start();
        ASSERT_TRUE(wait_until(
            [&] { return read_text_file(tree.pid_file()) == std::to_string(d.pid()); }, 60))
            << d.err();
        // The start-up row comes after the signal handlers are in place.
        ++started;
        ASSERT_TRUE(wait_until([&] { return rows("Program started") >= started; }, 60)) << d.err();
        ASSERT_EQ(0, d.signal(SIGTERM));
        auto r = d.wait_exit(60);
        ASSERT_TRUE(r);
        EXPECT_EQ(0, r->exit_code);
    }
}

TEST_F(Daemon, SignalSentAsSoonAsThePidFileAppearsIsServed) {
    running_program d = start();
    ASSERT_TRUE(
        wait_until([&] { return read_text_file(tree.pid_file()) == std::to_string(d.pid()); }, 60))
        << d.err();
    ASSERT_EQ(0, d.signal(SIGUSR2)); // as zonebuild would: no waiting for anything else
    ASSERT_TRUE(wait_rows("Job finished. Restore", 1)) << d.err();
    ASSERT_EQ(0, d.signal(SIGTERM));
    auto r = d.wait_exit(60);
    ASSERT_TRUE(r);
    EXPECT_EQ(0, r->exit_code) << r->err;
}

// The database server stops answering in the middle of a job (SIGSTOP): with DB_TIMEOUT
// the job's statement gives up, the job fails with its rows kept, and a stop request is
// honoured within the time limit instead of waiting for the server for ever.
TEST(DaemonHungDatabase, AStopIsHonouredWithinTheDatabaseTimeLimit) {
    own_database_server server;
    test_database db = make_test_database_on(server.info());
    ASSERT_EQ(0, db.exec("INSERT INTO misc(param, value) VALUES('log_level', '7');"
                         "INSERT INTO file_template_default(id, name, content) VALUES(1, "
                         "'zonaris.include', '');INSERT INTO file_template("
                         "file_template_default_id, content) VALUES(1, 'zone \"[zone_name]\" { "
                         "type [zone_type]; file \"[zone_file_name]\"; [zone_options]; };');"
                         "INSERT INTO client(id, login, email) VALUES(7, 'ann', "
                         "'hostmaster@example.net');INSERT INTO zone(id, name, type, client_id) "
                         "VALUES(1, 'a.example.', 'master', 7);INSERT INTO zone_dns_records("
                         "zone_id, entry_type, host, value, priority) VALUES(1, 'NS', "
                         "'a.example.', 'ns1.example.net.', 1);INSERT INTO changes(zone_name, "
                         "type, timestamp) VALUES('a.example.', 'u', UNIX_TIMESTAMP())"))
        << db.last_error();
    daemon_tree tree;
    test_etc_dir etc;
    config_pairs keys = db.config();
    for (const auto &kv : tree.config())
        keys.push_back(kv);
    keys.emplace_back("DB_TIMEOUT", "2");
    etc.write_conf(keys);
    run_options opts;
    opts.env = {etc.env()};

    // The start-up job waits when the server stops: in its own first statement (`changes`
    // locked), then in its worker's (`client` locked).
    for (const std::string table : {"changes", "client"}) {
        sql_handle lock = db.connect();
        ASSERT_EQ(0, fr_sql_query(lock.get(), nullptr, "LOCK TABLES " + table + " WRITE"));
        running_program d = start_program(program_path("zonebuildd"), {"-X"}, opts);
        ASSERT_TRUE(statement_waits_for_lock(db, table)) << d.err();
        std::optional<program_result> r;
        double seconds = 0;
        {
            stopped_server stopped(server.server_pid());
            ASSERT_TRUE(stopped.stopped()) << "the server did not stop";
            const auto start = std::chrono::steady_clock::now();
            ASSERT_EQ(0, d.signal(SIGTERM));
            r = d.wait_exit(60); // without a time limit: as long as the server is stopped
            seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
        ASSERT_TRUE(r) << "the daemon waited for the stopped server";
        EXPECT_EQ(0, r->exit_code) << r->err;
        const std::string said = r->out + r->err;
        EXPECT_NE(std::string::npos, said.find("Failed to synchronize database changes.")) << said;
        // The job's outcome could not reach the database: it is in the log.
        EXPECT_NE(std::string::npos, said.find("Event row not written to the database: Job "
                                               "finished. Changes (ER02): FR_FAIL"))
            << said;
        RecordProperty("seconds_from_stop_to_exit_" + table, std::to_string(seconds));

        ASSERT_EQ(0, fr_sql_query(lock.get(), nullptr, "UNLOCK TABLES"));
        EXPECT_EQ(1, db.count("changes")) << table;
        EXPECT_EQ(0, db.count("logs", "message = 'Job finished. Changes'")) << table;
    }
}

struct start_failure {
    config_pairs changes;
    std::string remove; // below the tree
    std::string message;
};

class DaemonStartFailure : public Daemon, public ::testing::WithParamInterface<start_failure> {};

TEST_P(DaemonStartFailure, StopsBeforeDetachingWithItsMessage) {
    write_conf(GetParam().changes);
    if (!GetParam().remove.empty()) {
        ASSERT_EQ(0, remove_tree(tree.dir.file(GetParam().remove)));
    }
    program_result r = run_program(program_path("zonebuildd"), {"-X"}, options());
    EXPECT_EQ(1, r.exit_code);
    EXPECT_NE(std::string::npos, r.err.find(GetParam().message)) << r.err;
    EXPECT_FALSE(path_exists(tree.pid_file()));
    EXPECT_EQ(0, rows("Program started"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DaemonStartFailure,
    ::testing::Values(
        start_failure{{}, "named/etc/zonaris.include", "The zonaris include file"},
        start_failure{{}, "named/var/named/slaves", "The secondary DNS zones directory"},
        start_failure{{{"ZONEBUILD_PID_FILE", "zonebuildd.pid"}},
                      "",
                      "An absolute pid file path is required."},
        start_failure{{{"ZONEBUILD_CONCURRENCY_LIMIT", "0"}}, "", "Invalid concurrency limit"},
        start_failure{{{"DB_PORT", "1"}}, "", "Failed to establish database connection."},
        start_failure{{{"NAMED_USERNAME", "no-such-user-zb"}}, "", "Unknown named user"}));

TEST(DaemonCommandLine, VersionHelpAndBadOptions) {
    program_result v = run_program(program_path("zonebuildd"), {"-V"});
    EXPECT_EQ(0, v.exit_code);
    EXPECT_EQ("Zonaris: zonebuildd: version: 5.2.6\n", v.out);
    program_result h = run_program(program_path("zonebuildd"), {"--help"});
    EXPECT_EQ(0, h.exit_code);
    EXPECT_EQ(0u, h.out.find("Usage:\n\tzonebuildd [-X|--nodetach]\n"));
    program_result bad = run_program(program_path("zonebuildd"), {"--frobnicate"});
    EXPECT_EQ(1, bad.exit_code);
    EXPECT_EQ("--frobnicate: unknown option\n", bad.err);
}

// ---------------------------------------------------------------------------------------
// Reread, in process.

class Reread : public Daemon {
  protected:
    void SetUp() override {
        Daemon::SetUp();
        logging_init("zonebuildd", "stdlog", nullptr);
        _init_global_str();
        st.no_detach = 1;
        st.run_type = 1;
        st.config_path = etc.file("zonaris.conf");
    }
    zonebuildd_state st;
};

TEST_F(Reread, BrokenFileKeepsTheRunningSettingsAndRemovedKeysFallBack) {
    write_conf({{"ZONEBUILD_CONCURRENCY_LIMIT", "5"}, {"ZONEBUILD_RUN_INTERVAL", "60"}});
    ASSERT_EQ(0, zonebuildd_init(st, 1));
    ASSERT_EQ(5, st.settings.concurrency_limit);
    st.db.reset();

    const std::string named_root = st.settings.named_root;
    for (const config_pairs &broken :
         {config_pairs{{"ZONEBUILD_CONCURRENCY_LIMIT", "0"}}, config_pairs{{"DB_PASSWD", ""}},
          config_pairs{{"DB_PASSWD", "wrong"}}, config_pairs{{"NAMED_D", tree.dir.file("nowhere")}},
          config_pairs{{"ZONEBUILD_RUN_INTERVAL", "soon"}}}) {
        write_conf(broken);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int rc = reinit_daemon(st);
        testing::internal::GetCapturedStdout();
        const std::string errors = testing::internal::GetCapturedStderr();
        EXPECT_EQ(-1, rc) << broken[0].first;
        EXPECT_FALSE(errors.empty());
        EXPECT_EQ(5, st.settings.concurrency_limit);
        EXPECT_EQ(60u, st.settings.run_interval);
        EXPECT_EQ(named_root, st.settings.named_root);
        EXPECT_FALSE(st.db);
    }

    write_conf({});
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, reinit_daemon(st));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(2, st.settings.concurrency_limit);
    EXPECT_EQ(3600u, st.settings.run_interval);
    EXPECT_EQ(tree.pid_file(), st.settings.base.pid_file);
    EXPECT_TRUE(st.db);
    EXPECT_EQ(LOG_DEBUG, st.event_level);
}

TEST_F(Reread, FailedRereadWritesItsFailureRow) {
    ASSERT_EQ(0, zonebuildd_init(st, 1));
    st.db.reset(); // as between jobs
    ASSERT_EQ(0, st.queue.open());
    write_conf({{"ZONEBUILD_CONCURRENCY_LIMIT", "0"}});
    st.queue.add(JOB_REREAD);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, generic_job(st));
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(1, db.count("logs", "message = 'Job done. Reread config' AND info = 'FR_FAIL'"));
}

} // namespace
