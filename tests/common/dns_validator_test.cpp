// Name and record validators and the NAPTR line repair.
#include "dns_validator.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

struct name_case {
    std::string text;
    int flag;
    int expected;
};

std::string label_of(size_t n) {
    return std::string(n, 'a');
}

TEST(ValidFqDomain, DecidesLengthLabelsAndCharacters) {
    const name_case cases[] = {
        {"a.bc", 1, 1},
        {"a.b", 1, 0}, // below four characters
        {"host.test.", 1, 1},
        {"host.test..", 1, 0},
        {".host.test", 1, 0},
        {"host..test", 1, 0},
        {"single", 1, 0},
        {"single.", 1, 0},
        {"a--b.test", 1, 1},
        {"-ab.test", 1, 0},
        {"ab-.test", 1, 0},
        {"_sip.x.test", 1, 0},
        {"_sip.x.test", 2, 0}, // any non-zero flag is strict
        {"_sip.x.test", 0, 1},
        {label_of(63) + ".test", 1, 1},
        {label_of(64) + ".test", 1, 0},
        {"host.test\n", 1, 0},
        {"host.te\0st"s, 1, 0},
        {"h\xc3\xa9.test", 1, 0},
        {"h st.test", 1, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(valid_fq_domain(c.text, c.flag), c.expected) << c.text << " strict " << c.flag;
}

TEST(ValidFqDomain, LimitsTheWholeNameTo255) {
    std::string name;
    while (name.size() < 250)
        name += label_of(49) + ".";
    name += "abcd"; // 254 characters
    ASSERT_EQ(name.size(), 254u);
    EXPECT_EQ(valid_fq_domain(name, 1), 1);
    EXPECT_EQ(valid_fq_domain(name + "e", 1), 1);
    EXPECT_EQ(valid_fq_domain(name + "ef", 1), 0);
}

TEST(ValidDomainPart, OnlyOneIsStrictAndAFinalDotNeedsTwoCharacters) {
    const name_case cases[] = {
        {"a1.", 1, 1},        {"a.", 1, 0},         {"a", 1, 1},    {"a-b", 1, 1}, {"-a", 1, 0},
        {"a-", 1, 0},         {"a-.", 1, 0},        {"ab..", 1, 0}, {"_x", 1, 0},  {"_x", 2, 1},
        {"_x", 0, 1},         {"", 0, 0},           {"a.b", 0, 0},  {"a\n", 1, 0}, {"a\0"s, 1, 0},
        {label_of(63), 1, 1}, {label_of(64), 1, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(valid_domain_part(c.text, c.flag), c.expected) << c.text << " strict " << c.flag;
}

TEST(ValidAlias, AcceptsOneLeadingWildcardLabel) {
    const name_case cases[] = {
        {"*.host.test", 1, 1}, {"*host.test", 1, 0}, {"**.host.test", 1, 0},
        {"*.ab", 1, 0},        {"*.a.bc", 1, 1},     {"host.*.test", 1, 0},
        {"*._x.test", 1, 0},   {"*._x.test", 0, 1},  {"a.b", 0, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(valid_alias(c.text, c.flag), c.expected) << c.text;
}

struct subdomain_case {
    const char *name;
    const char *zone;
    int allow_equal, single_label, expected;
};

TEST(ValidSubdomain, MatchesTheZoneAtALabelBoundary) {
    const subdomain_case cases[] = {
        {"host1.zone.test", "zone.test", 0, 1, 1},
        {"a.b.zone.test", "zone.test", 0, 1, 0},
        {"a.b.zone.test", "zone.test", 0, 0, 1},
        {"zone.test", "zone.test", 0, 0, 0},
        {"zone.test", "zone.test", 1, 0, 1},
        {"zone.test", "zone.test", 1, 1, 1},
        {"evilzone.test", "zone.test", 0, 0, 0},
        {"evilzone.test", "zone.test", 1, 1, 0},
        {"a.evilzone.test.", "zone.test.", 0, 0, 0},
        {"zone.test.other", "zone.test", 0, 0, 0},
        {"host.Zone.test", "zone.test", 0, 0, 0}, // exact text
        {"", "zone.test", 1, 0, 0},
        {"host.zone.test", "", 1, 0, 0},
        {"test", "zone.test", 1, 0, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(valid_subdomain(c.name, c.zone, c.allow_equal, c.single_label), c.expected)
            << c.name << " in " << c.zone;
}

struct zone_case {
    const char *host;
    const char *zone;
    int expected;
};

TEST(ValidSrvHost, NeedsKnownServiceAndProtocolInsideTheZone) {
    const srv_name_set services = {"sip", "xmpp-server"};
    const srv_name_set protocols = {"tcp", "udp"};
    const zone_case cases[] = {
        {"_sip._tcp.zone.test", "zone.test", 1},
        {"_sip._tcp.zone.test.", "zone.test.", 1},
        {"_xmpp-server._udp.zone.test", "zone.test", 1},
        {"_sip.zone.test", "zone.test", 0},
        {"*._tcp.zone.test", "zone.test", 1},
        {"_*._tcp.zone.test", "zone.test", 0},
        {"_ftp._tcp.zone.test", "zone.test", 0},
        {"_sip._sctp.zone.test", "zone.test", 0},
        {"sip._tcp.zone.test", "zone.test", 0},
        {"_sip.tcp.zone.test", "zone.test", 0},
        {"_sip._tcp.host.zone.test", "zone.test", 1},
        {"_sip._tcp.ho_st.zone.test", "zone.test", 0},
        {"_sip._tcp..zone.test", "zone.test", 0},
        {"._tcp.zone.test", "zone.test", 0},
        {"_sip._tcp.evilzone.test", "zone.test", 0},
        {"_sip._tcpzone.test", "zone.test", 0},
        {"_sip._tcp.zone.test", "", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(valid_srv_host(c.host, c.zone, services, protocols), c.expected)
            << c.host << " in " << c.zone;
}

TEST(ValidTxtHost, ChecksEveryOwnerAndKeepsAbsoluteOwnersInTheZone) {
    const zone_case cases[] = {
        {"www.zone.test.", "zone.test.", 1},
        {"_dmarc.zone.test.", "zone.test.", 1},
        {"*.zone.test.", "zone.test.", 1},
        {"*.www.zone.test.", "zone.test.", 1},
        {"zone.test.", "zone.test.", 1},
        {"WWW.Zone.Test.", "zone.test.", 1},
        {"www.zone.test", "zone.test", 1},
        {"www", "zone.test.", 1}, // relative owner
        {"a.b", "zone.test.", 1},
        // absolute owners outside the zone, even short ones
        {"www.evil.test.", "zone.test.", 0},
        {"evil.test.", "zone.test.", 0},
        {"x.", "zone.test.", 0},
        {"a.evilzone.test.", "zone.test.", 0},
        {"www.evil.test", "zone.test", 0},
        // characters and labels of short owners
        {"a;b", "zone.test.", 0},
        {"a b", "zone.test.", 0},
        {"a\"b", "zone.test.", 0},
        {"a\nb", "zone.test.", 0},
        {"..zone.test.", "zone.test.", 0},
        {".zone.test.", "zone.test.", 0},
        {"*", "zone.test.", 0},
        {"*x.zone.test.", "zone.test.", 0},
        {"*.", "zone.test.", 0},
        {"", "zone.test.", 0},
        {"www.zone.test.", "", 0},
        // a relative owner longer than the zone needs the separator in place
        {"abcdefghijklmnop", "zone.test.", 0},
        {"abcde.ghijklmnop", "zone.test.", 1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(valid_txt_host(c.host, c.zone), c.expected) << c.host << " in " << c.zone;
}

TEST(ValidTxtHost, MeasuresEveryLabel) {
    EXPECT_EQ(valid_txt_host(label_of(63) + ".zone.test.", "zone.test."), 1);
    EXPECT_EQ(valid_txt_host(label_of(64) + ".zone.test.", "zone.test."), 0);
    EXPECT_EQ(valid_txt_host("a." + label_of(64) + ".zone.test.", "zone.test."), 0);
    EXPECT_EQ(valid_txt_host(label_of(64), "zone.test."), 0);
    EXPECT_EQ(valid_txt_host("a\0b"s, "zone.test."), 0);
}

TEST(ValidTxt, RefusesWhatCannotStandInQuotes) {
    const struct {
        std::string text;
        int expected;
    } cases[] = {
        {"v=spf1 -all", 1},
        {"a", 1},
        {"", 0},
        {std::string(4096, 'x'), 1},
        {std::string(4097, 'x'), 0},
        {"tab\there", 0},
        {"pipe|here", 0},
        {"quote\"here", 0},
        {"caf\xc3\xa9", 0},
        {"\x7f", 0},
        {"nul\0here"s, 0},
        {"ends\\", 0},
        {"ends\\\\", 1},
        {"ends\\\\\\", 0},
        {"\\", 0},
        {"\\\\", 1},
        {"in\\side", 1},
        {"~ !#$%&'()*+,-./:;<=>?@[]^_`{}", 1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(valid_txt(c.text), c.expected) << c.text;
}

TEST(ValidNaptrFlag, AcceptsTheEmptyFlagAndUASP) {
    for (char c : std::string("UASPuasp\0"s))
        EXPECT_EQ(valid_naptr_flag(c), 1) << int(c);
    for (char c : std::string("BXz1 !\x80"))
        EXPECT_EQ(valid_naptr_flag(c), 0) << int(c);
}

TEST(ValidNaptrRegexp, NeedsThreeBangsAndAnOptionalCaseFlag) {
    const struct {
        const char *text;
        int expected;
    } cases[] = {
        {"!^.*$!sip:service!", 1},
        {"!^.*$!sip:service!i", 1},
        {"!^.*$!sip:service!I", 1},
        {"!^.*$!sip:service!x", 0},
        {"!^.*$!sip:service!ii", 0},
        {"!a!", 0},
        {"!a!b!c!", 0},
        {"!a\"!b!", 0},
        {"", 0},
        {"!!!", 1},
        {"!a|b!c!", 1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(valid_naptr_regexp(c.text), c.expected) << c.text;
}

TEST(ValidNamedIpv4, RefusesLeadingZerosAfterTheFirstOctet) {
    const struct {
        const char *text;
        int plain, cidr;
    } cases[] = {
        {"10.0.0.1", 1, 1},    {"10.01.0.1", 0, 0},  {"10.0.0.01", 0, 0},
        {"010.0.0.1", 1, 1},   {"10.0.0.0/8", 0, 1}, {"10.0.0.0/08", 0, 1},
        {"10.0.0.0/33", 0, 0}, {"10.0.00/8", 0, 0},  {"10.0.0.256", 0, 0},
        {"10.0.0", 0, 0},      {"", 0, 0},           {"10.0.0.1 ", 0, 0},
        {"10.0.0.0/", 0, 0},   {"1.2.3.4.5", 0, 0},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(valid_named_ipv4(c.text), c.plain) << c.text;
        EXPECT_EQ(valid_named_ipv4_cidr(c.text), c.cidr) << c.text;
    }
}

TEST(ValidWildcard, NeedsAnIp6NameHoldingTheZoneAsWholeLabels) {
    const zone_case cases[] = {
        {"*.1.0.8.b.d.0.1.0.0.2.ip6.arpa.", "8.b.d.0.1.0.0.2.ip6.arpa.", 1},
        {"*.1.0.8.b.d.0.1.0.0.2.IP6.ARPA", "8.B.D.0.1.0.0.2.ip6.arpa", 1},
        {"*.8.b.d.0.1.0.0.2.ip6.arpa", "8.b.d.0.1.0.0.2.ip6.arpa", 1},
        {"*.1.0.8.b.d.0.1.0.0.2.ip6.arpa", "b.d.0.1.0.0.2.ip6.arpa", 1},
        // "8.b.d..." must not match inside the label "18"
        {"*.18.b.d.0.1.0.0.2.ip6.arpa", "8.b.d.0.1.0.0.2.ip6.arpa", 0},
        {"*.1.0.9.b.d.0.1.0.0.2.ip6.arpa", "8.b.d.0.1.0.0.2.ip6.arpa", 0},
        {"1.0.8.b.d.0.1.0.0.2.ip6.arpa", "8.b.d.0.1.0.0.2.ip6.arpa", 0},
        {"*1.0.8.b.d.0.1.0.0.2.ip6.arpa", "8.b.d.0.1.0.0.2.ip6.arpa", 0},
        {"*.host.zone.test", "zone.test", 0},
        {"*.1.0.8.b.d.0.1.0.0.2.ip6.arpa", "", 0},
        {"*.", "ip6.arpa", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(valid_wildcard(c.host, c.zone), c.expected) << c.host << " in " << c.zone;
}

std::vector<std::string> fields_of(const std::string &line) {
    std::vector<std::string> f;
    size_t start = 0;
    while (true) {
        size_t bar = line.find('|', start);
        f.push_back(line.substr(start, bar - start));
        if (bar == std::string::npos)
            return f;
        start = bar + 1;
    }
}

TEST(MangleNaptrLine, RegroupsAnExpressionHoldingTheSeparator) {
    // Data sits in the odd fields; the even ones are empty placeholders.
    const std::string line = "|NAPTR||host||!^(a|b)$!sip:x@y!i||10||20||u|";
    std::vector<std::string> fields = fields_of(line);
    ASSERT_EQ(fields[6], "b)$!sip:x@y!i");
    ASSERT_EQ(mangle_naptr_line(line, fields), 0);
    const std::vector<std::string> expected = {
        "", "NAPTR", "", "host", "", "!^(a|b)$!sip:x@y!i", "", "10", "", "20", "", "u", ""};
    EXPECT_EQ(fields, expected);
}

TEST(MangleNaptrLine, KeepsAnExpressionWithoutCaseFlag) {
    const std::string line = "| naptr ||h||!a|b|c!x!||1|";
    std::vector<std::string> fields = fields_of(line);
    ASSERT_EQ(mangle_naptr_line(line, fields), 0);
    const std::vector<std::string> expected = {"", "naptr", "", "h", "", "!a|b|c!x!", "", "1", ""};
    EXPECT_EQ(fields, expected);
}

TEST(MangleNaptrLine, LeavesOtherLinesAndRefusesBrokenOnes) {
    const struct {
        std::string line;
        int rc;
    } cases[] = {
        {"|A||host||1.2.3.4|", 0},
        {"|NAPTR||host||!a!b!||10||u|", 0}, // placeholder 6 empty: nothing to regroup
        {"|NAPTR||host|", -1},              // too few fields
        {"|NAPTR||host||a|b||1|", -1},      // no "!" to rebuild from
    };
    for (const auto &c : cases) {
        std::vector<std::string> fields = fields_of(c.line);
        const std::vector<std::string> before = fields;
        EXPECT_EQ(mangle_naptr_line(c.line, fields), c.rc) << c.line;
        EXPECT_EQ(fields, before) << c.line;
    }
    std::vector<std::string> none;
    EXPECT_EQ(mangle_naptr_line("|NAPTR|", none), -1);
    std::vector<std::string> one = {""};
    EXPECT_EQ(mangle_naptr_line("|NAPTR|", one), -1);
}

} // namespace
