// zonefeedd as a program: started with -X against a private database and the private feed
// server, driven by its signals and by the zonefeed tool.
#include "feed_server.h"
#include "mail_fixture.h"
#include "mariadb_fixture.h"
#include "run_program.h"
#include "zonefeedd.h"

#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <fstream>

namespace {

class zonefeeddDaemon : public testing::Test {
  protected:
    test_database db = make_test_database();
    feed_server server;
    test_etc_dir etc;
    mail_catcher mail;
    temp_dir dir{"zf-daemon"};
    running_program daemon;

    void SetUp() override {
        server.put("a.txt", "a.example.test. {\nwww A 192.0.2.1\n}\n");
        server.put("b.txt", "b.example.test. {\nwww A 192.0.2.2\n}\n");
        exec("INSERT INTO misc(param, value) VALUES('log_level', '7')");
        exec("INSERT INTO client(id, login, name, email, status) VALUES(5, 'c5', 'Client', "
             "'c5@example.test', 1), (6, 'c6', 'Other', 'c6@example.test', 1)");
        exec("INSERT INTO client_prefs(client_id, param, value) VALUES(5, "
             "'forward_zone_management', '10'), (6, 'forward_zone_management', '10')");
        write_conf({});
    }

    void exec(const std::string &sql) { ASSERT_EQ(db.exec(sql), 0) << db.last_error() << sql; }
    std::string pid_file() const { return dir.file("zonefeedd.pid"); }

    void write_conf(const config_pairs &changes) {
        config_pairs keys = db.config();
        const config_pairs ours = {{"ZONEFEED_PID_FILE", pid_file()},
                                   {"DOWNLOAD_D", dir.file("downloads")},
                                   {"ZONEFEED_USER", "root"},
                                   {"ZONEFEED_GROUP", "root"},
                                   {"ZONEFEED_RUN_INTERVAL", "3600"},
                                   {"DOWNLOAD_URL_TIMEOUT", "2"},
                                   {"DOWNLOAD_URL_CONNECT_TIMEOUT", "2"},
                                   {"MAX_FILE_SIZE", "1"},
                                   {"MAX_DOWNLOAD_THREADS", "4"},
                                   {"SENDMAIL_BIN_FILE", mail.program()}};
        keys.insert(keys.end(), ours.begin(), ours.end());
        for (const auto &[k, v] : changes) {
            std::erase_if(keys, [&](const auto &kv) { return kv.first == k; });
            if (!v.empty())
                keys.emplace_back(k, v);
        }
        etc.write_conf(keys);
    }

    int feed(int client, const std::string &path, const std::string &cols = "",
             const std::string &vals = "") {
        exec("INSERT INTO zone_feed(client_id, url" + cols + ") VALUES(" + std::to_string(client) +
             ", '" + server.url(path) + "'" + vals + ")");
        return std::stoi(*db.value("SELECT LAST_INSERT_ID()"));
    }

    long long rows(const std::string &where) {
        return db.count("logs", "facility = 'REMOTE_UPDATE' AND " + where);
    }
    long long rows_of(const std::string &message, const std::string &info = "") {
        return rows("message = '" + message + "'" +
                    (info.empty() ? "" : " AND info = '" + info + "'"));
    }
    bool wait_rows(const std::string &message, long long n, const std::string &info = "") {
        return wait_until([&] { return rows_of(message, info) >= n; }, 60);
    }

    void start() {
        daemon = start_program(program_path("zonefeedd"), {"-X"}, run_options().add_env(etc.env()));
        ASSERT_TRUE(wait_rows("Program started", 1)) << daemon.err() << daemon.out();
    }
    program_result tool(const std::vector<std::string> &args) {
        return run_program(program_path("zonefeed"), args, run_options().add_env(etc.env()));
    }
};

TEST_F(zonefeeddDaemon, EachDownloadFailureGivesItsEventAndTheOthersAreScanned) {
    const int ok_a = feed(5, "/files/a.txt");
    const int ok_b = feed(6, "/auth/u/p/b.txt", ", username, password", ", 'u', 'p'");
    const int failing[] = {feed(5, "/status/500"), feed(5, "/chunked/5000"),
                           feed(5, "/auth/u/p/a.txt"), feed(5, "/trickle/100"), feed(5, "/silent")};
    start();
    ASSERT_TRUE(wait_rows("Job finished. Import", 1)) << daemon.out();
    EXPECT_EQ(rows_of("Job finished. Import", "OK"), 1);
    EXPECT_EQ(rows_of("Job started. Import"), 1);
    for (int id : failing)
        EXPECT_EQ(rows("info_code = 'EPU01' AND zone_feed_id = " + std::to_string(id)), 1) << id;
    EXPECT_EQ(rows("message = 'Event importing file. Download failed. File too large' AND "
                   "zone_feed_id = " +
                   std::to_string(failing[1])),
              1);
    EXPECT_EQ(rows("info_code = 'EPU01' AND client_id = 5"), 5);
    for (int id : {ok_a, ok_b})
        EXPECT_NE(daemon.out().find("Adding zones from file '" + dir.file("downloads") + "/tmp_" +
                                    std::to_string(daemon.pid()) + "/" + std::to_string(id) + "_"),
                  std::string::npos)
            << daemon.out();
    // Nothing of the run stays on disk; the runs of the two feeds that arrived are recorded.
    EXPECT_TRUE(wait_until(
        [&] { return !path_exists(dir.file("downloads/tmp_" + std::to_string(daemon.pid()))); },
        10));
    EXPECT_EQ(db.count("zone_feed", "count > 0"), 2);
    EXPECT_EQ(db.count("zone_feed", "count > 0 AND id IN (" + std::to_string(ok_a) + ", " +
                                        std::to_string(ok_b) + ")"),
              2);
}

TEST_F(zonefeeddDaemon, SignalsQueueTheirJobsAndStopEndsTheDaemon) {
    feed(5, "/files/a.txt");
    start();
    ASSERT_TRUE(wait_rows("Job finished. Import", 1)) << daemon.out() << daemon.err();
    daemon.signal(SIGUSR2);
    ASSERT_TRUE(wait_rows("Job finished. Import all", 1, "OK")) << daemon.out() << daemon.err();
    // A custom import without a queued client fails; with one, it runs.
    daemon.signal(SIGTTIN);
    ASSERT_TRUE(wait_rows("Job finished. Import custom", 1, "FR_FAIL"))
        << daemon.out() << daemon.err();
    exec("INSERT INTO custom_job_queue(service, action, value) VALUES('ZONEFEED', "
         "'forceclient', '5')");
    daemon.signal(SIGTTIN);
    ASSERT_TRUE(wait_rows("Job finished. Import custom", 1, "OK")) << daemon.out() << daemon.err();
    EXPECT_EQ(db.count("custom_job_queue"), 0);
    // SIGHUP wakes the sleep and rereads; a broken file leaves the daemon as it was.
    daemon.signal(SIGHUP);
    ASSERT_TRUE(wait_rows("Job done. Reread config", 1, "OK")) << daemon.out() << daemon.err();
    write_conf({{"ZONEFEED_RUN_INTERVAL", "0"}});
    daemon.signal(SIGHUP);
    ASSERT_TRUE(wait_rows("Job done. Reread config", 1, "FR_FAIL")) << daemon.out() << daemon.err();
    daemon.signal(SIGUSR1);
    ASSERT_TRUE(wait_rows("Job finished. Import", 2, "OK")) << daemon.out() << daemon.err();
    daemon.signal(SIGTERM);
    auto end = daemon.wait_exit(30);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->exit_code, 0) << end->err;
    EXPECT_EQ(rows_of("Program exited", std::to_string(daemon.pid()) + "|0"), 1);
    EXPECT_FALSE(path_exists(pid_file()));
}

TEST_F(zonefeeddDaemon, FailureMailAtTheThresholdOnce) {
    exec("INSERT INTO client_prefs(client_id, param, value) VALUES(5, 'remote_warn_threshold', "
         "'2')");
    exec("INSERT INTO notification_event(id, name) VALUES(1, 'remote_update_failure')");
    exec("INSERT INTO notification(id, event_id, subject, content) VALUES(1, 1, 'Feed "
         "[remote_location] fails', 'Dear [name]')");
    exec("INSERT INTO notification_target(notification_id, appliesto) VALUES(1, 'client')");
    const int bad = feed(5, "/status/500");
    start();
    ASSERT_TRUE(wait_rows("Job finished. Import", 1)) << daemon.out() << daemon.err();
    EXPECT_TRUE(mail.messages().empty());
    for (int run = 2; run <= 5; ++run) {
        daemon.signal(SIGUSR2);
        ASSERT_TRUE(wait_rows("Job finished. Import all", run - 1)) << daemon.out() << daemon.err();
    }
    EXPECT_EQ(rows("info_code = 'EPU01' AND zone_feed_id = " + std::to_string(bad)), 5);
    const auto sent = mail.messages();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].header("Subject"), "Feed " + server.url("/status/500") + " fails");
    EXPECT_EQ(sent[0].header("To"), "c5@example.test");
}

TEST_F(zonefeeddDaemon, ThreadLimitBoundsTheDownloadsOfARun) {
    for (int i = 0; i < 12; ++i)
        feed(5, "/slow/200/a.txt");
    start();
    ASSERT_TRUE(wait_rows("Job finished. Import", 1)) << daemon.out() << daemon.err();
    const feed_server_stats st = server.stats();
    EXPECT_EQ(st.requests, 12);
    EXPECT_LE(st.max_active, 4);
    EXPECT_GE(st.max_active, 2);
}

TEST_F(zonefeeddDaemon, ZonefeedDrivesTheDaemon) {
    feed(5, "/files/a.txt");
    EXPECT_EQ(tool({}).exit_code, 1) << "no daemon yet";
    start();
    ASSERT_TRUE(wait_rows("Job finished. Import", 1)) << daemon.out() << daemon.err();
    program_result r = tool({});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("zonefeedd is running."), std::string::npos);
    EXPECT_EQ(tool({"-n"}).exit_code, 0);
    ASSERT_TRUE(wait_rows("Job finished. Import", 2, "OK")) << daemon.out() << daemon.err();
    EXPECT_EQ(tool({"-n", "-f"}).exit_code, 0);
    ASSERT_TRUE(wait_rows("Job finished. Import all", 1, "OK")) << daemon.out() << daemon.err();
    EXPECT_EQ(tool({"-n", "-f", "-C", "5 6"}).exit_code, 0);
    ASSERT_TRUE(wait_rows("Job finished. Import custom", 1, "OK")) << daemon.out() << daemon.err();
    EXPECT_EQ(db.count("custom_job_queue"), 0);
    EXPECT_EQ(tool({"-c"}).exit_code, 0);
    ASSERT_TRUE(wait_rows("Job done. Reread config", 1, "OK")) << daemon.out() << daemon.err();
    EXPECT_EQ(tool({"-k"}).exit_code, 0);
    auto end = daemon.wait_exit(30);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->exit_code, 0);
}

TEST_F(zonefeeddDaemon, RefusesToStartTwiceOrWithoutARunInterval) {
    start();
    program_result second = run_program(program_path("zonefeedd"), {"-X"},
                                        run_options().add_env(etc.env()).timeout(30));
    EXPECT_EQ(second.exit_code, 1);
    EXPECT_NE(second.err.find("Daemon is already running."), std::string::npos) << second.err;
    daemon.signal(SIGINT);
    auto end = daemon.wait_exit(30);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->exit_code, 0);
    write_conf({{"ZONEFEED_RUN_INTERVAL", "0"}});
    program_result refused = run_program(program_path("zonefeedd"), {"-X"},
                                         run_options().add_env(etc.env()).timeout(30));
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_NE(refused.err.find("Invalid run interval value: 0."), std::string::npos) << refused.err;
}

// In the foreground, a file that the shared loader refuses is reported on the terminal
// (before its log engine could be read).
TEST_F(zonefeeddDaemon, ARefusedFileIsReportedOnTheTerminal) {
    const std::pair<config_pairs, std::string> cases[] = {
        {{{"DB_PORT", "0"}}, "Invalid database port: 0."},
        {{{"ZONEFEED_PID_FILE", "run/zonefeedd.pid"}}, "An absolute pid file path is required."},
    };
    for (const auto &[changes, message] : cases) {
        write_conf(changes);
        program_result r = run_program(program_path("zonefeedd"), {"-X"},
                                       run_options().add_env(etc.env()).timeout(30));
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    }
    EXPECT_EQ(rows_of("Program started"), 0);
}

TEST_F(zonefeeddDaemon, RepeatedSignalsDuringARunQueueOneJobPerKind) {
    feed(5, "/slow/1500/a.txt");
    start();
    ASSERT_TRUE(wait_rows("Job started. Import", 1)) << daemon.out() << daemon.err();
    daemon.signal(SIGUSR1);
    daemon.signal(SIGUSR1);
    daemon.signal(SIGUSR2);
    ASSERT_TRUE(wait_rows("Job finished. Import all", 1)) << daemon.out() << daemon.err();
    EXPECT_EQ(rows_of("Job finished. Import"), 2);
    EXPECT_EQ(rows_of("Job started. Import all"), 1);
}

// Files are written and read one at a time: a run of many feeds stays far below a small
// descriptor limit.
TEST_F(zonefeeddDaemon, FilesAreNotHeldOpenAcrossTheRun) {
    for (int i = 0; i < 60; ++i)
        feed(5, "/files/a.txt");
    daemon = start_program("/bin/sh",
                           {"-c", "ulimit -n 40 && exec " + program_path("zonefeedd") + " -X"},
                           run_options().add_env(etc.env()));
    ASSERT_TRUE(wait_rows("Job finished. Import", 1, "OK")) << daemon.out() << daemon.err();
    size_t scanned = 0;
    for (size_t at = 0; (at = daemon.out().find("Adding zones from file", at)) != std::string::npos;
         ++at)
        ++scanned;
    EXPECT_EQ(scanned, 60u);
    EXPECT_EQ(rows("info_code = 'EPU01'"), 0);
}

TEST_F(zonefeeddDaemon, DetachedDaemonReportsReadyAndStopsOnSigterm) {
    program_result r =
        run_program(program_path("zonefeedd"), {}, run_options().add_env(etc.env()).timeout(30));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    ASSERT_TRUE(wait_rows("Program started", 1));
    const std::string pid = read_text_file(pid_file());
    ASSERT_FALSE(pid.empty());
    EXPECT_EQ(tool({}).exit_code, 0);
    ASSERT_EQ(kill(std::stoi(pid), SIGTERM), 0);
    EXPECT_TRUE(wait_until([&] { return !path_exists(pid_file()); }, 30));
    EXPECT_TRUE(wait_rows("Program exited", 1, pid + "|0"));
}

TEST(zonefeeddTimer, NextRunIsMeasuredFromTheLastPeriodicRun) {
    EXPECT_EQ(init_timer(1800, 1000, 1000), 1800);
    EXPECT_EQ(init_timer(1800, 1000, 1300), 1500); // a reread at 1300 does not move the run
    EXPECT_EQ(init_timer(1800, 1000, 2800), 1800);
    EXPECT_EQ(init_timer(1800, 1000, 4000), 600);
}

// The daemon's worker processes (forked, so they carry its command name).
std::vector<pid_t> workers_of(pid_t daemon) {
    std::vector<pid_t> out;
    const std::string task_dir = "/proc/" + std::to_string(daemon) + "/task";
    DIR *tasks = opendir(task_dir.c_str());
    while (dirent *t = tasks ? readdir(tasks) : nullptr) {
        std::ifstream children(task_dir + "/" + t->d_name + "/children");
        for (pid_t pid; children >> pid;) {
            std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
            std::string name;
            std::getline(comm, name);
            if (name == "zonefeedd")
                out.push_back(pid);
        }
    }
    if (tasks)
        closedir(tasks);
    return out;
}

TEST_F(zonefeeddDaemon, AKilledWorkerFailsTheJobAndTheNextRunWritesTheFeed) {
    server.put("w.txt", "w.example.test. {\nNS||@||ns1.example.net.||1\nA||www||192.0.2.1\n"
                        "SERIAL||7||\n}\n");
    const int id = feed(5, "/files/w.txt", ", period", ", 0");
    // The worker writing the zone waits for the SOA table until it is killed.
    auto locker = db.connect();
    ASSERT_EQ(fr_sql_query(locker.get(), nullptr, "LOCK TABLES zone_soa WRITE"), 0);
    start();
    ASSERT_TRUE(wait_until(
        [&] {
            return db.count("information_schema.processlist",
                            "db = '" + db.name + "' AND info LIKE 'INSERT INTO zone_soa%'") > 0;
        },
        60))
        << daemon.out();
    for (pid_t pid : workers_of(daemon.pid()))
        kill(pid, SIGKILL);
    ASSERT_TRUE(wait_rows("Job finished. Import", 1, "FR_FAIL")) << daemon.out();
    ASSERT_EQ(fr_sql_query(locker.get(), nullptr, "UNLOCK TABLES"), 0);
    EXPECT_EQ(*db.value("SELECT count FROM zone_feed WHERE id = " + std::to_string(id)), "0");
    ASSERT_TRUE(wait_until(
        [&] {
            return db.count("information_schema.processlist",
                            "db = '" + db.name + "' AND info LIKE 'INSERT INTO zone_soa%'") == 0;
        },
        30));
    EXPECT_EQ(db.count("zone"), 0) << "the killed worker's zone was rolled back";

    // The next scheduled run writes the zone and records the run; an unchanged file after
    // that is recorded without a write.
    daemon.signal(SIGUSR1);
    ASSERT_TRUE(wait_rows("Job finished. Import", 1, "OK")) << daemon.out();
    EXPECT_EQ(db.count("zone_dns_records", "entry_type = 'A' AND value = '192.0.2.1'"), 1);
    EXPECT_EQ(db.count("changes", "zone_name = 'w.example.test.' AND type = 'u'"), 1);
    EXPECT_EQ(*db.value("SELECT count FROM zone_feed WHERE id = " + std::to_string(id)), "1");
    daemon.signal(SIGUSR1);
    ASSERT_TRUE(wait_rows("Job finished. Import", 2, "OK")) << daemon.out();
    EXPECT_EQ(rows_of("Event importing file. Dump file hasn''t changed"), 1);
    EXPECT_EQ(*db.value("SELECT count FROM zone_feed WHERE id = " + std::to_string(id)), "2");
    EXPECT_EQ(db.count("changes"), 1);
    EXPECT_TRUE(workers_of(daemon.pid()).empty());
}

TEST_F(zonefeeddDaemon, AStopLetsTheImportFinishAndNoWorkerOutlivesTheDaemon) {
    // Due at every start, also once a run is recorded.
    const int id = feed(5, "/files/w.txt", ", period", ", 0");
    auto locker = db.connect();
    // Each run gets a new zone, so that a worker starts and waits for the lock.
    int run = 0;
    auto start_with_waiting_worker = [&](std::vector<pid_t> &workers) {
        ++run;
        server.put("w.txt", "w" + std::to_string(run) +
                                ".example.test. {\nNS||@||ns1.example.net.||1\nA||www||192.0.2." +
                                std::to_string(run) + "\nSERIAL||7||\n}\n");
        ASSERT_EQ(fr_sql_query(locker.get(), nullptr, "LOCK TABLES zone_soa WRITE"), 0);
        start();
        ASSERT_TRUE(wait_until(
            [&] {
                workers = workers_of(daemon.pid());
                return !workers.empty() &&
                       db.count("information_schema.processlist",
                                "db = '" + db.name + "' AND info LIKE 'INSERT INTO zone_soa%'") > 0;
            },
            60))
            << daemon.out();
    };
    auto expect_gone = [&](const std::vector<pid_t> &workers) {
        for (pid_t pid : workers)
            EXPECT_TRUE(wait_until([&] { return kill(pid, 0) != 0; }, 10)) << pid;
        std::remove(pid_file().c_str());
        ASSERT_EQ(fr_sql_query(locker.get(), nullptr, "UNLOCK TABLES"), 0);
    };
    std::vector<pid_t> workers;

    // One stop request: the import in progress is finished and recorded, then the daemon ends.
    start_with_waiting_worker(workers);
    daemon.signal(SIGTERM);
    ASSERT_EQ(fr_sql_query(locker.get(), nullptr, "UNLOCK TABLES"), 0);
    auto end = daemon.wait_exit(60);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->exit_code, 0) << end->err;
    EXPECT_EQ(rows_of("Job finished. Import", "OK"), 1) << daemon.out();
    EXPECT_EQ(db.count("zone_dns_records", "entry_type = 'A' AND value = '192.0.2.1'"), 1);
    EXPECT_EQ(*db.value("SELECT count FROM zone_feed WHERE id = " + std::to_string(id)), "1");
    ASSERT_EQ(fr_sql_query(locker.get(), nullptr, "LOCK TABLES zone_soa WRITE"), 0);
    expect_gone(workers);

    // A second stop request gives the import up; a killed daemon takes its workers with it.
    for (int sig : {SIGTERM, SIGKILL}) {
        start_with_waiting_worker(workers);
        daemon.signal(sig);
        if (sig == SIGTERM) // another signal: two pending SIGTERMs would be delivered as one
            daemon.signal(SIGINT);
        end = daemon.wait_exit(30);
        ASSERT_TRUE(end);
        if (sig == SIGTERM) {
            EXPECT_EQ(end->exit_code, 0) << end->err;
            EXPECT_EQ(rows_of("Job finished. Import", "FR_FAIL"), 1) << daemon.out();
        }
        expect_gone(workers);
    }
    EXPECT_EQ(*db.value("SELECT count FROM zone_feed WHERE id = " + std::to_string(id)), "1");
}

} // namespace
