// The write phase against a private MariaDB: feed files scanned as the daemon scans them,
// then cut into chunks and written by forked workers. Deltas against the stored rows, the
// purge and its guards, the zone limit under concurrent workers, secondary zones, zones the
// feed may not touch, and workers that hang or die.
#include "dns_common.h"
#include "feed_scan.h"
#include "feed_workers.h"
#include "mariadb_fixture.h"
#include "run_program.h"
#include "temp_dir.h"
#include "zonefeedd.h"

#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <fstream>
#include <future>

namespace {

// A primary zone block: an origin NS record, `hosts` A records and the extra lines.
std::string zone_block(const std::string &name, int hosts, const std::string &extra = "") {
    std::string text = name + " {\nNS||@||ns1.example.net.||1\n";
    for (int i = 0; i < hosts; ++i)
        text += "A||h" + std::to_string(i) + "||192.0.2." + std::to_string(i + 1) + "\n";
    return text + extra + "}\n";
}

std::string zone_name(int i) {
    return "z" + std::to_string(i) + ".test.";
}

// The worker processes of this test process (forked, so they carry its command name).
std::vector<pid_t> worker_pids() {
    std::ifstream self("/proc/self/comm");
    std::string me;
    std::getline(self, me);
    std::vector<pid_t> out;
    DIR *tasks = opendir("/proc/self/task");
    while (dirent *t = tasks ? readdir(tasks) : nullptr) {
        std::ifstream children(std::string("/proc/self/task/") + t->d_name + "/children");
        for (pid_t pid; children >> pid;) {
            std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
            std::string name;
            std::getline(comm, name);
            if (name == me)
                out.push_back(pid);
        }
    }
    if (tasks)
        closedir(tasks);
    return out;
}

class zonefeeddWrite : public testing::Test {
  protected:
    static void SetUpTestSuite() { _init_global_str(); }
    test_database db = make_test_database();
    sql_handle conn = db.connect();
    temp_dir dir{"zf-write"};
    std::vector<std::unique_ptr<feed_record>> feeds;
    srv_names srv;
    write_settings settings;
    std::unordered_map<int, feed_write_result> results;

    void SetUp() override {
        ASSERT_TRUE(conn);
        exec("INSERT INTO client(id, login, status) VALUES(1, 'a', 1), (2, 'b', 1)");
        settings.db.host = db.host;
        settings.db.port = db.port;
        settings.db.user = db.user;
        settings.db.password = db.password;
        settings.db.name = db.name;
        settings.concurrency = 3;
        settings.stall_limit = std::chrono::seconds(60);
        settings.event_level = 7;
    }
    void exec(const std::string &sql) { ASSERT_EQ(db.exec(sql), 0) << db.last_error() << sql; }

    feed_record &add_feed(int client, int priority = 0) {
        exec("INSERT INTO zone_feed(client_id, url, priority) VALUES(" + std::to_string(client) +
             ", 'http://127.0.0.1/f', " + std::to_string(priority) + ")");
        auto feed = std::make_unique<feed_record>();
        feed->id = std::stoi(*db.value("SELECT LAST_INSERT_ID()"));
        feed->client_id = client;
        feed->priority = priority;
        feed->url = "http://127.0.0.1/f" + std::to_string(feed->id);
        feed->perm.forward_level = 10;
        feed->perm.reverse_level = 10;
        feed->perm.enum_level = 10;
        feed->local_path = dir.file(std::to_string(feed->id) + ".txt");
        feeds.push_back(std::move(feed));
        return *feeds.back();
    }
    // One import run of every feed with its current file: the header scan, then the write
    // phase. `chunk_bytes` sets the run's largest download (0: the largest file).
    int import(long long chunk_bytes = 0) {
        zone_set zones;
        feed_reporter report;
        report.db = conn.get();
        report.max_level = 7;
        long long largest = 0;
        write_run run;
        for (auto &feed : feeds) {
            // Through `conn`: a test may poll `db` from its own thread meanwhile.
            sql_result res;
            EXPECT_EQ(fr_sql_query(conn.get(), &res, "SELECT count FROM zone_feed WHERE id = %d",
                                   feed->id),
                      0);
            sql_row row = fr_sql_fetchrow(res);
            feed->count = row ? std::stoi(std::string(row.view(0))) : 0;
            feed->hash = "h" + std::to_string(feed->id) + "_" + std::to_string(feed->count);
            scan_env env{report, zones, conn.get(), 5000};
            feed_file file;
            feed->scanned = dump2hash(*feed, feed->local_path, file, env) == 0;
            largest = std::max<long long>(largest, static_cast<long long>(file.text.size()));
            run.feeds.push_back(feed.get());
        }
        run.zones = &zones;
        run.srv = &srv;
        run.bypass_schedule = true;
        run.largest_download = chunk_bytes ? chunk_bytes * settings.concurrency : largest;
        results.clear();
        return dump2sql(conn.get(), settings, run, &results);
    }
    void put(const feed_record &feed, const std::string &text) {
        write_text_file(feed.local_path, text);
    }
    long long count(const std::string &table, const std::string &where = "") {
        return db.count(table, where);
    }
    std::string ids(const std::string &where) {
        std::string out;
        for (auto &row : db.rows("SELECT id FROM zone_dns_records WHERE " + where + " ORDER BY id"))
            out += *row[0] + ",";
        return out;
    }
    long long zone_id(const std::string &name) {
        auto v = db.value("SELECT id FROM zone WHERE name = '" + name + "'");
        return v ? std::stoll(*v) : -1;
    }
    long long events(const std::string &message) {
        return count("logs", "message = '" + message + "'");
    }
    std::string changed_zones() {
        std::string out;
        for (auto &row : db.rows("SELECT zone_name, type FROM changes ORDER BY zone_name"))
            out += *row[0] + ":" + *row[1] + " ";
        return out;
    }
};

TEST_F(zonefeeddWrite, DeltasAgainstTheStoredRows) {
    feed_record &feed = add_feed(1);
    feed.transfer_list = {"192.0.2.0/24"};
    auto file = [&](const std::map<int, std::string> &blocks) {
        std::string text;
        for (int i = 0; i < 12; ++i)
            text += blocks.count(i) ? blocks.at(i) : zone_block(zone_name(i), 5);
        return text;
    };
    put(feed, file({{0, zone_block(zone_name(0), 5, "SERIAL||2024010101||\nREFRESH||3600||\n")}}));
    ASSERT_EQ(import(200), 0);
    EXPECT_TRUE(results[feed.id].recorded);
    EXPECT_GT(results[feed.id].chunks, 3) << "small chunks: several workers";
    EXPECT_EQ(count("zone", "client_id = 1 AND url_id = " + std::to_string(feed.id)), 12);
    EXPECT_EQ(count("zone_dns_records"), 12 * 6);
    EXPECT_EQ(count("zone_opt_values", "type = 'allow_transfer' AND value = '192.0.2.0/24'"), 12);
    EXPECT_EQ(count("zone_soa", "zone_id = " + std::to_string(zone_id(zone_name(0)))), 2);
    EXPECT_EQ(count("changes", "type = 'u'"), 12);
    EXPECT_EQ(events("Zone created OK."), 12);
    EXPECT_EQ(*db.value("SELECT concat(count, '|', hash) FROM zone_feed"), "1|h1_0");

    // The same file again: nothing deleted, inserted or queued.
    exec("DELETE FROM changes");
    const std::string before = ids("1");
    ASSERT_EQ(import(200), 0);
    EXPECT_EQ(ids("1"), before);
    EXPECT_EQ(count("changes"), 0);
    EXPECT_EQ(events("No changes found for zone."), 12);
    EXPECT_EQ(count("zone_soa"), 2);
    EXPECT_EQ(*db.value("SELECT count FROM zone_feed"), "2");

    // One record changed, two removed, SOA values dropped in one zone and given in another.
    const std::string z1 = "zone_id = " + std::to_string(zone_id(zone_name(1)));
    const std::string z3 = "zone_id = " + std::to_string(zone_id(zone_name(3)));
    const std::string others = "zone_id NOT IN (" + std::to_string(zone_id(zone_name(3))) + ", " +
                               std::to_string(zone_id(zone_name(4))) + ")";
    const std::string kept = ids(others);
    std::string z3_changed = zone_block(zone_name(3), 5);
    z3_changed.replace(z3_changed.find("192.0.2.2"), 9, "192.0.2.99");
    put(feed, file({{3, z3_changed},
                    {4, zone_block(zone_name(4), 3)},
                    {5, zone_block(zone_name(5), 5, "SERIAL||7||\n")}}));
    ASSERT_EQ(import(200), 0);
    EXPECT_EQ(changed_zones(), "z3.test.:u z4.test.:u z5.test.:u ");
    EXPECT_EQ(ids(others), kept) << "zones that did not change keep their rows";
    EXPECT_EQ(count("zone_dns_records", z3 + " AND value = '192.0.2.99'"), 1);
    EXPECT_EQ(count("zone_dns_records", z3), 6);
    EXPECT_EQ(count("zone_dns_records", "zone_id = " + std::to_string(zone_id(zone_name(4)))), 4);
    EXPECT_EQ(count("zone_dns_records", z1), 6);
    EXPECT_EQ(count("zone_soa", "zone_id = " + std::to_string(zone_id(zone_name(0)))), 0)
        << "values no longer given are deleted";
    EXPECT_EQ(*db.value("SELECT value FROM zone_soa WHERE param = 'serial'"), "7");
}

TEST_F(zonefeeddWrite, PurgeFollowsOnlyAWrittenFileThatHoldsZones) {
    feed_record &feed = add_feed(1);
    feed.perm.clean_url_zones = 1;
    put(feed, zone_block("a.test.", 1) + zone_block("b.test.", 1) + zone_block("c.test.", 1));
    ASSERT_EQ(import(), 0);
    ASSERT_EQ(count("zone"), 3);
    exec("DELETE FROM changes");

    put(feed, zone_block("a.test.", 1) + zone_block("b.test.", 1));
    ASSERT_EQ(import(), 0);
    EXPECT_EQ(changed_zones(), "c.test.:d ");
    EXPECT_EQ(count("zone"), 2);

    // A file without any zone (a comment-only body) never empties the feed's zones.
    put(feed, "# maintenance: back soon\n");
    ASSERT_EQ(import(), 0);
    EXPECT_EQ(count("zone"), 2);

    // A write that fails: the zones the file dropped stay, the run is not recorded.
    put(feed, zone_block("a.test.", 2));
    const std::string runs = *db.value("SELECT count FROM zone_feed");
    exec("RENAME TABLE zone_soa TO zone_soa_away");
    EXPECT_EQ(import(), -1);
    exec("RENAME TABLE zone_soa_away TO zone_soa");
    EXPECT_FALSE(results[feed.id].recorded);
    EXPECT_EQ(count("zone"), 2);
    EXPECT_EQ(*db.value("SELECT count FROM zone_feed"), runs);
    EXPECT_EQ(count("zone_dns_records", "zone_id = " + std::to_string(zone_id("a.test."))), 2);

    // The next run writes it and purges.
    ASSERT_EQ(import(), 0);
    EXPECT_EQ(count("zone"), 1);
    EXPECT_EQ(count("zone_dns_records", "zone_id = " + std::to_string(zone_id("a.test."))), 3);
}

TEST_F(zonefeeddWrite, ZoneLimitHoldsUnderConcurrentWorkers) {
    feed_record &feed = add_feed(1);
    feed.perm.max_zones = 5;
    std::string text;
    for (int i = 0; i < 20; ++i)
        text += zone_block(zone_name(i), 1);
    put(feed, text);
    settings.concurrency = 4;
    ASSERT_EQ(import(1), 0) << "a refusal is not a failure";
    EXPECT_EQ(results[feed.id].chunks, 20);
    EXPECT_EQ(count("zone"), 5);
    EXPECT_EQ(count("changes"), 5);
    EXPECT_EQ(count("logs", "info_code = 'ES03'"), 15);
}

TEST_F(zonefeeddWrite, SecondaryZonesAndZonesTheFeedMayNotWrite) {
    exec("INSERT INTO zone(name, client_id, url_id, last_zone_feed_id) VALUES('victim.test.', 2, "
         "-1, -1), ('panel.test.', 1, -1, -1)");
    feed_record &feed = add_feed(1);
    put(feed, "sec.test|slave {\nMASTER||192.0.2.53||\n}\n"
              "nomaster.test|slave {\n}\n" +
                  zone_block("victim.test.", 2) + zone_block("a.b.victim.test.", 2) +
                  zone_block("panel.test.", 2) + zone_block("mine.test.", 1));
    ASSERT_EQ(import(), 0);
    EXPECT_EQ(*db.value("SELECT type FROM zone WHERE name = 'sec.test.'"), "slave");
    EXPECT_EQ(count("zone_opt_values", "type = 'master' AND value = '192.0.2.53'"), 1);
    EXPECT_EQ(zone_id("nomaster.test."), -1);
    EXPECT_EQ(events("Slave zones must specify at least one valid MASTER directive"), 1);
    EXPECT_EQ(count("zone_dns_records"), 2) << "only mine.test. got records";
    EXPECT_EQ(zone_id("a.b.victim.test."), -1);
    EXPECT_EQ(count("logs", "info_code = 'ES02' AND info = 'Modify other''s zone'"), 2);
    EXPECT_EQ(events("Zone can not be updated from zonefeed; it is owned by the interface"), 1);
    EXPECT_EQ(changed_zones(), "mine.test.:u sec.test.:u ");

    // Made secondary without the right to add and remove zones: refused, left as it was.
    feed.perm.forward_level = 20;
    put(feed, "mine.test|slave {\nMASTER||192.0.2.53||\n}\n");
    ASSERT_EQ(import(), 0);
    EXPECT_EQ(*db.value("SELECT type FROM zone WHERE name = 'mine.test.'"), "master");
    EXPECT_EQ(count("logs", "info_code = 'ES02' AND info = 'Add/Remove forward zone'"), 1);
}

TEST_F(zonefeeddWrite, AHungKilledOrDisconnectedWorkerFailsOnlyItsFeedUntilTheNextRun) {
    feed_record &held = add_feed(1);
    feed_record &other = add_feed(2);
    put(held, zone_block("held.test.", 1, "SERIAL||5||\n"));
    settings.concurrency = 1; // the worker that waits is the only one
    enum fault { HANGS, KILLED, DISCONNECTED };
    for (fault f : {HANGS, KILLED, DISCONNECTED}) {
        // The worker writing held.test. waits for the SOA table; a new zone without SOA
        // values never reads it.
        const std::string other_zone = "other" + std::to_string(f) + ".test.";
        put(other, zone_block(other_zone, 1));
        settings.stall_limit = std::chrono::seconds(f == HANGS ? 2 : 60);
        auto locker = db.connect();
        ASSERT_EQ(fr_sql_query(locker.get(), nullptr, "LOCK TABLES zone_soa WRITE"), 0);
        auto run = std::async(std::launch::async, [&] { return import(); });
        const std::string waiting = "db = '" + db.name + "' AND info LIKE 'INSERT INTO zone_soa%'";
        if (f != HANGS) {
            ASSERT_TRUE(wait_until(
                [&] { return count("information_schema.processlist", waiting) > 0; }, 30));
        }
        if (f == KILLED) {
            const std::vector<pid_t> workers = worker_pids();
            ASSERT_EQ(workers.size(), 1u);
            kill(workers[0], SIGKILL);
        } else if (f == DISCONNECTED) {
            exec("KILL " +
                 *db.value("SELECT id FROM information_schema.processlist WHERE " + waiting));
        }
        EXPECT_EQ(run.get(), -1);
        ASSERT_EQ(fr_sql_query(locker.get(), nullptr, "UNLOCK TABLES"), 0);
        EXPECT_FALSE(results[held.id].recorded);
        // The server ends the statement of a worker that is gone once the table is free.
        ASSERT_TRUE(
            wait_until([&] { return count("information_schema.processlist", waiting) == 0; }, 30));
        EXPECT_EQ(zone_id("held.test."), -1) << "the zone's transaction was rolled back";
        EXPECT_EQ(*db.value("SELECT count FROM zone_feed WHERE id = " + std::to_string(held.id)),
                  "0");
        EXPECT_TRUE(results[other.id].recorded) << f;
        EXPECT_GE(zone_id(other_zone), 1);
        EXPECT_TRUE(worker_pids().empty());
    }
    ASSERT_EQ(import(), 0);
    EXPECT_TRUE(results[held.id].recorded);
    EXPECT_EQ(count("zone_soa", "zone_id = " + std::to_string(zone_id("held.test."))), 1);
}

TEST_F(zonefeeddWrite, WorkersWithoutADatabaseWriteNothingAndRecordNothing) {
    feed_record &feed = add_feed(1);
    feed.perm.clean_url_zones = 1;
    put(feed, zone_block("a.test.", 1));
    ASSERT_EQ(import(), 0);
    std::string text;
    for (int i = 0; i < 20; ++i)
        text += zone_block(zone_name(i), 1);
    put(feed, text);
    settings.db.password = "wrong";
    EXPECT_EQ(import(1), -1);
    EXPECT_FALSE(results[feed.id].recorded);
    EXPECT_EQ(zone_id("a.test."), 1) << "no purge after a failed write";
    EXPECT_EQ(count("zone"), 1);
    EXPECT_EQ(*db.value("SELECT count FROM zone_feed"), "1");
    EXPECT_TRUE(worker_pids().empty());
}

TEST_F(zonefeeddWrite, AScanStoppedByAFailedQueryFailsTheJob) {
    zonefeedd_state st;
    st.db = db.connect();
    st.settings.base.db = settings.db;
    st.event_level = 7;
    st.job = std::make_unique<feed_job>();
    for (bool scan_failed : {false, true}) {
        exec("INSERT INTO zone_feed(client_id, url) VALUES(1, 'u')");
        auto feed = std::make_unique<feed_record>();
        feed->id = std::stoi(*db.value("SELECT LAST_INSERT_ID()"));
        feed->client_id = 1;
        feed->local_path = dir.file(std::to_string(feed->id));
        put(*feed, "# no zone\n");
        feed->scanned = !scan_failed;
        feed->scan_failed = scan_failed;
        st.job->selection.feeds.push_back(std::move(feed));
    }
    EXPECT_EQ(write_feeds(st), -1);
    EXPECT_EQ(count("zone_feed", "count = 1"), 1) << "the scanned feed is recorded";
    st.job->selection.feeds.pop_back();
    EXPECT_EQ(write_feeds(st), 0);
}

TEST_F(zonefeeddWrite, AWorkerSumsUpTheRecordFailuresBeyondTheCapBeforeItEnds) {
    feed_record &feed = add_feed(1);
    std::string bad;
    for (int i = 0; i < 150; ++i)
        bad += "A||www||10.0.0." + std::to_string(300 + i) + "\n";
    put(feed, zone_block("a.test.", 1, bad));
    settings.concurrency = 1;
    ASSERT_EQ(import(), 0);
    EXPECT_EQ(count("logs", "info_code = 'EPU04' AND message = 'Invalid A value'"),
              RECORD_FAILURE_CAP);
    EXPECT_EQ(db.value("SELECT info FROM logs WHERE message = '" +
                       std::string(FAILURE_SUMMARY_MESSAGE) + "'"),
              std::to_string(150 - RECORD_FAILURE_CAP));
    EXPECT_EQ(count("zone_dns_records"), 2);
}

} // namespace
