// The daemon parts against a real database: a connection from the shared settings, and
// event rows with named fields written exactly as sql_log writes them.
#include "daemon_settings.h"
#include "event_row.h"
#include "mariadb_fixture.h"

#include <gtest/gtest.h>

using opt = std::optional<std::string>;

TEST(DaemonParts, EventRowsAndConnectionFromSettings) {
    test_database db = make_test_database();
    db_settings s;
    s.host = db.host;
    s.port = db.port;
    s.user = db.user;
    s.password = db.password;
    s.name = db.name;
    std::string error;
    sql_handle conn = open_database(s, error);
    ASSERT_TRUE(conn) << error;

    ASSERT_EQ(0, event_row(FACILITY_ZONEBUILD, 5, "Program started", "ER01a")
                     .info("4242")
                     .write(conn.get(), 5));
    ASSERT_EQ(0, event_row(FACILITY_REMOTE_UPDATE, 4, "Invalid A value", "EPU04")
                     .info("1.2.3.999|17")
                     .client(7)
                     .feed(8, "https://feeds.example/z.txt")
                     .zone(9, "example.com")
                     .write(conn.get(), 7));
    ASSERT_EQ(0, event_row(FACILITY_ZONEBUILD, 6, "not due", "ENONE").write(conn.get(), 5));
    const sql_rows rows = db.rows("SELECT facility, level, message, info_code, info, client_id, "
                                  "zone_feed_id, zone_id, zone_feed_url, zone_name FROM logs "
                                  "ORDER BY id");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0],
              (std::vector<opt>{
                  "ZONEBUILD", "5", "Program started", "ER01a", "4242", {}, {}, {}, {}, {}}));
    EXPECT_EQ(rows[1],
              (std::vector<opt>{"REMOTE_UPDATE", "4", "Invalid A value", "EPU04", "1.2.3.999|17",
                                "7", "8", "9", "https://feeds.example/z.txt", "example.com"}));

    s.name = "no_such_database";
    EXPECT_FALSE(open_database(s, error));
    EXPECT_EQ(error, "Cannot select mysql database no_such_database.");
}
