// The feed daemon's settings, selection and run-record statements against a private
// MariaDB: the three selection modes, credentials, the client's permissions over the
// globals, the queued custom imports and the record of a run.
#include "feed_db.h"
#include "mariadb_fixture.h"

#include <gtest/gtest.h>

namespace {

class zonefeeddDb : public testing::Test {
  protected:
    test_database db = make_test_database();
    sql_handle conn = db.connect();
    feed_globals globals;

    void SetUp() override { ASSERT_TRUE(conn); }

    void exec(const std::string &sql) { ASSERT_EQ(db.exec(sql), 0) << db.last_error() << sql; }
    int client(int status = 1) {
        exec("INSERT INTO client(login, name, status) VALUES('c', 'C', " + std::to_string(status) +
             ")");
        return std::stoi(*db.value("SELECT LAST_INSERT_ID()"));
    }
    int feed(int client_id, const std::string &extra_cols = "",
             const std::string &extra_vals = "") {
        exec("INSERT INTO zone_feed(client_id, url" + extra_cols + ") VALUES(" +
             std::to_string(client_id) + ", 'http://h/" + std::to_string(client_id) + "'" +
             extra_vals + ")");
        return std::stoi(*db.value("SELECT LAST_INSERT_ID()"));
    }
    std::vector<int> selected(selection_mode mode, feed_selection *keep = nullptr) {
        feed_selection sel;
        EXPECT_EQ(get_url_list(conn.get(), mode, globals, sel), 0);
        std::vector<int> ids;
        for (auto &f : sel.feeds)
            ids.push_back(f->id);
        if (keep)
            *keep = std::move(sel);
        return ids;
    }
};

TEST_F(zonefeeddDb, ScheduledRunTakesNewAndDueFeedsOfActiveClients) {
    const int c = client(), off = client(0);
    const int fresh = feed(c); // count 0: due at once
    const int due = feed(c, ", count, last_update, period", ", 3, UNIX_TIMESTAMP() - 3600, 60");
    const int idle = feed(c, ", count, last_update, period", ", 3, UNIX_TIMESTAMP() - 60, 60");
    feed(c, ", status", ", 0");      // disabled
    feed(off);                       // inactive client
    feed(c, ", username", ", NULL"); // NULL credentials
    feed_selection sel;
    EXPECT_EQ(selected(selection_mode::scheduled, &sel), (std::vector<int>{fresh, due}));
    ASSERT_EQ(sel.idle.size(), 1u);
    EXPECT_EQ(sel.idle[0].id, idle);
    EXPECT_EQ(sel.idle[0].client_id, c);
}

TEST_F(zonefeeddDb, AllRunIgnoresTheScheduleButNotTheStatus) {
    const int c = client();
    const int a = feed(c, ", count, last_update, period", ", 3, UNIX_TIMESTAMP(), 60");
    const int b = feed(c, ", password", ", ''"); // empty credentials are fine
    feed(c, ", password", ", NULL");
    feed(c, ", status", ", 0");
    feed_selection sel;
    EXPECT_EQ(selected(selection_mode::all, &sel), (std::vector<int>{a, b}));
    EXPECT_TRUE(sel.idle.empty());
}

TEST_F(zonefeeddDb, CustomRunTakesTheQueuedClientsAndOnlyTheirRows) {
    const int c1 = client(), c2 = client(), c3 = client();
    const int f1 = feed(c1), f3 = feed(c3);
    feed(c2);
    exec(
        "INSERT INTO custom_job_queue(service, action, value) VALUES('ZONEFEED', 'forceclient', '" +
        std::to_string(c1) + "'), ('ZONEFEED', 'forceclient', '" + std::to_string(c3) +
        "'), ('ZONEFEED', 'forceclient', '1'') OR 1=1 -- '), ('ZONEBUILD', 'writeacl', NULL)");
    EXPECT_EQ(selected(selection_mode::custom), (std::vector<int>{f1, f3}));
    EXPECT_EQ(db.count("custom_job_queue", "service = 'ZONEFEED'"), 0);
    EXPECT_EQ(db.count("custom_job_queue", "service = 'ZONEBUILD'"), 1);
    // Nothing queued: the selection fails and selects nothing.
    feed_selection sel;
    EXPECT_EQ(get_url_list(conn.get(), selection_mode::custom, globals, sel), -1);
    EXPECT_TRUE(sel.feeds.empty());
}

TEST_F(zonefeeddDb, FeedCarriesItsAddressesHashAndClientPreferences) {
    const int c = client();
    const int f = feed(c, ", hash, username, password, priority", ", REPEAT('a', 32), 'u', 'p', 4");
    exec("INSERT INTO url_ip(url_id, value, type) VALUES(" + std::to_string(f) +
         ", '192.0.2.0/24', 'allow_transfer'), (" + std::to_string(f) +
         ", 'not-an-ip', 'allow_transfer'), (" + std::to_string(f) +
         ", '2001:db8::1', 'master'), (" + std::to_string(f) + ", '192.0.2.0/24', 'master')");
    const std::string cid = std::to_string(c);
    exec("INSERT INTO client_prefs(client_id, param, value) VALUES(" + cid +
         ", 'max_domains', '12'), (" + cid + ", 'forward_zone_management', '10'), (" + cid +
         ", 'remote_warn_threshold', '3'), (" + cid + ", 'clean_url_zones', '1'), (" + cid +
         ", 'ignore_other_urls', '1'), (" + cid + ", 'REFRESH', '99')");
    exec("INSERT INTO misc(param, value) VALUES('ignore_other_urls', '0'), ('retry', '77'), "
         "('log_level', '6')");
    ASSERT_EQ(get_settings(conn.get(), globals), 0);
    EXPECT_EQ(globals.ignore_other_urls, 0);
    EXPECT_EQ(globals.clean_url_zones, setting_per_client);
    EXPECT_EQ(globals.event_level, 6);
    feed_selection sel;
    ASSERT_EQ(selected(selection_mode::scheduled, &sel), std::vector<int>{f});
    const feed_record &r = *sel.feeds[0];
    EXPECT_EQ(r.hash, std::string(32, 'a'));
    EXPECT_EQ(r.username, "u");
    EXPECT_EQ(r.priority, 4);
    EXPECT_EQ(r.transfer_list, std::vector<std::string>{"192.0.2.0/24"});
    EXPECT_EQ(r.master_list, std::vector<std::string>{"2001:db8::1"});
    EXPECT_EQ(r.perm.max_zones, 12);
    EXPECT_EQ(r.perm.forward_level, 10);
    EXPECT_EQ(r.perm.reverse_level, 40);
    EXPECT_EQ(r.perm.warn_threshold, 3);
    EXPECT_EQ(r.perm.ignore_other_urls, 0); // the global setting decides
    EXPECT_EQ(r.perm.clean_url_zones, 1);   // the client's preference decides
    EXPECT_EQ(r.perm.soa[SOA_REFRESH], 99);
    EXPECT_EQ(r.perm.soa[SOA_RETRY], 77);
    EXPECT_EQ(r.perm.soa[SOA_EXPIRE], 604800);
}

TEST_F(zonefeeddDb, RunRecordAndHashReset) {
    const int c = client();
    const int f = feed(c, ", count", ", 4");
    feed_record rec;
    rec.id = f;
    rec.count = 4;
    rec.hash = "0123456789abcdef0123456789abcdef";
    ASSERT_EQ(zone_feed_count(conn.get(), &rec), 0);
    auto row = db.rows("SELECT count, hash, UNIX_TIMESTAMP() - last_update < 5 FROM zone_feed "
                       "WHERE id = " +
                       std::to_string(f));
    EXPECT_EQ(row[0][0], "5");
    EXPECT_EQ(row[0][1], rec.hash);
    EXPECT_EQ(row[0][2], "1");
    EXPECT_EQ(get_url_name(conn.get(), f), "http://h/" + std::to_string(c));
    EXPECT_EQ(get_url_name(conn.get(), f + 100), "-1");
    ASSERT_EQ(clear_zone_feed_hash(conn.get()), 0);
    EXPECT_EQ(db.count("zone_feed", "hash IS NOT NULL"), 0);
    rec.hash.clear();
    ASSERT_EQ(zone_feed_count(conn.get(), &rec), 0);
    EXPECT_EQ(db.count("zone_feed", "hash IS NULL AND count = 5"), 1);
    EXPECT_EQ(zone_feed_count(conn.get(), nullptr), -1);
}

TEST_F(zonefeeddDb, SrvNamesAreReadByKind) {
    exec("INSERT INTO srv_service_protocol_type(name, type, record_type) VALUES('sip', "
         "'service', 'SRV'), ('tcp', 'protocol', 'SRV'), ('E2U+sip', 'service', 'NAPTR')");
    srv_names names;
    ASSERT_EQ(get_sql_srv(conn.get(), names), 0);
    EXPECT_EQ(names.services.size(), 1u);
    EXPECT_TRUE(names.services.count("sip"));
    EXPECT_TRUE(names.protocols.count("tcp"));
}

} // namespace
