// Reverse-zone names: classification, validation, and the networks they denote.
#include "dns_validator.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

using namespace std::string_literals;

struct arpa_case {
    std::string name;
    int min_prefix;
    int expected;
};

TEST(IsArpaLightCheck, ClassifiesByContainment) {
    const struct {
        const char *name;
        int kind;
    } cases[] = {
        {"1.168.192.in-addr.arpa.", 1},
        {"0/25.2.0.192.IN-ADDR.ARPA", 1},
        {"8.b.d.0.1.0.0.2.ip6.arpa", 3},
        {"4.3.2.1.e164.arpa", 2},
        {"zone.test", 0},
        {"x.in-addr.arpa.example.test", 1},
        {"in-addr.arpa", 0},
        {"", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(is_arpa_light_check(c.name), c.kind) << c.name;
}

TEST(ValidArpaZone, DecidesIpv4ReverseNames) {
    const arpa_case cases[] = {
        {"1.168.192.IN-ADDR.ARPA", 0, 1},
        {"10.in-addr.arpa.", 0, 1},
        {"0/25.2.0.192.in-addr.arpa.", 0, 1},
        {"0-25.2.0.192.IN-ADDR.ARPA", 0, 1},
        {"128/25.2.0.192.IN-ADDR.ARPA", 0, 1},
        {"5.0/25.2.0.192.IN-ADDR.ARPA", 0, 1},
        {"4.3.2.1.IN-ADDR.ARPA", 0, 1},
        {"0/24.2.0.192.IN-ADDR.ARPA", 0, 0},
        {"0/33.2.0.192.IN-ADDR.ARPA", 0, 0},
        {"01.168.192.IN-ADDR.ARPA", 0, 0},
        {"0.IN-ADDR.ARPA", 0, 0},
        {"0.10.IN-ADDR.ARPA", 0, 1},
        {"256.IN-ADDR.ARPA", 0, 0},
        {"0/25.0.192.IN-ADDR.ARPA", 0, 0}, // classless label third
        {"1.2.0/25.192.IN-ADDR.ARPA", 0, 0},
        {"0/25.0/25.2.0.192.IN-ADDR.ARPA", 0, 0},
        {"/25.2.0.192.IN-ADDR.ARPA", 0, 0},
        {"0/25/3.2.0.192.IN-ADDR.ARPA", 0, 0},
        {"0/2a.2.0.192.IN-ADDR.ARPA", 0, 0},
        {"0/.2.0.192.IN-ADDR.ARPA", 0, 0},
        {"0/0000000000000000025.2.0.192.IN-ADDR.ARPA", 0, 0},
        {"6.5.4.3.2.1.IN-ADDR.ARPA", 0, 0},
        {"1..192.IN-ADDR.ARPA", 0, 0},
        {".IN-ADDR.ARPA", 0, 0},
        {"IN-ADDR.ARPA", 0, 0},
        {"1.192.IN-ADDR.ARPA.x", 0, 0},
        {"1.192.IN-ADDR.ARPA..", 0, 0},
        {"a.192.IN-ADDR.ARPA", 0, 0},
        {"0/25.2.0.192.IN-ADDR.ARPA", 26, 0},
        {"0/26.2.0.192.IN-ADDR.ARPA", 26, 1},
        {"2.0.192.IN-ADDR.ARPA", 26, 1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(valid_arpa_zone(c.name, c.min_prefix), c.expected)
            << c.name << " min " << c.min_prefix;
}

std::string nibbles(int n) {
    std::string s;
    for (int i = 0; i < n; ++i)
        s += "a.";
    return s;
}

TEST(ValidArpaIp6Zone, DecidesIpv6ReverseNames) {
    const arpa_case cases[] = {
        {"8.b.d.0.1.0.0.2.ip6.arpa", 0, 1},
        {"8.B.D.0.1.0.0.2.IP6.ARPA.", 0, 1},
        {"0/48.8.b.d.0.1.0.0.2.ip6.arpa", 0, 1},
        {"0-48.8.b.d.0.1.0.0.2.ip6.arpa", 0, 1},
        {"ab.cd.ip6.arpa", 0, 1}, // labels are not limited to one character
        {"00.8.ip6.arpa", 0, 0},
        {"0a.8.ip6.arpa", 0, 0},
        {"g.8.ip6.arpa", 0, 0},
        {"/48.8.ip6.arpa", 0, 0},
        {"0/8.8.ip6.arpa", 0, 0},
        {"0/129.8.ip6.arpa", 0, 0},
        {"0/48.0/56.8.ip6.arpa", 0, 0},
        {"0/4-8.8.ip6.arpa", 0, 0},
        {"a-/48.8.ip6.arpa", 0, 0},
        {"8..ip6.arpa", 0, 0},
        {".ip6.arpa", 0, 0},
        {"8.ip6.arpa.evil.test", 0, 0},
        {nibbles(33) + "ip6.arpa", 0, 1},
        {nibbles(34) + "ip6.arpa", 0, 0},
        {"0/48.8.ip6.arpa", 56, 0},
        {"0/56.8.ip6.arpa", 56, 1},
        {"8.ip6.arpa", 56, 1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(valid_arpa_ip6_zone(c.name, c.min_prefix), c.expected)
            << c.name << " min " << c.min_prefix;
}

TEST(ValidArpaE164Zone, NeedsSingleDigitsAndTheSuffixAtTheEnd) {
    const struct {
        std::string name;
        int expected;
    } cases[] = {
        {"4.3.2.1.e164.arpa", 1},
        {"4.3.2.1.E164.ARPA.", 1},
        {"1.e164.arpa", 1},
        {"43.2.1.E164.ARPA", 0},
        {"4.3.2.1.e164.arpa.victim.test", 0},
        {"4.3.e164.arpa.victim.test.", 0},
        {"4.3.e164.arpa..", 0},
        {".E164.ARPA", 0},
        {"E164.ARPA", 0},
        {"4..3.e164.arpa", 0},
        {".4.3.e164.arpa", 0},
        {"a.3.e164.arpa", 0},
        {"4.3.\0.e164.arpa"s, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(valid_arpa_e164_zone(c.name), c.expected) << c.name;
    // The length limit is on the whole name: 254 characters pass, 255 do not.
    std::string digits;
    while (digits.size() < 242)
        digits += "1.";
    digits += "1"; // 243
    EXPECT_EQ(valid_arpa_e164_zone(digits + ".E164.ARPA."), 1);
    EXPECT_EQ(valid_arpa_e164_zone("1." + digits + ".E164.ARPA"), 0);
}

TEST(ValidIpPart, DecidesPartialAddresses) {
    const struct {
        const char *text;
        int allow_prefix, min_prefix, expected;
    } cases[] = {
        {"192", 0, 0, 1},          {"192.168", 0, 0, 1},
        {"192.168.1.0", 0, 0, 1},  {"192.168.1.0.1", 0, 0, 0},
        {"256", 0, 0, 0},          {"1234", 0, 0, 0},
        {"1.", 0, 0, 0},           {".1", 0, 0, 0},
        {"1..2", 0, 0, 0},         {"1/24", 0, 0, 0},
        {"10.0.0.0/8", 1, 0, 1},   {"10.0/16", 1, 0, 1},
        {"10/0", 1, 0, 0},         {"10/33", 1, 0, 0},
        {"/8", 1, 0, 0},           {"10/8.1/8", 1, 0, 0},
        {"10/8/8", 1, 0, 0},       {"10.0.0.0/24", 1, 25, 0},
        {"10.0.0.0/25", 1, 25, 1}, {"0012", 1, 0, 1},
        {"1/", 1, 0, 0},           {"", 0, 0, 0},
        {"1.2.3.4 ", 0, 0, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(valid_ip_part(c.text, c.allow_prefix, c.min_prefix), c.expected) << c.text;
}

struct split4_case {
    std::string name;
    int rc;
    const char *text;
    const char *address;
    int prefix;
};

TEST(SplitArpaIpv4, TurnsNamesIntoNetworks) {
    const split4_case cases[] = {
        {"10.IN-ADDR.ARPA", 0, "10", "10.0.0.0", 8},
        {"168.192.in-addr.arpa.", 0, "192.168", "192.168.0.0", 16},
        {"1.168.192.IN-ADDR.ARPA", 0, "192.168.1", "192.168.1.0", 24},
        {"7.1.168.192.IN-ADDR.ARPA", 0, "192.168.1.7", "192.168.1.7", 32},
        {"0/25.1.168.192.IN-ADDR.ARPA", 0, "192.168.1.0", "192.168.1.0", 25},
        {"128-26.1.168.192.IN-ADDR.ARPA", 0, "192.168.1.128", "192.168.1.128", 26},
        {"5.0/25.1.168.192.IN-ADDR.ARPA", 0, "192.168.1.5", "192.168.1.5", 32},
        {"255.255.255.255.IN-ADDR.ARPA", 0, "255.255.255.255", "255.255.255.255", 32},
    };
    for (const auto &c : cases) {
        arpa_ipv4_net net;
        ASSERT_EQ(split_arpa_ipv4(c.name, net), c.rc) << c.name;
        EXPECT_STREQ(net.text, c.text) << c.name;
        EXPECT_EQ(net.address, ntohl(inet_addr(c.address))) << c.name;
        EXPECT_EQ(net.prefix, c.prefix) << c.name;
    }
}

TEST(SplitArpaIpv4, RefusesNamesOutsideTheValidatorsLanguage) {
    const std::string refused[] = {
        "130.0/25.1.168.192.IN-ADDR.ARPA", // host outside the classless network
        "5.0.1.168.192.IN-ADDR.ARPA",      // second label is not classless
        "6.5.4.3.2.1.IN-ADDR.ARPA",        // more than five labels
        "1234.168.192.IN-ADDR.ARPA",
        "99999999999999999999.IN-ADDR.ARPA",
        "0/99999999999.1.168.192.IN-ADDR.ARPA",
        "0/0.1.168.192.IN-ADDR.ARPA",
        "0/25.1.168.192.IN-ADDR.ARPA.x",
        "1.x.168.192.IN-ADDR.ARPA",
        "1.168.192",
        "",
        ".IN-ADDR.ARPA",
        "1.\0.192.IN-ADDR.ARPA"s,
        "1/25.1/25.1.1.IN-ADDR.ARPA",
    };
    for (const auto &name : refused) {
        arpa_ipv4_net net;
        net.prefix = 99;
        EXPECT_EQ(split_arpa_ipv4(name, net), -1) << name;
        EXPECT_EQ(net.prefix, 0) << name;
        EXPECT_EQ(net.text[0], '\0') << name;
    }
}

TEST(SplitArpaIpv6, CollectsNibblesAndThePrefix) {
    arpa_ipv6_net net;
    ASSERT_EQ(split_arpa_ipv6("0/48.8.B.d.0.1.0.0.2.IP6.ARPA.", net), 0);
    EXPECT_EQ(net.count, 9);
    EXPECT_STREQ(net.nibbles, "08Bd01002");
    EXPECT_EQ(net.prefix, 48u);

    ASSERT_EQ(split_arpa_ipv6("ab.c.ip6.arpa", net), 0);
    EXPECT_EQ(net.count, 2);
    EXPECT_STREQ(net.nibbles, "ac");
    EXPECT_EQ(net.prefix, 0u);

    ASSERT_EQ(split_arpa_ipv6("0/56.0-48.8.ip6.arpa", net), 0);
    EXPECT_EQ(net.prefix, 48u); // the last such label wins
}

TEST(SplitArpaIpv6, StaysInsideTheRecord) {
    std::string sixty_three, sixty_four;
    for (int i = 0; i < 63; ++i)
        sixty_three += "f.";
    sixty_four = "e." + sixty_three;
    arpa_ipv6_net net;
    ASSERT_EQ(split_arpa_ipv6(sixty_three + "ip6.arpa", net), 0);
    EXPECT_EQ(net.count, 63);
    EXPECT_EQ(net.nibbles[63], '\0');
    EXPECT_EQ(split_arpa_ipv6(sixty_four + "ip6.arpa", net), -1);
    EXPECT_EQ(net.count, 0);
    EXPECT_EQ(split_arpa_ipv6(std::string(65536, '.'), net), -1);
    EXPECT_EQ(split_arpa_ipv6("a..ip6.arpa", net), -1);
    EXPECT_EQ(split_arpa_ipv6("0/999.ip6.arpa", net), -1);
    EXPECT_EQ(split_arpa_ipv6("", net), -1);
}

TEST(MergeArpaIpv4, WritesTheReverseNameOfANetwork) {
    const struct {
        const char *text;
        int prefix, rc;
        const char *name;
    } cases[] = {
        {"10", 8, 0, "10.IN-ADDR.ARPA"},
        {"192.168", 16, 0, "168.192.IN-ADDR.ARPA"},
        {"192.168.1", 24, 0, "1.168.192.IN-ADDR.ARPA"},
        {"192.168.1.128", 25, 0, "128/25.1.168.192.IN-ADDR.ARPA"},
        {"192.168.1.5", 32, 0, "5/32.1.168.192.IN-ADDR.ARPA"},
        {"192.168", 24, -1, ""},
        {"192.168.1", 25, -1, ""},
        {"192.168.1.0", 12, -1, ""},
        {"192.168.1.0", 33, -1, ""},
        {"1.2.3.4.5", 8, -1, ""},
        {"a.b", 16, -1, ""},
        {"", 8, -1, ""},
    };
    for (const auto &c : cases) {
        arpa_ipv4_net net;
        snprintf(net.text, sizeof net.text, "%s", c.text);
        net.prefix = c.prefix;
        std::string name = "unchanged";
        EXPECT_EQ(merge_arpa_ipv4(net, name), c.rc) << c.text << "/" << c.prefix;
        EXPECT_EQ(name, c.rc == 0 ? c.name : "unchanged") << c.text << "/" << c.prefix;
    }
}

TEST(MergeArpaIpv4, ReadsAnUnterminatedTextOnlyToItsEnd) {
    arpa_ipv4_net net;
    memset(net.text, '1', sizeof net.text);
    net.prefix = 8;
    std::string name;
    EXPECT_EQ(merge_arpa_ipv4(net, name), -1);
}

TEST(SplitAndMergeArpaIpv4, AreInversesForNetworks) {
    for (const char *name : {"10.IN-ADDR.ARPA", "168.192.IN-ADDR.ARPA", "1.168.192.IN-ADDR.ARPA",
                             "0/25.1.168.192.IN-ADDR.ARPA", "192/26.1.168.192.IN-ADDR.ARPA"}) {
        arpa_ipv4_net net;
        ASSERT_EQ(split_arpa_ipv4(name, net), 0) << name;
        std::string back;
        ASSERT_EQ(merge_arpa_ipv4(net, back), 0) << name;
        EXPECT_EQ(back, name);
    }
}

} // namespace
