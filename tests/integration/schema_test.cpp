// The schema in schema/ accepts the statements the programs send (read from their sources),
// with the column types their comparisons and arithmetic need.
#include "mariadb_fixture.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

namespace {

// The statements are read from the programs' sources: the format text of every
// fr_sql_query call whose format is a string literal (adjacent literals joined). Each is
// prepared by the server with its conversions as parameters, which resolves every table and
// column it names, so a statement that drifts away from the schema fails here.
struct source_statement {
    std::string where; // file:line
    std::string format;
};

// Reads a C++ string literal starting at `i` (at the opening quote) into `out`.
size_t read_literal(const std::string &src, size_t i, std::string &out) {
    ++i;
    while (i < src.size() && src[i] != '"') {
        if (src[i] == '\\' && i + 1 < src.size()) {
            const char c = src[++i];
            out += c == 'n' ? '\n' : c == 't' ? '\t' : c;
        } else {
            out += src[i];
        }
        ++i;
    }
    return i + 1;
}

size_t skip_blank(const std::string &src, size_t i) {
    while (i < src.size()) {
        if (isspace(static_cast<unsigned char>(src[i]))) {
            ++i;
        } else if (src.compare(i, 2, "//") == 0) {
            i = src.find('\n', i);
            if (i == std::string::npos)
                return src.size();
        } else {
            break;
        }
    }
    return i;
}

// The literal formats of the fr_sql_query calls in `path`.
std::vector<source_statement> statements_of(const std::string &path) {
    const std::string src = read_text_file(path);
    std::vector<source_statement> found;
    const std::string call = "fr_sql_query(";
    for (size_t at = src.find(call); at != std::string::npos; at = src.find(call, at + 1)) {
        // The format is the third argument: skip two commas at the call's own depth.
        size_t i = at + call.size();
        int depth = 0, commas = 0;
        for (; i < src.size() && commas < 2; ++i) {
            if (src[i] == '(')
                ++depth;
            else if (src[i] == ')' && depth-- == 0)
                break;
            else if (src[i] == ',' && depth == 0)
                ++commas;
        }
        i = skip_blank(src, i);
        if (commas < 2 || i >= src.size() || src[i] != '"')
            continue; // a declaration, or a format built at run time
        std::string format;
        while (i < src.size() && src[i] == '"')
            i = skip_blank(src, read_literal(src, i, format));
        if (format == "%s")
            continue; // a statement built at run time, passed whole
        const long line = std::count(src.begin(), src.begin() + static_cast<long>(at), '\n') + 1;
        found.push_back({path.substr(path.rfind('/') + 1) + ":" + std::to_string(line), format});
    }
    return found;
}

// The statement with every conversion (and the quotes around it) as a parameter.
std::string as_prepared(const std::string &format) {
    static const std::regex conversion(R"((['"]?)%(l{0,2}[dui]|s)\1)");
    std::string text = std::regex_replace(format, conversion, "?");
    return std::regex_replace(text, std::regex("%%"), "%");
}

std::vector<source_statement> statements_in(const std::vector<std::string> &folders) {
    std::vector<source_statement> all;
    for (const std::string &folder : folders) {
        const std::string dir = std::string(ZONARIS_SOURCE_DIR) + "/" + folder;
        std::vector<std::string> files;
        for (const auto &entry : std::filesystem::directory_iterator(dir))
            if (entry.path().extension() == ".cpp")
                files.push_back(entry.path().string());
        std::sort(files.begin(), files.end());
        for (const std::string &file : files)
            for (source_statement &st : statements_of(file))
                all.push_back(std::move(st));
    }
    return all;
}

// 0 when the server prepares `text`, else its error number.
unsigned prepare(sql_conn *conn, const std::string &text, std::string &error) {
    MYSQL_STMT *stmt = mysql_stmt_init(fr_sql_mysql(conn));
    if (!stmt)
        return 1;
    const unsigned rc = mysql_stmt_prepare(stmt, text.data(), text.size()) == 0
                            ? 0
                            : std::max(1u, mysql_stmt_errno(stmt));
    error = mysql_stmt_error(stmt);
    mysql_stmt_close(stmt);
    return rc;
}

void prepare_all(const std::vector<std::string> &folders, size_t at_least) {
    test_database db = make_test_database();
    sql_handle conn = db.connect();
    ASSERT_TRUE(conn);
    // Preparing resolves names: a column or table the schema lacks is refused.
    std::string error;
    EXPECT_NE(0u, prepare(conn.get(), "SELECT no_such_column FROM zone WHERE id = ?", error));
    EXPECT_NE(0u, prepare(conn.get(), "UPDATE zone SET no_such_column = ? WHERE id = ?", error));
    EXPECT_NE(0u, prepare(conn.get(), "INSERT INTO no_such_table(a) VALUES(?)", error));
    const std::vector<source_statement> found = statements_in(folders);
    // The reading itself must keep working: each folder has many statements.
    EXPECT_GE(found.size(), at_least);
    for (const source_statement &st : found) {
        const std::string text = as_prepared(st.format);
        MYSQL_STMT *stmt = mysql_stmt_init(fr_sql_mysql(conn.get()));
        ASSERT_NE(stmt, nullptr);
        EXPECT_EQ(0, mysql_stmt_prepare(stmt, text.data(), text.size()))
            << st.where << ": " << mysql_stmt_error(stmt) << "\n"
            << text;
        mysql_stmt_close(stmt);
    }
}

} // namespace

TEST(Schema, PreparesTheStatementsOfTheEventLogAndTheTools) {
    prepare_all({"common", "tools"}, 3);
}
TEST(Schema, PreparesTheZoneBuilderStatements) {
    prepare_all({"zonebuildd"}, 15);
}
TEST(Schema, PreparesTheFeedImporterStatements) {
    prepare_all({"zonefeedd"}, 12);
}
TEST(Schema, PreparesThePoolMonitorStatements) {
    prepare_all({"poolwatchd"}, 10);
}

TEST(Schema, ChangeTimesAreSecondsComparedAsNumbers) {
    test_database db = make_test_database();
    ASSERT_EQ(0, db.exec("INSERT INTO changes(zone_name, type, timestamp) VALUES"
                         "('a.example', 'u', 999999999), ('a.example', 'u', 1000000001),"
                         "('a.example', 'd', 1000000000)"))
        << db.last_error();
    // As text '999999999' would sort after '1000000000'.
    EXPECT_EQ(db.count("changes", "timestamp <= '1000000000'"), 2);
    ASSERT_EQ(0, db.exec("DELETE  FROM changes WHERE zone_name = 'a.example' AND timestamp <= "
                         "'1000000000'"));
    EXPECT_EQ(db.value("SELECT timestamp FROM changes"), "1000000001");
}

TEST(Schema, AZoneMayHaveSeveralChangeRows) {
    test_database db = make_test_database();
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(0, db.exec("INSERT INTO changes(zone_name, type, timestamp) VALUES('b.example', "
                             "'d', UNIX_TIMESTAMP(NOW())) ON DUPLICATE KEY UPDATE `type` = 'd', "
                             "`timestamp`= UNIX_TIMESTAMP(NOW())"))
            << db.last_error();
    ASSERT_EQ(0, db.exec("INSERT INTO changes(zone_name, type, timestamp) VALUES('b.example', 'u', "
                         "UNIX_TIMESTAMP())"));
    EXPECT_EQ(db.count("changes", "zone_name = 'b.example'"), 3);
}

TEST(Schema, StoredSerialIsOneRowPerZone) {
    test_database db = make_test_database();
    for (const char *serial : {"2024010101", "2024010102"})
        ASSERT_EQ(0, db.exec(std::string("INSERT INTO `zone_soa`(`zone_id`, `param`, `value`)   "
                                         "VALUE (4, 'serial', '") +
                             serial + "')  ON DUPLICATE KEY UPDATE `value` = '" + serial + "'"))
            << db.last_error();
    EXPECT_EQ(db.count("zone_soa", "zone_id = 4"), 1);
    EXPECT_EQ(db.value("SELECT value FROM zone_soa WHERE zone_id = 4 AND param = 'serial'"),
              "2024010102");
}

TEST(Schema, FeedDueTestCopesWithALastUpdateInTheFuture) {
    test_database db = make_test_database();
    ASSERT_EQ(0, db.exec("INSERT INTO client(id, status) VALUES (1, 1);"
                         "INSERT INTO zone_feed(id, client_id, url, count, last_update, period) "
                         "VALUES (1, 1, 'http://127.0.0.1/a', 3, unix_timestamp(NOW()) + 86400, "
                         "60), (2, 1, 'http://127.0.0.1/b', 3, 0, 60)"));
    sql_rows due =
        db.rows("SELECT zone_feed.id FROM zone_feed, client WHERE client.id = "
                "zone_feed.client_id AND zone_feed.status = '1' AND client.status = "
                "'1'  AND (zone_feed.count = '0' OR unix_timestamp(NOW()) - "
                "zone_feed.last_update >= zone_feed.period * 60) ORDER BY zone_feed.id ");
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(due[0][0], "2");
    EXPECT_EQ(db.count("zone_feed", "unix_timestamp(NOW()) - last_update < period * 60"), 1);
}

TEST(Schema, PanelZonesAreOwnedByNoFeed) {
    test_database db = make_test_database();
    ASSERT_EQ(0, db.exec("INSERT INTO zone(name, client_id) VALUES('panel.example', 1)"));
    EXPECT_EQ(db.value("SELECT url_id FROM zone WHERE name = 'panel.example'"), "-1");
    EXPECT_EQ(db.value("SELECT revision FROM zone WHERE name = 'panel.example'"), "");
    ASSERT_EQ(0, db.exec("UPDATE zone SET revision = NULL WHERE name = 'panel.example'"));
    EXPECT_EQ(db.value("SELECT revision FROM zone WHERE name = 'panel.example'"), std::nullopt);
    EXPECT_EQ(-1, db.exec("INSERT INTO zone(name, client_id) VALUES('panel.example', 2)"));
}

TEST(Schema, FeedZoneInsertGivesItsId) {
    test_database db = make_test_database();
    ASSERT_EQ(0, db.exec("INSERT INTO zone(name, client_id, type, cr_date, revise_time, "
                         "last_zone_feed_id, url_id, status, `separator`, `serialgeneration`) "
                         "VALUES('feed.example', '2', 'master', NOW(), '0', '1', '1', '1', '0', "
                         "'0')"));
    EXPECT_EQ(db.value("SELECT LAST_INSERT_ID()"), "1");
    EXPECT_EQ(db.value("SELECT serialgeneration FROM zone WHERE id = 1"), "0");
}

TEST(Schema, PoolMonitorEventRowsGetATime) {
    test_database db = make_test_database();
    ASSERT_EQ(0, db.exec(" INSERT INTO logs(facility, level, message) VALUES(\"POOLWATCHD\", 3, "
                         "\"Zone a record type A with value 192.0.2.1 found available, "
                         "disabling\")"))
        << db.last_error();
    EXPECT_EQ(db.count("logs", "log_timestamp IS NOT NULL AND info_code IS NULL"), 1);
}

TEST(Schema, NullRecordColumnsGiveTheSnapshotKey) {
    test_database db = make_test_database();
    ASSERT_EQ(0, db.exec("INSERT INTO zone_dns_records(zone_id, entry_type, host, value) VALUES "
                         "(1, 'A', 'www', '192.0.2.1')"));
    EXPECT_EQ(db.value("SELECT CONCAT(entry_type, host, value, ifnull(priority, \"NULL\"), "
                       "ifnull(priority_minor, \"NULL\"), ifnull(port, \"NULL\"), ifnull(ttl, "
                       "\"NULL\"), ifnull(services, \"NULL\"), ifnull(flag, \"NULL\"), "
                       "ifnull(regex_flag, \"NULL\"), ifnull(regex, \"NULL\")) FROM "
                       "zone_dns_records"),
              "Awww192.0.2.1NULLNULLNULLNULLNULLNULLNULLNULL");
}
