// The SQL layer against a real server: texts arrive byte for byte, results and NULLs come
// back as stored, failures keep their error text, and multi-statement connections stay in
// step.
#include "mariadb_fixture.h"
#include "sql.h"

#include <gtest/gtest.h>

using namespace std::string_literals;

namespace {

const std::string awkward_texts[] = {
    "plain",
    "Dump file hasn't changed",
    "O'Brien's \"zone\"",
    "back\\slash \\' and trailing \\",
    "\\\\",
    "nul\0inside"s,
    "line\nbreak\r\n\t\x1a end",
    "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xe6\xbc\xa2\xe5\xad\x97",
    "%s %d %%",
    "'); DROP TABLE misc; --",
};

} // namespace

TEST(Sql, TextsAreStoredExactlyAsGiven) {
    test_database db = make_test_database();
    sql_handle conn = db.connect();
    ASSERT_TRUE(conn);
    for (const std::string &text : awkward_texts) {
        ASSERT_EQ(0, fr_sql_query(conn.get(), nullptr, "DELETE FROM misc"));
        ASSERT_EQ(0, fr_sql_query(conn.get(), nullptr,
                                  "INSERT INTO misc(param, value) VALUES('%s', '%s')", "p", text))
            << fr_sql_error(conn.get());
        sql_result res;
        ASSERT_EQ(
            0, fr_sql_query(conn.get(), &res, "SELECT value FROM misc WHERE value = '%s'", text));
        sql_row row = fr_sql_fetchrow(res);
        ASSERT_TRUE(row) << text;
        EXPECT_EQ(row.view(0), text);
    }
    EXPECT_EQ(db.count("misc"), 1); // the hostile text did not run as SQL
}

TEST(Sql, RowsNullsCountsAndInsertIds) {
    test_database db = make_test_database();
    sql_handle conn = db.connect();
    ASSERT_TRUE(conn);
    ASSERT_EQ(0, fr_sql_query(conn.get(), nullptr,
                              "INSERT INTO misc(param, value) VALUES('a', NULL), ('b', '%s')", ""));
    EXPECT_EQ(fr_sql_affectedrows(conn.get()), 2u);
    ASSERT_EQ(0, fr_sql_query(conn.get(), nullptr,
                              "INSERT INTO misc(param, value) VALUES('c', '%d')", 42));
    const unsigned long long id = fr_sql_insert_id(conn.get());
    EXPECT_GT(id, 0u);
    EXPECT_EQ(db.value("SELECT param FROM misc WHERE id = " + std::to_string(id)), "c");

    sql_result res;
    ASSERT_EQ(0, fr_sql_query(conn.get(), &res, "SELECT param, value FROM misc ORDER BY param"));
    EXPECT_EQ(fr_sql_numrows(res), 3u);
    sql_row a = fr_sql_fetchrow(res);
    ASSERT_TRUE(a);
    EXPECT_EQ(a.size(), 2u);
    EXPECT_TRUE(a.is_null(1));
    EXPECT_FALSE(a.text(1).has_value());
    sql_row b = fr_sql_fetchrow(res);
    ASSERT_TRUE(b);
    EXPECT_FALSE(b.is_null(1)); // an empty text is not NULL
    EXPECT_EQ(b.text(1), "");
    sql_row c = fr_sql_fetchrow(res);
    EXPECT_EQ(c.text(1), "42");
    EXPECT_FALSE(fr_sql_fetchrow(res));

    int status = 1;
    EXPECT_EQ(fr_sql_misc_value(conn.get(), "c", &status), "42");
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(fr_sql_misc_value(conn.get(), "a", &status).has_value());
    EXPECT_FALSE(fr_sql_misc_value(conn.get(), "none", &status).has_value());
    EXPECT_EQ(status, 0);
}

TEST(Sql, FailuresKeepTheServersMessage) {
    test_database db = make_test_database();
    sql_handle conn = db.connect();
    ASSERT_TRUE(conn);
    sql_result res;
    EXPECT_EQ(-1, fr_sql_query(conn.get(), &res, "SELECT nosuchcolumn FROM misc"));
    EXPECT_FALSE(res);
    EXPECT_NE(fr_sql_error(conn.get()).find("nosuchcolumn"), std::string::npos);
    int status = 0;
    ASSERT_EQ(0, db.exec("DROP TABLE misc"));
    EXPECT_FALSE(fr_sql_misc_value(conn.get(), "log_level", &status));
    EXPECT_EQ(status, -1);
    // A format that does not fit its arguments never reaches the server.
    EXPECT_EQ(-1, fr_sql_query(conn.get(), nullptr, "SELECT '%d'", "text"));
    EXPECT_NE(fr_sql_error(conn.get()).find("do not fit"), std::string::npos);
    // The connection still works afterwards.
    EXPECT_EQ(0, fr_sql_query(conn.get(), &res, "SELECT 1"));
}

TEST(Sql, ConnectingAndSelectingReportWhyTheyFail) {
    test_database db = make_test_database();
    std::string error;
    EXPECT_FALSE(fr_sql_init(db.host, db.port, db.user, "wrong password", 0, &error));
    EXPECT_NE(error.find("Access denied"), std::string::npos) << error;
    sql_handle conn = fr_sql_init(db.host, db.port, db.user, db.password, 0, &error);
    ASSERT_TRUE(conn) << error;
    EXPECT_EQ(-1, fr_sql_selectdb(conn.get(), "no_such_database_zz"));
    EXPECT_FALSE(fr_sql_error(conn.get()).empty());
    EXPECT_EQ(0, fr_sql_selectdb(conn.get(), db.name));
}

TEST(Sql, MultiStatementConnectionsStayInStep) {
    test_database db = make_test_database();
    sql_handle conn = db.connect(CLIENT_MULTI_STATEMENTS);
    ASSERT_TRUE(conn);
    sql_result res;
    ASSERT_EQ(0, fr_sql_query(
                     conn.get(), &res,
                     "SELECT 1; INSERT INTO misc(param, value) VALUES('x', '%s'); SELECT 2", "y"));
    ASSERT_TRUE(res);
    EXPECT_EQ(fr_sql_fetchrow(res).view(0), "1");
    res.reset();
    ASSERT_EQ(0, fr_sql_query(conn.get(), &res, "SELECT value FROM misc WHERE param = 'x'"));
    EXPECT_EQ(fr_sql_fetchrow(res).view(0), "y");
    // A failure in a later statement fails the query and leaves the connection usable.
    EXPECT_EQ(-1, fr_sql_query(conn.get(), nullptr, "SELECT 1; SELECT nosuch FROM misc"));
    EXPECT_EQ(0, fr_sql_query(conn.get(), &res, "SELECT 3"));
    EXPECT_EQ(fr_sql_fetchrow(res).view(0), "3");
}
