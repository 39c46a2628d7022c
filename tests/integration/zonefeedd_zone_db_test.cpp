// The zone statements of the feed daemon's write phase against a private MariaDB: stored
// zone data, creation and removal, record and option inserts in batches, deltas against the
// snapshots, SOA values and the zone row, `changes` rows, and one transaction per zone.
#include "dns_common.h"
#include "feed_zone_db.h"
#include "mariadb_fixture.h"

#include <gtest/gtest.h>

namespace {

class zonefeeddZoneDb : public testing::Test {
  protected:
    test_database db = make_test_database();
    sql_handle conn = db.connect();
    feed_record feed;
    zone_header zone;

    void SetUp() override {
        ASSERT_TRUE(conn);
        feed.id = 4;
        feed.client_id = 9;
        feed.url = "http://feeds.example.test/z";
        zone.name = "example.test.";
        zone.type = 1;
        zone.separator = '/';
    }
    void exec(const std::string &sql) { ASSERT_EQ(db.exec(sql), 0) << db.last_error() << sql; }
    // INSERT statements sent on the connection under test (other tests share the server).
    long long inserts() {
        sql_result res;
        EXPECT_EQ(fr_sql_query(conn.get(), &res, "SHOW SESSION STATUS LIKE 'Com_insert'"), 0);
        sql_row row = fr_sql_fetchrow(res);
        return row ? std::stoll(std::string(row.view(1))) : -1;
    }
    record_table records(int n, unsigned mx_priority = 10) {
        record_table t;
        for (int i = 0; i < n; ++i) {
            hashed_rr rr;
            rr.type = RR_A;
            rr.host = "h" + std::to_string(i);
            rr.value = "192.0.2." + std::to_string(i % 250 + 1);
            EXPECT_EQ(add_hashed_rr(t, std::move(rr)), 0);
        }
        hashed_rr mx;
        mx.type = RR_MX;
        mx.host = "example.test.";
        mx.value = "mail.example.test.";
        mx.priority = mx_priority;
        EXPECT_EQ(add_hashed_rr(t, std::move(mx)), 0);
        return t;
    }
    std::string delta(record_table &t) {
        sql_result snap;
        EXPECT_EQ(get_sql_rr_snapshot(conn.get(), zone.zone_id, snap), 0);
        return delta_rr_hash(&snap, &t).value_or("?");
    }
};

TEST_F(zonefeeddZoneDb, CreatedZoneIsFoundAndDeletedByIdOrWithinItsClient) {
    ASSERT_EQ(get_zone_data(conn.get(), zone), 0);
    EXPECT_TRUE(zone.is_new);
    EXPECT_EQ(zone.zone_id, -1);
    ASSERT_EQ(create_sql_zone(conn.get(), zone, feed), 0);
    EXPECT_GT(zone.zone_id, 0);
    zone_header again;
    again.name = "example.test.";
    ASSERT_EQ(get_zone_data(conn.get(), again), 0);
    EXPECT_FALSE(again.is_new);
    EXPECT_EQ(again.zone_id, zone.zone_id);
    EXPECT_EQ(again.client_id, 9);
    EXPECT_EQ(again.url_id, 4);
    EXPECT_EQ(again.last_feed_id, 4);
    EXPECT_EQ(again.stored_type, 1);
    // By name only within the client; never by name alone.
    EXPECT_EQ(delete_sql_zone(conn.get(), -1, "example.test.", 0), -1);
    ASSERT_EQ(delete_sql_zone(conn.get(), -1, "example.test.", 8), 0);
    EXPECT_EQ(db.count("zone"), 1);
    ASSERT_EQ(delete_sql_zone(conn.get(), -1, "example.test.", 9), 0);
    EXPECT_EQ(db.count("zone"), 0);
}

TEST_F(zonefeeddZoneDb, RecordsGoInBatchesOf51AndAnUnchangedImportChangesNothing) {
    ASSERT_EQ(create_sql_zone(conn.get(), zone, feed), 0);
    record_table t = records(119); // 120 with the MX
    const long long before = inserts();
    ASSERT_EQ(insert_imported_recs(conn.get(), zone, t), 120);
    EXPECT_EQ(inserts() - before, 3); // 51 + 51 + 18
    EXPECT_EQ(db.count("zone_dns_records", "zone_id = " + std::to_string(zone.zone_id)), 120);

    record_table same = records(119);
    EXPECT_EQ(delta(same), "");
    EXPECT_TRUE(same.empty()) << "nothing to insert for an unchanged zone";

    record_table changed = records(119, 20); // only the MX priority differs
    const std::string stale = delta(changed);
    EXPECT_EQ(stale, *db.value("SELECT id FROM zone_dns_records WHERE entry_type = 'MX'"));
    ASSERT_EQ(changed.size(), 1u);
    ASSERT_EQ(purge_sql_old_recs(conn.get(), stale), 0);
    ASSERT_EQ(insert_imported_recs(conn.get(), zone, changed), 1);
    EXPECT_EQ(*db.value("SELECT priority FROM zone_dns_records WHERE entry_type = 'MX'"), "20");
    EXPECT_EQ(db.count("zone_dns_records"), 120);
    EXPECT_EQ(purge_sql_old_recs(conn.get(), "1) OR (1=1"), -1);
    EXPECT_EQ(purge_sql_old_recs(conn.get(), ""), 0);
}

TEST_F(zonefeeddZoneDb, OptionsAreInsertedAndComparedByTypeAndValue) {
    ASSERT_EQ(create_sql_zone(conn.get(), zone, feed), 0);
    option_table opts = {"A192.0.2.0/24", "M192.0.2.53", "Xbad"};
    ASSERT_EQ(insert_imported_opts(conn.get(), zone, opts), 2);
    auto rows = db.rows("SELECT type, value FROM zone_opt_values ORDER BY type");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][0], "allow_transfer");
    EXPECT_EQ(rows[0][1], "192.0.2.0/24");
    EXPECT_EQ(rows[1][0], "master");
    option_table next = {"A192.0.2.0/24"};
    sql_result snap;
    ASSERT_EQ(get_sql_opt_snapshot(conn.get(), zone.zone_id, snap), 0);
    const std::string stale = delta_opts_hash(&snap, &next).value_or("?");
    EXPECT_EQ(stale, *db.value("SELECT id FROM zone_opt_values WHERE type = 'master'"));
    EXPECT_TRUE(next.empty());
    ASSERT_EQ(purge_sql_old_opt(conn.get(), stale), 0);
    EXPECT_EQ(db.count("zone_opt_values"), 1);
}

TEST_F(zonefeeddZoneDb, SoaValuesAndZoneRowFollowTheBlock) {
    ASSERT_EQ(create_sql_zone(conn.get(), zone, feed), 0);
    const std::string id = std::to_string(zone.zone_id);
    exec("INSERT INTO zone_soa(zone_id, param, value) VALUES(" + id + ", 'retry', '600'), (" + id +
         ", 'refresh', '3600')");
    zone.refresh = 3600; // unchanged
    zone.expire = 900;   // new
    bool changed = false;
    ASSERT_EQ(update_tables(conn.get(), zone, feed, 7, changed), 0);
    EXPECT_FALSE(changed) << "timers alone do not change the served zone";
    auto soa = db.rows("SELECT param, value FROM zone_soa ORDER BY param");
    ASSERT_EQ(soa.size(), 2u); // retry was not given: deleted
    EXPECT_EQ(soa[0][0], "expire");
    EXPECT_EQ(soa[1][0], "refresh");
    zone.serial = 2024010101;
    ASSERT_EQ(update_tables(conn.get(), zone, feed, 7, changed), 0);
    EXPECT_TRUE(changed);
    EXPECT_EQ(*db.value("SELECT value FROM zone_soa WHERE param = 'serial'"), "2024010101");

    // Another feed of the client takes the zone over: the row moves, with its event.
    feed_record other = feed;
    other.id = 5;
    zone.type = 2;
    changed = false;
    ASSERT_EQ(update_tables(conn.get(), zone, other, 7, changed), 0);
    EXPECT_TRUE(changed);
    auto row = db.rows("SELECT type, url_id, last_zone_feed_id FROM zone WHERE id = " + id);
    EXPECT_EQ(row[0][0], "slave");
    EXPECT_EQ(row[0][1], "5");
    EXPECT_EQ(row[0][2], "5");
    EXPECT_EQ(db.count("logs", "info_code = 'ES01' AND info = '4' AND zone_feed_id = 5 AND "
                               "zone_id = " +
                                   id),
              1);
}

TEST_F(zonefeeddZoneDb, OneZoneIsOneTransaction) {
    ASSERT_EQ(create_sql_zone(conn.get(), zone, feed), 0);
    record_table t = records(3);
    ASSERT_EQ(zone_write_begin(conn.get()), 0);
    ASSERT_EQ(insert_imported_recs(conn.get(), zone, t), 4);
    ASSERT_EQ(update_changes(conn.get(), zone.name, 1), 0);
    zone_write_rollback(conn.get());
    EXPECT_EQ(db.count("zone_dns_records"), 0);
    EXPECT_EQ(db.count("changes"), 0);
    ASSERT_EQ(zone_write_begin(conn.get()), 0);
    ASSERT_EQ(insert_imported_recs(conn.get(), zone, t), 4);
    ASSERT_EQ(update_changes(conn.get(), zone.name, 1), 0);
    ASSERT_EQ(update_changes(conn.get(), zone.name, 2), 0);
    EXPECT_EQ(update_changes(conn.get(), zone.name, 3), -1);
    ASSERT_EQ(zone_write_commit(conn.get()), 0);
    EXPECT_EQ(db.count("zone_dns_records"), 4);
    EXPECT_EQ(db.count("changes", "zone_name = 'example.test.' AND type = 'u'"), 1);
    EXPECT_EQ(db.count("changes", "zone_name = 'example.test.' AND type = 'd'"), 1);
}

} // namespace
