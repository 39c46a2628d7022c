// Whether a feed may write a zone, against a private MariaDB: the right to create by kind,
// the zone limit (also for two workers at once), another client's zone, the lock to an
// update source, a change of zone type, and idle feeds of the same client only.
#include "feed_zone_db.h"
#include "feed_zone_rights.h"
#include "mariadb_fixture.h"

#include <gtest/gtest.h>

#include <future>

namespace {

class zonefeeddZoneRights : public testing::Test {
  protected:
    test_database db = make_test_database();
    sql_handle conn = db.connect();
    feed_record feed;

    void SetUp() override {
        ASSERT_TRUE(conn);
        exec("INSERT INTO client(id, login, status) VALUES(1, 'a', 1), (2, 'b', 1)");
        feed.id = 7;
        feed.client_id = 1;
        feed.url = "http://h/7";
        feed.perm.forward_level = 10;
    }
    void exec(const std::string &sql) { ASSERT_EQ(db.exec(sql), 0) << db.last_error() << sql; }
    zone_header header(const std::string &name, int type = 1) {
        zone_header z;
        z.name = name;
        z.type = type;
        return z;
    }
    long long events(const std::string &code, const std::string &info) {
        return db.count("logs", "info_code = '" + code + "' AND info = '" + info + "'");
    }
};

TEST_F(zonefeeddZoneRights, NewZoneNeedsTheRightForItsKind) {
    feed.perm.forward_level = 20;
    zone_header z = header("new.test.");
    EXPECT_EQ(create_zone(conn.get(), feed, z, 7), -1);
    EXPECT_EQ(events("ES02", "Add/Remove forward zone"), 1);
    EXPECT_EQ(db.count("zone"), 0);
    feed.perm.forward_level = 10;
    ASSERT_EQ(create_zone(conn.get(), feed, z, 7), 0);
    auto row = db.rows("SELECT client_id, url_id, last_zone_feed_id FROM zone");
    ASSERT_EQ(row.size(), 1u);
    EXPECT_EQ(row[0][0], "1");
    EXPECT_EQ(row[0][1], "7");
    EXPECT_EQ(row[0][2], "7");
}

TEST_F(zonefeeddZoneRights, ZoneLimitHoldsAlsoForTwoWorkersAtOnce) {
    feed.perm.max_zones = 1;
    auto other = db.connect();
    ASSERT_EQ(zone_write_session(conn.get()), 0);
    ASSERT_EQ(zone_write_session(other.get()), 0);
    ASSERT_EQ(zone_write_begin(conn.get()), 0);
    zone_header a = header("a.test.");
    ASSERT_EQ(create_zone(conn.get(), feed, a, 7), 0);
    // The second worker's count waits for the first zone's transaction.
    auto second = std::async(std::launch::async, [&] {
        mysql_thread_init();
        zone_header b = header("b.test.");
        int rc = zone_write_begin(other.get());
        if (rc == 0)
            rc = create_zone(other.get(), feed, b, 7);
        // A refusal wrote only its event, which the commit keeps.
        if (zone_write_commit(other.get()) != 0)
            rc = -2;
        mysql_thread_end();
        return rc;
    });
    EXPECT_EQ(second.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    ASSERT_EQ(zone_write_commit(conn.get()), 0);
    EXPECT_EQ(second.get(), -1);
    EXPECT_EQ(db.count("zone"), 1);
    EXPECT_EQ(events("ES03", "1"), 1);
}

TEST_F(zonefeeddZoneRights, AnotherClientsZoneIsNeverWritten) {
    exec("INSERT INTO zone(name, client_id, url_id, last_zone_feed_id) VALUES('theirs.test.', 2, "
         "3, 3)");
    zone_header z = header("theirs.test.");
    EXPECT_EQ(create_zone(conn.get(), feed, z, 7), -1);
    EXPECT_EQ(events("ES02", "Modify other\\'s zone"), 1);
    EXPECT_EQ(*db.value("SELECT client_id FROM zone"), "2");
}

TEST_F(zonefeeddZoneRights, LockToAnUpdateSourceAndTypeChanges) {
    exec("INSERT INTO zone_feed(id, client_id, url) VALUES(3, 1, 'http://h/3')");
    exec("INSERT INTO zone(name, client_id, url_id, last_zone_feed_id, type) VALUES('mine.test.', "
         "1, 3, 3, 'master')");
    zone_header z = header("mine.test.");
    EXPECT_EQ(create_zone(conn.get(), feed, z, 7), 0) << "another feed of the client";
    feed.perm.ignore_other_urls = 1;
    EXPECT_EQ(create_zone(conn.get(), feed, z, 7), -1);
    EXPECT_EQ(events("EPU07", "http://h/3"), 1);
    feed.perm.ignore_other_urls = 0;
    zone_header slave = header("mine.test.", 2);
    feed.perm.forward_level = 20;
    EXPECT_EQ(create_zone(conn.get(), feed, slave, 7), -1);
    feed.perm.forward_level = 10;
    EXPECT_EQ(create_zone(conn.get(), feed, slave, 7), 0);
}

TEST_F(zonefeeddZoneRights, PurgeRemovesOnlyWhatNoFeedOfTheClientHolds) {
    exec("INSERT INTO zone(id, name, client_id, url_id) VALUES(1, 'kept.test.', 1, 7), (2, "
         "'claimed-by-other-client.test.', 1, 7), (3, 'gone.test.', 1, 7), (4, "
         "'moved.test.', 1, 7), (5, '2.0.192.IN-ADDR.ARPA.', 1, 7), (6, 'elsewhere.test.', 1, "
         "3)");
    zone_set zones;
    zone_set_put(zones, "kept.test.", {7, 1});
    zone_set_put(zones, "claimed-by-other-client.test.", {8, 0}); // client 2's feed
    zone_set_put(zones, "moved.test.", {9, 0});                   // client 1's other feed
    const std::unordered_map<int, int> clients = {{7, 1}, {8, 2}, {9, 1}};
    feed.perm.reverse_level = 20; // may not remove reverse zones
    ASSERT_EQ(purge_sql_zones(conn.get(), feed, zones, clients), 0);
    EXPECT_EQ(db.value("SELECT GROUP_CONCAT(id ORDER BY id) FROM zone"), "1,2,5,6");
    EXPECT_EQ(db.value("SELECT GROUP_CONCAT(zone_name ORDER BY zone_name) FROM changes WHERE "
                       "type = 'd'"),
              "gone.test.,moved.test.");
    // Without the right for forward zones nothing goes.
    exec("INSERT INTO zone(id, name, client_id, url_id) VALUES(7, 'gone2.test.', 1, 7)");
    feed.perm.forward_level = 20;
    ASSERT_EQ(purge_sql_zones(conn.get(), feed, zones, clients), 0);
    EXPECT_EQ(db.count("zone", "id = 7"), 1);
}

TEST(zonefeeddIdleFeeds, OnlyAnIdleFeedOfTheSameClientWithABetterPriorityCounts) {
    const std::vector<idle_feed> idle = {{3, 1, 5}, {4, 2, 1}};
    EXPECT_EQ(higherprio_url_owner(idle, 1, 3, 5), 1);
    EXPECT_EQ(higherprio_url_owner(idle, 1, 3, 4), 0);
    EXPECT_EQ(higherprio_url_owner(idle, 1, 4, 9), 0) << "feed 4 is another client's";
}

} // namespace
