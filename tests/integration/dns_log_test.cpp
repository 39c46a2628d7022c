// The event log: every column of a `logs` row as sql_log writes it.
#include "dns_log.h"
#include "mariadb_fixture.h"

#include <gtest/gtest.h>

using namespace std::string_literals;

namespace {

const char *const row_columns = "facility, level, message, info_code, info, client_id, "
                                "zone_feed_id, zone_id, zone_feed_url, zone_name, "
                                "log_timestamp IS NOT NULL, "
                                "ABS(TIMESTAMPDIFF(SECOND, log_timestamp, NOW())) < 300";

using opt = std::optional<std::string>;

} // namespace

TEST(SqlLog, WritesEveryColumn) {
    test_database db = make_test_database();
    sql_handle conn = db.connect();
    ASSERT_TRUE(conn);
    struct {
        int facility, level;
        const char *message, *code, *info;
        unsigned client, feed, zone;
        const char *url, *zone_name;
        std::vector<opt> row;
    } cases[] = {
        {2,
         5,
         "Program started",
         "ER01a",
         "4242",
         0,
         0,
         0,
         nullptr,
         nullptr,
         {"ZONEBUILD", "5", "Program started", "ER01a", "4242", {}, {}, {}, {}, {}, "1", "1"}},
        {1,
         4,
         "Invalid A value",
         "EPU04",
         "1.2.3.999|17",
         7,
         8,
         9,
         "https://feeds.example/z.txt",
         "example.com",
         {"REMOTE_UPDATE", "4", "Invalid A value", "EPU04", "1.2.3.999|17", "7", "8", "9",
          "https://feeds.example/z.txt", "example.com", "1", "1"}},
        {1,
         3,
         "Event importing file. Download failed",
         "EPU01",
         nullptr,
         0,
         12,
         0,
         nullptr,
         nullptr,
         {"REMOTE_UPDATE",
          "3",
          "Event importing file. Download failed",
          "EPU01",
          {},
          {},
          "12",
          {},
          {},
          {},
          "1",
          "1"}},
        {2,
         7,
         "Job started. Custom",
         "ENONE",
         nullptr,
         0,
         0,
         4294967295u,
         nullptr,
         nullptr,
         {"ZONEBUILD",
          "7",
          "Job started. Custom",
          "ENONE",
          {},
          {},
          {},
          "4294967295",
          {},
          {},
          "1",
          "1"}},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(0, db.exec("DELETE FROM logs"));
        ASSERT_EQ(0, sql_log(conn.get(), c.facility, c.level, c.message, c.code, c.info, c.client,
                             c.feed, c.zone, c.url, c.zone_name, 7))
            << fr_sql_error(conn.get());
        sql_rows rows = db.rows(std::string("SELECT ") + row_columns + " FROM logs");
        ASSERT_EQ(rows.size(), 1u) << c.message;
        EXPECT_EQ(rows[0], c.row) << c.message;
    }
}

TEST(SqlLog, StoresAwkwardTextsExactly) {
    test_database db = make_test_database();
    sql_handle conn = db.connect();
    ASSERT_TRUE(conn);
    const std::string message = "Dump file hasn't changed";
    const std::string info = "it's \"quoted\" \\ back\\slash \\' caf\xc3\xa9 \xf0\x9f\x98\x80|3";
    const std::string url = "http://o'brien.example/feed?a=1&b='x'\\";
    const std::string zone = "\xc3\xa9t\xc3\xa9's.example";
    ASSERT_EQ(0, sql_log(conn.get(), 1, 4, message.c_str(), "EPU02", info.c_str(), 1, 2, 3,
                         url.c_str(), zone.c_str(), 5))
        << fr_sql_error(conn.get());
    sql_rows rows = db.rows("SELECT message, info, zone_feed_url, zone_name FROM logs");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], (std::vector<opt>{message, info, url, zone}));
}

TEST(SqlLog, WritesNothingWhenNotDueOrForAnUnknownFacility) {
    test_database db = make_test_database();
    sql_handle conn = db.connect();
    ASSERT_TRUE(conn);
    struct {
        sql_conn *db;
        int facility, level, max_level, rc;
    } cases[] = {
        {conn.get(), 2, 7, 5, 0},                         // above the threshold
        {conn.get(), 2, 6, 5, 0},                         // just above
        {nullptr, 2, 3, 7, 0},                            // no connection
        {conn.get(), 3, 3, 7, -1},                        // unknown facility
        {conn.get(), 0, 3, 7, -1}, {nullptr, 3, 3, 7, 0}, // no connection is checked first
    };
    for (const auto &c : cases)
        EXPECT_EQ(sql_log(c.db, c.facility, c.level, "m", "ER02", nullptr, 0, 0, 0, nullptr,
                          nullptr, c.max_level),
                  c.rc)
            << c.facility << " " << c.level << " " << c.max_level;
    EXPECT_EQ(db.count("logs"), 0);
    // At the threshold the row is written.
    EXPECT_EQ(0, sql_log(conn.get(), 2, 5, "m", "ER02", nullptr, 0, 0, 0, nullptr, nullptr, 5));
    EXPECT_EQ(db.count("logs"), 1);
}

TEST(SqlLog, AFailedInsertIsReported) {
    test_database db = make_test_database();
    sql_handle conn = db.connect();
    ASSERT_TRUE(conn);
    ASSERT_EQ(0, db.exec("DROP TABLE logs"));
    EXPECT_EQ(-1, sql_log(conn.get(), 2, 3, "m", "ER02", "x", 0, 0, 0, nullptr, nullptr, 7));
    EXPECT_NE(fr_sql_error(conn.get()).find("logs"), std::string::npos);
}

TEST(ReadDbLogLevel, TakesTheFirstDigitOrThree) {
    test_database db = make_test_database();
    sql_handle conn = db.connect();
    ASSERT_TRUE(conn);
    struct {
        std::optional<std::string> value; // nullopt: no row
        int level;
    } cases[] = {{"5", 5}, {"0", 0}, {"7 debug", 7}, {"8", 3}, {"x", 3}, {"", 3}, {{}, 3}};
    for (const auto &c : cases) {
        ASSERT_EQ(0, db.exec("DELETE FROM misc"));
        if (c.value) {
            ASSERT_EQ(0, fr_sql_query(conn.get(), nullptr,
                                      "INSERT INTO misc(param, value) VALUES('log_level', '%s')",
                                      *c.value));
        }
        int status = 1;
        EXPECT_EQ(read_db_log_level(conn.get(), &status), c.level) << c.value.value_or("(none)");
        EXPECT_EQ(status, 0);
    }
}
