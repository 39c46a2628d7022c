// The zone builder's change feed and its other database operations, against a private
// MariaDB with the panel schema: which zones a job writes or removes, which change rows it
// may consume, the event-log level, the custom queue, the bookkeeping columns and the ENUM
// services set.
#include "panel_db.h"

#include "dns_common.h"
#include "logging.h"
#include "mariadb_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

namespace {

// One database for the whole suite (creating one costs seconds); every test starts from
// empty tables.
std::optional<test_database> shared_db;

class ChangeFeed : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { shared_db.emplace(make_test_database()); }
    static void TearDownTestSuite() { shared_db.reset(); }

    void SetUp() override {
        logging_init("zonebuildd", "stdlog", nullptr);
        set_log_level(LOG_WARNING);
        _init_global_str();
        for (const char *table : {"zone", "zone_dns_records", "zone_opt_values", "changes", "logs",
                                  "misc", "custom_job_queue", "srv_service_protocol_type"})
            exec(std::string("TRUNCATE TABLE ") + table);
        conn = db.connect();
        ASSERT_TRUE(conn) << db.last_error();
    }

    void exec(const std::string &sql) { ASSERT_EQ(0, db.exec(sql)) << db.last_error() << sql; }

    // A zone; primary zones get an origin NS record unless told not to, secondary zones a
    // primary address unless told not to. Gives the zone id.
    uint32_t zone(const std::string &name, const std::string &type = "master", int status = 1,
                  bool servable = true, unsigned client = 7) {
        std::string quoted = name; // as an SQL string literal's content
        for (size_t pos = quoted.find('\''); pos != std::string::npos;
             pos = quoted.find('\'', pos + 2))
            quoted.insert(pos, 1, '\'');
        exec("INSERT INTO zone(name, type, status, client_id) VALUES('" + quoted + "', '" + type +
             "', " + std::to_string(status) + ", " + std::to_string(client) + ")");
        const uint32_t id =
            std::stoul(*db.value("SELECT id FROM zone WHERE name = '" + quoted + "'"));
        if (servable && type == "master")
            exec("INSERT INTO zone_dns_records(zone_id, entry_type, host, value, priority) "
                 "VALUES(" +
                 std::to_string(id) + ", 'NS', '" + quoted + "', 'ns1.example.net.', 1)");
        if (servable && type == "slave")
            exec("INSERT INTO zone_opt_values(zone_id, type, value) VALUES(" + std::to_string(id) +
                 ", 'master', '192.0.2.53')");
        return id;
    }

    // A change row; gives its id.
    uint32_t change(const std::string &name, const std::string &type, long long timestamp) {
        exec("INSERT INTO changes(zone_name, type, timestamp) VALUES('" + name + "', '" + type +
             "', " + std::to_string(timestamp) + ")");
        return std::stoul(*db.value("SELECT MAX(id) FROM changes"));
    }

    static std::vector<uint32_t> sorted(std::vector<uint32_t> v) {
        std::sort(v.begin(), v.end());
        return v;
    }

    // Every row id the job would consume once its include file is installed.
    static std::vector<uint32_t> served(const change_feed &feed) {
        std::vector<uint32_t> ids = feed.garbage_ids;
        for (const auto &[name, entry] : feed.changes)
            ids.insert(ids.end(), entry.change_ids.begin(), entry.change_ids.end());
        return ids;
    }

    test_database &db = *shared_db;
    sql_handle conn;
};

TEST_F(ChangeFeed, NewestRowOfAZoneDecidesAndAllItsRowsAreServed) {
    const uint32_t id = zone("a.example.");
    const uint32_t d = change("a.example.", "d", 50);
    const uint32_t u1 = change("a.example.", "u", 100);
    const uint32_t u3 = change("a.example.", "u", 300);
    const uint32_t u2 = change("a.example.", "u", 200);
    change_feed feed;
    ASSERT_EQ(0, get_sql_changes(conn.get(), feed, 7));
    ASSERT_EQ(1u, feed.changes.size());
    const zone_change &entry = feed.changes.at("a.example.");
    EXPECT_EQ(static_cast<int32_t>(id), entry.id);
    EXPECT_EQ(ZONE_MASTER, entry.type);
    EXPECT_EQ(sorted({d, u1, u2, u3}), sorted(entry.change_ids));
    EXPECT_GT(feed.feed_time, 1600000000u);
}

TEST_F(ChangeFeed, DeletionNewerThanTheUpdateRemovesTheZone) {
    zone("a.example.");
    change("a.example.", "u", 100);
    change("a.example.", "d", 200);
    change_feed feed;
    ASSERT_EQ(0, get_sql_changes(conn.get(), feed, 7));
    EXPECT_EQ(-1, feed.changes.at("a.example.").id);
}

TEST_F(ChangeFeed, RowsOfOneSecondAreOrderedByTheirInsertion) {
    zone("a.example.");
    change("a.example.", "d", 100);
    change("a.example.", "u", 100);
    change_feed feed;
    ASSERT_EQ(0, get_sql_changes(conn.get(), feed, 7));
    EXPECT_GT(feed.changes.at("a.example.").id, 0);
}

struct servable_case {
    const char *what;
    std::string type;
    int status;
    bool servable;
    bool removed;
    long long es04_rows;
};

class ChangeFeedServable : public ChangeFeed,
                           public ::testing::WithParamInterface<servable_case> {};

TEST_P(ChangeFeedServable, ZonesThatCannotBeServedBecomeRemovals) {
    const servable_case &c = GetParam();
    zone("z.example.", c.type, c.status, c.servable, 42);
    change("z.example.", "u", 100);
    change_feed feed;
    ASSERT_EQ(0, get_sql_changes(conn.get(), feed, 3)) << c.what;
    ASSERT_EQ(1u, feed.changes.count("z.example.")) << c.what;
    EXPECT_EQ(c.removed, feed.changes.at("z.example.").id == -1) << c.what;
    EXPECT_EQ(c.es04_rows, db.count("logs", "info_code = 'ES04' AND client_id = 42 AND "
                                            "zone_name = 'z.example.'"))
        << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ChangeFeedServable,
    ::testing::Values(servable_case{"primary with origin NS", "master", 1, true, false, 0},
                      servable_case{"primary without origin NS", "master", 1, false, true, 1},
                      servable_case{"secondary with primary", "slave", 1, true, false, 0},
                      servable_case{"secondary without primary", "slave", 1, false, true, 1},
                      servable_case{"inactive primary", "master", 0, true, true, 0},
                      servable_case{"inactive secondary", "slave", 0, true, true, 0}));

TEST_F(ChangeFeed, EventRowsCarryTheirTexts) {
    zone("p.example.", "master", 1, false, 9);
    zone("s.example.", "slave", 1, false, 9);
    change("p.example.", "u", 1);
    change("s.example.", "u", 2);
    change_feed feed;
    ASSERT_EQ(0, get_sql_changes(conn.get(), feed, 3));
    EXPECT_EQ("Master zone has no ORIGIN NS",
              db.value("SELECT message FROM logs WHERE zone_name = 'p.example.'"));
    EXPECT_EQ("Slave zone has no 'master' ip",
              db.value("SELECT message FROM logs WHERE zone_name = 's.example.'"));
    EXPECT_EQ("ZONEBUILD", db.value("SELECT facility FROM logs WHERE zone_name = 's.example.'"));
}

TEST_F(ChangeFeed, OriginNsMustBelongToTheZoneItself) {
    // a.example. holds an NS record whose owner is b.example. (a delegation): that says
    // nothing about b.example.'s own data.
    const uint32_t a = zone("a.example.");
    zone("b.example.", "master", 1, false);
    exec("INSERT INTO zone_dns_records(zone_id, entry_type, host, value) VALUES(" +
         std::to_string(a) + ", 'NS', 'b.example.', 'ns.b.example.')");
    change("b.example.", "u", 100);
    change_feed feed;
    ASSERT_EQ(0, get_sql_changes(conn.get(), feed, 3));
    EXPECT_EQ(-1, feed.changes.at("b.example.").id);
}

TEST_F(ChangeFeed, DisabledOriginNsDoesNotCount) {
    const uint32_t id = zone("a.example.", "master", 1, false);
    exec("INSERT INTO zone_dns_records(zone_id, entry_type, host, value, status) VALUES(" +
         std::to_string(id) + ", 'NS', 'a.example.', 'ns1.example.net.', 9)");
    change("a.example.", "u", 100);
    change_feed feed;
    ASSERT_EQ(0, get_sql_changes(conn.get(), feed, 3));
    EXPECT_EQ(-1, feed.changes.at("a.example.").id);
}

TEST_F(ChangeFeed, BadRowIsSkippedAndTheRestServed) {
    zone("good.example.");
    zone("odd.example.", "hint");
    change("good.example.", "u", 100);
    const uint32_t odd = change("odd.example.", "u", 200);
    change_feed feed;
    testing::internal::CaptureStderr();
    ASSERT_EQ(0, get_sql_changes(conn.get(), feed, 3));
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, errors.find("odd.example. has an unknown type 'hint'")) << errors;
    EXPECT_EQ(1u, feed.changes.count("good.example."));
    EXPECT_EQ(0u, feed.changes.count("odd.example."));
    // The skipped zone's row is not consumed.
    const auto ids = served(feed);
    EXPECT_EQ(ids.end(), std::find(ids.begin(), ids.end(), odd));
}

TEST_F(ChangeFeed, EmptyChangeTableGivesAnEmptySet) {
    zone("a.example.");
    change_feed feed;
    ASSERT_EQ(0, get_sql_changes(conn.get(), feed, 3));
    EXPECT_TRUE(feed.changes.empty());
    EXPECT_TRUE(feed.ns_complete.empty()); // the id queries were not needed
    EXPECT_TRUE(feed.garbage_ids.empty());
}

TEST_F(ChangeFeed, RowsOfDeletedZonesAreRemovalsAndGarbage) {
    const uint32_t d = change("gone.example.", "d", 100);
    const uint32_t u = change("never.example.", "u", 100);
    change_feed feed;
    ASSERT_EQ(0, get_sql_changes(conn.get(), feed, 3));
    EXPECT_EQ(-1, feed.changes.at("gone.example.").id);
    EXPECT_EQ(0u, feed.changes.count("never.example."));
    EXPECT_EQ(sorted({d, u}), sorted(feed.garbage_ids));
    EXPECT_EQ(2, delete_changes(conn.get(), served(feed))) << fr_sql_error(conn.get());
    EXPECT_EQ(0, db.count("changes"));
}

TEST_F(ChangeFeed, RowsRecordedAfterTheReadSurviveTheJob) {
    zone("a.example.");
    change("a.example.", "u", 100);
    change("gone.example.", "d", 100);
    change_feed feed;
    ASSERT_EQ(0, get_sql_changes(conn.get(), feed, 3));
    // While the job runs: the same zone changes again within the same second as the read,
    // and another zone is deleted.
    const uint32_t same_second = change("a.example.", "u", static_cast<long long>(feed.feed_time));
    const uint32_t late_delete =
        change("late.example.", "d", static_cast<long long>(feed.feed_time));
    EXPECT_EQ(2, delete_changes(conn.get(), served(feed)));
    EXPECT_EQ(2, db.count("changes"));
    EXPECT_EQ(1, db.count("changes", "id = " + std::to_string(same_second)));
    EXPECT_EQ(1, db.count("changes", "id = " + std::to_string(late_delete)));
}

TEST_F(ChangeFeed, RestoreTakesEveryActiveZoneAndRemovesTheRest) {
    const uint32_t a = zone("a.example.");
    const uint32_t s = zone("s.example.", "slave");
    zone("off.example.", "master", 0);
    zone("bare.example.", "master", 1, false);
    const uint32_t ua = change("a.example.", "u", 100);
    const uint32_t uoff = change("off.example.", "u", 100);
    const uint32_t dgone = change("gone.example.", "d", 100);
    change_feed feed;
    ASSERT_EQ(0, get_sql_client(conn.get(), feed, 1, 3));
    ASSERT_EQ(5u, feed.changes.size());
    EXPECT_EQ(static_cast<int32_t>(a), feed.changes.at("a.example.").id);
    EXPECT_EQ(std::vector<uint32_t>{ua}, feed.changes.at("a.example.").change_ids);
    EXPECT_EQ(static_cast<int32_t>(s), feed.changes.at("s.example.").id);
    EXPECT_EQ(ZONE_SLAVE, feed.changes.at("s.example.").type);
    EXPECT_EQ(-1, feed.changes.at("off.example.").id);
    EXPECT_EQ(std::vector<uint32_t>{uoff}, feed.changes.at("off.example.").change_ids);
    EXPECT_EQ(-1, feed.changes.at("gone.example.").id);
    EXPECT_EQ(std::vector<uint32_t>{dgone}, feed.changes.at("gone.example.").change_ids);
    EXPECT_EQ(-1, feed.changes.at("bare.example.").id);
    EXPECT_EQ(1, db.count("logs", "info_code = 'ES04' AND zone_name = 'bare.example.'"));
    EXPECT_EQ(-1, get_sql_client(conn.get(), feed, 0, 3));
}

// Failing statements: each test drops tables of a database of its own.
TEST(ChangeFeedFailure, QueryErrorsAreReportedAsFailures) {
    test_database fresh = make_test_database();
    sql_handle conn = fresh.connect();
    ASSERT_TRUE(conn);
    enum_services set;
    ASSERT_EQ(0, fresh.exec("INSERT INTO srv_service_protocol_type(name, record_type) "
                            "VALUES('sip', 'NAPTR')"));
    ASSERT_EQ(0, update_enum_services_set(conn.get(), set, 1700000000));
    ASSERT_EQ(0, fresh.exec("DROP TABLE changes, custom_job_queue, srv_service_protocol_type"));
    EXPECT_EQ(-1, delete_changes(conn.get(), {1, 2}));
    change_feed feed;
    EXPECT_EQ(-1, get_sql_changes(conn.get(), feed, 3));
    EXPECT_EQ(-1, get_sql_client(conn.get(), feed, 1, 3));
    uint32_t max_id = 0;
    EXPECT_EQ(-1, get_sql_customjob(conn.get(), max_id));
    EXPECT_EQ(-1, delete_sql_customjob(conn.get(), 1));
    EXPECT_EQ(-1, update_enum_services_set(conn.get(), set, 1700000000 + 600));
    EXPECT_EQ(std::unordered_set<std::string>{"sip"}, set.names); // the previous set stays
}

struct level_case {
    const char *value; // nullptr: no row
    int level;
};

class EventLogLevel : public ChangeFeed, public ::testing::WithParamInterface<level_case> {};

TEST_P(EventLogLevel, ComesFromMisc) {
    if (GetParam().value)
        exec(std::string("INSERT INTO misc(param, value) VALUES('log_level', '") +
             GetParam().value + "')");
    int level = -1;
    EXPECT_EQ(0, get_sql_loglvl(conn.get(), level));
    EXPECT_EQ(GetParam().level, level);
}

INSTANTIATE_TEST_SUITE_P(Cases, EventLogLevel,
                         ::testing::Values(level_case{nullptr, 3}, level_case{"5", 5},
                                           level_case{"0", 0}, level_case{"7", 7},
                                           level_case{"9", 3}, level_case{"x", 3},
                                           level_case{"", 3}));

TEST_F(ChangeFeed, WaitingWriteAclRequestsAreServedOnce) {
    exec("INSERT INTO custom_job_queue(service, action) VALUES('ZONEBUILD', 'writeacl'), "
         "('ZONEBUILD', 'writeacl'), ('ZONEFEED', 'forceclient')");
    uint32_t max_id = 0;
    EXPECT_EQ(1, get_sql_customjob(conn.get(), max_id));
    // One queued while the first two are served stays for the next turn.
    exec("INSERT INTO custom_job_queue(service, action) VALUES('ZONEBUILD', 'writeacl')");
    EXPECT_EQ(0, delete_sql_customjob(conn.get(), max_id));
    EXPECT_EQ(1, db.count("custom_job_queue", "service = 'ZONEBUILD'"));
    EXPECT_EQ(1, get_sql_customjob(conn.get(), max_id));
    EXPECT_EQ(0, delete_sql_customjob(conn.get(), max_id));
    EXPECT_EQ(0, get_sql_customjob(conn.get(), max_id));
    exec("INSERT INTO custom_job_queue(service, action) VALUES('ZONEBUILD', 'other')");
    clear_custom_zonebuild(conn.get());
    EXPECT_EQ(0, db.count("custom_job_queue", "service = 'ZONEBUILD'"));
    EXPECT_EQ(1, db.count("custom_job_queue", "service = 'ZONEFEED'"));
}

TEST_F(ChangeFeed, BookkeepingColumnsStoreTheirTextsVerbatim) {
    zone("a.example.");
    const std::string text = "a.example:3: unknown RR type 'X'; \\ \"quoted\"\nline two";
    ASSERT_EQ(0, update_sql_zone_warning(conn.get(), "a.example.", 99, text));
    EXPECT_EQ("99", db.value("SELECT warning FROM zone WHERE name = 'a.example.'"));
    EXPECT_EQ(text, db.value("SELECT warning_desc FROM zone WHERE name = 'a.example.'"));
    ASSERT_EQ(0, update_sql_zone_warning(conn.get(), "a.example.", 0, std::string(70000, 'x')));
    EXPECT_EQ("65000", db.value("SELECT LENGTH(warning_desc) FROM zone WHERE name = 'a.example.'"));
    ASSERT_EQ(0, update_sql_zone_serial(conn.get(), "a.example.", "2024061503", "1718400000"));
    EXPECT_EQ("2024061503", db.value("SELECT revision FROM zone WHERE name = 'a.example.'"));
    EXPECT_EQ("1718400000", db.value("SELECT revise_time FROM zone WHERE name = 'a.example.'"));
    ASSERT_EQ(0, update_sql_zone_timestamp(conn.get(), "a.example."));
    EXPECT_NE("1718400000", db.value("SELECT revise_time FROM zone WHERE name = 'a.example.'"));

    // Many zones at once: only the named ones change, texts arrive as they were.
    zone("b'quote.example.");
    zone("untouched.example.");
    ASSERT_EQ(0, update_sql_zone_warning(conn.get(), "b'quote.example.", 99, "old"));
    ASSERT_EQ(0, update_sql_zones_written(conn.get(), {{"a.example.", "2024061504", "1718400100"},
                                                       {"b'quote.example.", "7", "1718400200"}}));
    EXPECT_EQ("2024061504", db.value("SELECT revision FROM zone WHERE name = 'a.example.'"));
    EXPECT_EQ("1718400200",
              db.value("SELECT revise_time FROM zone WHERE name = 'b''quote.example.'"));
    EXPECT_EQ("0", db.value("SELECT warning FROM zone WHERE name = 'b''quote.example.'"));
    EXPECT_EQ("", db.value("SELECT warning_desc FROM zone WHERE name = 'b''quote.example.'"));
    EXPECT_EQ("0", db.value("SELECT revise_time FROM zone WHERE name = 'untouched.example.'"));
    ASSERT_EQ(0,
              update_sql_zones_timestamp(conn.get(), {"untouched.example.", "b'quote.example."}));
    EXPECT_NE("0", db.value("SELECT revise_time FROM zone WHERE name = 'untouched.example.'"));
    EXPECT_EQ(0, update_sql_zones_written(conn.get(), {}));
}

TEST_F(ChangeFeed, EnumServicesAreRefreshedAtMostEveryTenMinutes) {
    exec("INSERT INTO srv_service_protocol_type(name, type, record_type) VALUES('sip', "
         "'service', 'NAPTR'), ('_http', 'service', 'SRV')");
    enum_services set;
    const time_t now = 1700000000;
    ASSERT_EQ(0, update_enum_services_set(conn.get(), set, now));
    EXPECT_EQ(std::unordered_set<std::string>{"sip"}, set.names);
    exec("INSERT INTO srv_service_protocol_type(name, record_type) VALUES('h323', 'NAPTR')");
    ASSERT_EQ(0, update_enum_services_set(conn.get(), set, now + 599));
    EXPECT_EQ(1u, set.names.size());
    ASSERT_EQ(0, update_enum_services_set(conn.get(), set, now + 600));
    EXPECT_EQ(2u, set.names.size());
}

TEST_F(ChangeFeed, IdSetsByClientAndByName) {
    const uint32_t a = zone("a.example.", "master", 1, true, 1);
    zone("b.example.", "master", 1, true, 2);
    const uint32_t s = zone("s.example.", "slave", 1, true, 1);
    zone_id_set ns, masters;
    const std::string clients = "(1)";
    ASSERT_EQ(0, get_ns_correct_zones(conn.get(), 1, &clients, ns));
    EXPECT_EQ(zone_id_set{a}, ns);
    ns.clear();
    const std::string names = "('b.example.')";
    ASSERT_EQ(0, get_ns_correct_zones(conn.get(), 2, &names, ns));
    EXPECT_EQ(1u, ns.size());
    ASSERT_EQ(0, get_opt_correct_zones(conn.get(), 1, &clients, masters));
    EXPECT_EQ(zone_id_set{s}, masters);
    const std::string empty;
    EXPECT_EQ(-1, get_ns_correct_zones(conn.get(), 1, &empty, ns));
    EXPECT_EQ(-1, get_ns_correct_zones(conn.get(), 2, nullptr, ns));
    EXPECT_EQ(-1, get_opt_correct_zones(conn.get(), 3, &clients, masters));
}

} // namespace
