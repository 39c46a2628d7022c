// The statement formatter: every text argument is escaped exactly once, numbers go in as
// numbers, raw pieces as they stand, and a format that does not fit its arguments is
// refused. (Without a connection the plain escaping function is used; the integration
// test runs the same texts through a real server.)
#include "sql.h"

#include <gtest/gtest.h>

namespace {

std::optional<std::string> fmt(std::string_view format, std::vector<sql_arg> args) {
    return fr_sql_format(nullptr, format, args);
}

} // namespace

TEST(SqlFormat, EscapesTextArgumentsExactlyOnce) {
    using namespace std::string_literals;
    struct {
        std::string in, escaped;
    } cases[] = {
        {"plain", "plain"},
        {"hasn't", "hasn\\'t"},
        {"back\\slash", "back\\\\slash"},
        {"already \\' escaped", "already \\\\\\' escaped"}, // escaped again, not trusted
        {"quote\"d", "quote\\\"d"},
        {"nul\0byte"s, "nul\\0byte"},
        {"line\nbreak\r", "line\\nbreak\\r"},
        {"caf\xc3\xa9 \xf0\x9f\x98\x80", "caf\xc3\xa9 \xf0\x9f\x98\x80"}, // UTF-8 unchanged
    };
    for (const auto &c : cases) {
        auto s = fmt("SELECT '%s'", {sql_arg(c.in)});
        ASSERT_TRUE(s) << c.in;
        EXPECT_EQ(*s, "SELECT '" + c.escaped + "'") << c.in;
    }
}

TEST(SqlFormat, WritesNumbersRawPiecesAndPercentSigns) {
    EXPECT_EQ(fmt("%d %u %ld %lu %lld %llu %i", {-5, 7u, -9L, 11UL, -13LL, 17ULL, 0}),
              "-5 7 -9 11 -13 17 0");
    EXPECT_EQ(fmt("id IN (%s)", {sql_raw{"1,2,'x'"}}), "id IN (1,2,'x')");
    EXPECT_EQ(fmt("LIKE 'a%%'", {}), "LIKE 'a%'");
    EXPECT_EQ(fmt("v = '%d'", {4294967295u}), "v = '4294967295'");
}

TEST(SqlFormat, RefusesArgumentsThatDoNotFitTheFormat) {
    struct {
        const char *format;
        std::vector<sql_arg> args;
    } cases[] = {
        {"id = '%d'", {sql_arg("1 OR 1=1")}}, // text where a number belongs
        {"name = '%s'", {sql_arg(5)}},        // number where text belongs
        {"name = '%s'", {sql_arg(static_cast<const char *>(nullptr))}},
        {"a = %d AND b = %d", {sql_arg(1)}},  // too few
        {"a = %d", {sql_arg(1), sql_arg(2)}}, // too many
        {"a = %x", {sql_arg(1)}},             // unknown conversion
        {"trailing %", {}},
    };
    for (const auto &c : cases)
        EXPECT_FALSE(fmt(c.format, c.args)) << c.format;
}

TEST(SqlFormat, QueriesWithoutAConnectionFail) {
    EXPECT_EQ(-1, fr_sql_query(nullptr, nullptr, "SELECT 1"));
    EXPECT_EQ(fr_sql_error(nullptr), "no database connection");
}
