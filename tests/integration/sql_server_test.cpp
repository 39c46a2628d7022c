// The SQL layer against a server of the test's own whose global settings are hostile or
// which stops answering: the session's sql_mode keeps escaping right, and a server that
// hangs costs a statement the time limit, not the thread.
#include "mariadb_fixture.h"
#include "run_program.h"
#include "sql.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

TEST(SqlServer, QuotedTextStaysTextWhateverTheServersSqlMode) {
    own_database_server server;
    test_database db = make_test_database_on(server.info());
    ASSERT_EQ(0, db.exec("SET GLOBAL sql_mode = 'ANSI,NO_BACKSLASH_ESCAPES,STRICT_TRANS_TABLES'"))
        << db.last_error();
    sql_handle conn = db.connect();
    ASSERT_TRUE(conn) << "a connection could not be opened";
    sql_result res;
    ASSERT_EQ(0, fr_sql_query(conn.get(), &res, "SELECT @@SESSION.sql_mode"));
    const std::string mode(fr_sql_fetchrow(res).view(0));
    EXPECT_EQ(mode.find("NO_BACKSLASH_ESCAPES"), std::string::npos) << mode;
    EXPECT_EQ(mode.find("ANSI_QUOTES"), std::string::npos) << mode;
    EXPECT_NE(mode.find("STRICT_TRANS_TABLES"), std::string::npos) << "other modes are kept";

    const std::string texts[] = {"O'Brien's \"zone\"", "back\\slash \\\" and trailing \\",
                                 "\"); DELETE FROM misc; -- ", "\\\"', \"x\") -- "};
    for (const std::string &text : texts) {
        // Double quotes, as the pool monitor's statements use them, and single quotes.
        ASSERT_EQ(0, fr_sql_query(conn.get(), nullptr,
                                  "INSERT INTO misc(param, value) VALUES(\"dq\", \"%s\"), "
                                  "('sq', '%s')",
                                  text, text))
            << fr_sql_error(conn.get());
        EXPECT_EQ(db.count("misc"), 2) << text;
        EXPECT_EQ(db.value("SELECT value FROM misc WHERE param = 'dq'"), text);
        EXPECT_EQ(db.value("SELECT value FROM misc WHERE param = 'sq'"), text);
        ASSERT_EQ(0, db.exec("DELETE FROM misc"));
    }
}

TEST(SqlServer, AServerThatStopsAnsweringFailsTheStatementWithinTheTimeLimit) {
    own_database_server server;
    test_database db = make_test_database_on(server.info());
    std::string error;
    sql_handle conn = fr_sql_init(db.host, db.port, db.user, db.password, 0, &error, 2);
    ASSERT_TRUE(conn) << error;
    ASSERT_EQ(0, fr_sql_selectdb(conn.get(), db.name));
    const pid_t pid = server.server_pid();
    ASSERT_GT(pid, 1);
    {
        stopped_server stopped(pid);
        ASSERT_TRUE(stopped.stopped()) << "the server did not stop";
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(-1, fr_sql_query(conn.get(), nullptr, "SELECT 1"));
        EXPECT_LT(seconds_since(start), 30.0) << "the statement waited for the server";
        EXPECT_FALSE(fr_sql_error(conn.get()).empty());
        // Like a lost connection: the next statement fails without waiting again.
        start = std::chrono::steady_clock::now();
        EXPECT_EQ(-1, fr_sql_query(conn.get(), nullptr, "SELECT 1"));
        EXPECT_LT(seconds_since(start), 1.5);
        // Opening a connection to the stopped server gives up as well.
        start = std::chrono::steady_clock::now();
        EXPECT_FALSE(fr_sql_init(db.host, db.port, db.user, db.password, 0, &error, 2));
        EXPECT_LT(seconds_since(start), 30.0) << "connecting waited for the server";
    }
    // The server answers again: a new connection works; the old one stays gone.
    sql_handle again = fr_sql_init(db.host, db.port, db.user, db.password, 0, &error, 2);
    ASSERT_TRUE(again) << error;
    EXPECT_EQ(0, fr_sql_query(again.get(), nullptr, "SELECT 1"));
    EXPECT_EQ(-1, fr_sql_query(conn.get(), nullptr, "SELECT 1"));
}
