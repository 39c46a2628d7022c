// Common helpers: type tables, empty zones, bounded numbers, escaping and dot handling.
#include "dns_common.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(RrType, NamesAndCodesAreInverse) {
    const char *names[] = {"NS", "A", "AAAA", "CNAME", "MX", "PTR", "TXT", "SRV", "NAPTR"};
    for (int code = 1; code <= 9; ++code) {
        EXPECT_EQ(get_rr_type(names[code - 1]), code);
        ASSERT_NE(get_rr_type_str(code), nullptr);
        EXPECT_STREQ(get_rr_type_str(code), names[code - 1]);
    }
    for (const char *other : {"naptr", "ns", "SOA", "", " A", "A "})
        EXPECT_EQ(get_rr_type(other), 0) << other;
    EXPECT_EQ(get_rr_type(nullptr), 0);
    for (int code : {0, 10, -1, 1000})
        EXPECT_EQ(get_rr_type_str(code), nullptr) << code;
}

TEST(ZoneType, NamesAndCodesAreInverse) {
    EXPECT_EQ(get_zone_type("master"), 1);
    EXPECT_EQ(get_zone_type("slave"), 2);
    for (const char *other : {"Master", "SLAVE", "", "primary"})
        EXPECT_EQ(get_zone_type(other), 0) << other;
    EXPECT_EQ(get_zone_type(nullptr), 0);
    EXPECT_STREQ(get_zone_type_str(1), "master");
    EXPECT_STREQ(get_zone_type_str(2), "slave");
    EXPECT_EQ(get_zone_type_str(0), nullptr);
    EXPECT_EQ(get_zone_type_str(3), nullptr);
}

std::string ip6_zone(const char *first) {
    std::string s = first;
    for (int i = 0; i < 31; ++i)
        s += "0.";
    return s + "ip6.arpa.";
}

TEST(IsEmptyZone, ComparesWholeNamesIgnoringCase) {
    const struct {
        std::string name;
        int expected;
    } cases[] = {
        {"127.in-addr.arpa.", 1},
        {"127.IN-ADDR.ARPA.", 1},
        {"127.in-addr.arpa", 0}, // the final dot is part of the name
        {"1.127.IN-ADDR.ARPA.", 0},
        {"b.e.f.ip6.arpa.", 1},
        {"C.E.F.IP6.ARPA.", 0},
        {ip6_zone("0."), 1},
        {ip6_zone("1."), 1},
        {ip6_zone("2."), 0},
        {"", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(is_empty_zone(c.name), c.expected) << c.name;
}

TEST(SafeStrtouint32, FallsBackOnlyToANonZeroDefault) {
    const struct {
        const char *text;
        uint32_t min, max, fallback;
        int rc;
        uint32_t out;
    } cases[] = {
        {"42", 0, 100, 0, 0, 42},
        {"0", 0, 100, 0, 0, 0},
        {"100", 0, 100, 0, 0, 100},
        {"101", 0, 100, 0, -1, 7777},
        {"101", 0, 100, 5, 0, 5},
        {"4", 5, 100, 0, -1, 7777},
        {"4", 5, 100, 9, 0, 9},
        {"4294967295", 0, 4294967295u, 0, 0, 4294967295u},
        {"4294967296", 0, 4294967295u, 0, -1, 7777},
        {"4294967296", 0, 4294967295u, 3, 0, 3},
        {"12x", 0, 100, 0, -1, 7777},
        {"-1", 0, 100, 0, -1, 7777},
        {"", 0, 100, 0, -1, 7777},
        {"", 0, 100, 8, 0, 8},
    };
    for (const auto &c : cases) {
        uint32_t out = 7777;
        EXPECT_EQ(safe_strtouint32(c.text, &out, c.min, c.max, c.fallback), c.rc) << c.text;
        EXPECT_EQ(out, c.out) << c.text;
    }
}

TEST(Escaping, DoublesAndHalvesBackslashesAndEscapesApostrophes) {
    const struct {
        std::string in, escaped, unescaped, squoted;
    } cases[] = {
        {"plain", "plain", "plain", "plain"},
        {"a\\b", "a\\\\b", "a\\b", "a\\b"},
        {"a\\\\b", "a\\\\\\\\b", "a\\b", "a\\\\b"},
        {"a\\\\\\b", "a\\\\\\\\\\\\b", "a\\\\b", "a\\\\\\b"},
        {"it's", "it's", "it's", "it\\'s"},
        {"''", "''", "''", "\\'\\'"},
        {"", "", "", ""},
    };
    for (const auto &c : cases) {
        std::string t = c.in;
        EXPECT_EQ(escape_mysql_backslashes(t), c.escaped) << c.in;
        t = c.in;
        EXPECT_EQ(unescape_mysql_backslashes(t), c.unescaped) << c.in;
        t = c.in;
        EXPECT_EQ(escape_squote(t), c.squoted) << c.in;
        t = c.in;
        EXPECT_EQ(unescape_mysql_backslashes(escape_mysql_backslashes(t)), c.in);
    }
}

TEST(FixEndingBackslashes, EvensOutTheFinalRun) {
    const struct {
        std::string in;
        int rc;
        std::string out;
    } cases[] = {
        {"a\\", 0, "a\\\\"}, {"a\\\\", 0, "a\\\\"}, {"a\\\\\\", 0, "a\\\\\\\\"},
        {"\\", 0, "\\\\"},   {"a\\b", 0, "a\\b"},   {"abc", 0, "abc"},
        {"", -1, ""},
    };
    for (const auto &c : cases) {
        std::string t = c.in;
        EXPECT_EQ(fix_ending_backslashes(t), c.rc) << c.in;
        EXPECT_EQ(t, c.out) << c.in;
    }
}

TEST(MergeIntoFqdn, CompletesRelativeHosts) {
    const struct {
        std::string host, origin, out;
    } cases[] = {
        {"mail", "zone1.test.", "mail.zone1.test."}, {"mail.", "zone1.test.", "mail."},
        {"", "zone1.test.", "zone1.test."},          {"mail", ".zone1.test.", "mail.zone1.test."},
        {"a.b", "zone1.test.", "a.b.zone1.test."},
    };
    for (const auto &c : cases) {
        std::string h = c.host;
        EXPECT_EQ(merge_into_fqdn(h, c.origin), 0);
        EXPECT_EQ(h, c.out) << c.host << " + " << c.origin;
    }
}

TEST(Dots, AddAndRemoveOneFinalDot) {
    const struct {
        std::string in;
        int add_rc;
        std::string added;
        int rm_rc;
        std::string removed;
    } cases[] = {
        {"zone.test", 0, "zone.test.", -1, "zone.test"},
        {"zone.test.", -1, "zone.test.", 0, "zone.test"},
        {"zone.test..", -1, "zone.test..", 0, "zone.test."},
        {".", -1, ".", 0, ""},
        {"", -1, "", -1, ""},
    };
    for (const auto &c : cases) {
        std::string t = c.in;
        EXPECT_EQ(try_add_dot(t), c.add_rc) << c.in;
        EXPECT_EQ(t, c.added) << c.in;
        t = c.in;
        EXPECT_EQ(try_rm_dot(t), c.rm_rc) << c.in;
        EXPECT_EQ(t, c.removed) << c.in;
    }
}

TEST(GetDatetimeStr, FormatsMonthDayYearAndTime) {
    const std::string s = get_datetime_str();
    // "Jun 11, 2024 13:05:09"
    ASSERT_EQ(s.size(), 21u) << s;
    const char *months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    EXPECT_NE(strstr(months, s.substr(0, 3).c_str()), nullptr) << s;
    for (size_t i : {4u, 5u, 8u, 9u, 10u, 11u, 13u, 14u, 16u, 17u, 19u, 20u})
        EXPECT_TRUE(s[i] >= '0' && s[i] <= '9') << s;
    EXPECT_EQ(s.substr(6, 2), ", ");
    EXPECT_EQ(s[3], ' ');
    EXPECT_EQ(s[12], ' ');
    EXPECT_EQ(s[15], ':');
    EXPECT_EQ(s[18], ':');
}

} // namespace
