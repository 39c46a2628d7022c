// IPv6 text, ACL entries and the containment tests of reverse networks.
#include "dns_validator.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <string>

namespace {

using namespace std::string_literals;

TEST(CompressIpv6, WritesTheCanonicalTextOrLeavesTheInputAlone) {
    const struct {
        std::string in;
        int rc;
        std::string out;
    } cases[] = {
        {"2001:0DB8:0000:0000:0000:0000:0000:0001", 1, "2001:db8::1"},
        {"::1", 1, "::1"},
        {"0:0:0:0:0:0:0:0", 1, "::"},
        {"2001:db8:0:0:1:0:0:1", 1, "2001:db8::1:0:0:1"},
        {"::ffff:192.0.2.1", 1, "::ffff:192.0.2.1"},
        {"192.0.2.1", 0, "192.0.2.1"},
        {"2001:db8::1::2", 0, "2001:db8::1::2"},
        {"2001:db8::g", 0, "2001:db8::g"},
        {"::1\0junk"s, 0, "::1\0junk"s},
        {"", 0, ""},
        {std::string(70000, ':'), 0, std::string(70000, ':')},
    };
    for (const auto &c : cases) {
        std::string text = c.in;
        EXPECT_EQ(compress_ipv6(text), c.rc) << c.in.substr(0, 60);
        EXPECT_EQ(text, c.out) << c.in.substr(0, 60);
        EXPECT_EQ(valid_ipv6(c.in), c.rc) << c.in.substr(0, 60);
    }
}

TEST(Ipv6Cidr, ValidatesAndCompressesAddressAndPrefix) {
    const struct {
        const char *in;
        int rc;
        const char *out;
    } cases[] = {
        {"2001:0db8:0000::/32", 1, "2001:db8::/32"},
        {"2001:db8::-48", 1, "2001:db8::-48"},
        {"2001:DB8::1", 1, "2001:db8::1"},
        {"2001:db8::/128", 1, "2001:db8::/128"},
        {"2001:db8::/0", 0, nullptr},
        {"2001:db8::/129", 0, nullptr},
        {"2001:db8::/32x", 0, nullptr},
        {"2001:db8::/0032", 0, nullptr},
        {"2001:db8::/", 0, nullptr},
        {"2001:db8::/-3", 0, nullptr},
        {"10.0.0.0/8", 0, nullptr},
        {"/64", 0, nullptr},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(valid_ipv6_cidr(c.in), c.rc) << c.in;
        std::string text = c.in;
        EXPECT_EQ(compress_ipv6_cidr(text), c.rc) << c.in;
        EXPECT_EQ(text, c.rc ? c.out : c.in) << c.in;
    }
}

TEST(Str2netaddr, TriesIpv4ThenIpv6) {
    net_addr net;
    ASSERT_EQ(str2netaddr("192.0.2.1", net), 1);
    EXPECT_EQ(net.family, AF_INET);
    EXPECT_EQ(net.address[0], 192);
    EXPECT_EQ(net.address[3], 1);
    ASSERT_EQ(str2netaddr("2001:db8::1", net), 1);
    EXPECT_EQ(net.family, AF_INET6);
    EXPECT_EQ(net.address[0], 0x20);
    EXPECT_EQ(net.address[15], 1);
    const std::string refused[] = {"", "host.test", "192.0.2", "192.0.2.1\0x"s, "192.0.2.1 "};
    for (const auto &bad : refused)
        EXPECT_EQ(str2netaddr(bad, net), 0) << bad;
}

net_addr addr(const char *text) {
    net_addr n;
    EXPECT_EQ(str2netaddr(text, n), 1) << text;
    return n;
}

TEST(ValidAclPrefix, RefusesHostBitsAndPrefixesBeyondTheFamily) {
    const struct {
        const char *address;
        int prefix, expected;
    } cases[] = {
        {"192.168.1.0", 24, 1},   {"192.168.1.1", 24, 0},    {"192.168.1.128", 25, 1},
        {"192.168.1.129", 25, 0}, {"192.168.1.1", 32, 1},    {"192.168.1.0", 33, 0},
        {"10.0.0.0", 7, 1},       {"11.0.0.0", 7, 0},        {"0.0.0.0", 0, 1},
        {"2001:db8::", 32, 1},    {"2001:db8::1", 64, 0},    {"2001:db8::8000:0:0:0", 64, 0},
        {"2001:db8::100", 64, 0}, {"2001:db8:0:1::", 64, 1}, {"2001:db8::1", 128, 1},
        {"2001:db8::", 129, 0},   {"2001:db8::", -1, 0},     {"ff00::", 8, 1},
        {"ff80::", 8, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(valid_acl_prefix(addr(c.address), c.prefix), c.expected)
            << c.address << "/" << c.prefix;
    net_addr other;
    other.family = 1;
    EXPECT_EQ(valid_acl_prefix(other, 8), 0);
}

TEST(ValidAclIpCidr, AcceptsAddressesAndNetworksWithoutHostBits) {
    const struct {
        std::string text;
        int expected;
    } cases[] = {
        {"10.0.0.1", 1},
        {"10.0.0.0-8", 1},
        {"10.0.0.128/25", 1},
        {"10.0.0.129/25", 0},
        {"192.168.1.0/24", 1},
        {"192.168.1.1/24", 0},
        {"10.0.0.0/0", 0},
        {"10.0.0.0/33", 0},
        {"2001:db8::/32", 1},
        {"2001:db8::1/64", 0},
        {"2001:db8::1/128", 1},
        {"2001:db8::/129", 0},
        {"10.0.0.0/8junk", 0},
        {"10.0.0.0/8 ", 0},
        {"10.0.0.0/08", 1},
        {"10.0.0.0/0008", 0},
        {"10.0.0.0/+8", 0},
        {"10.0.0.0/", 0},
        {"10.0.0.0/4294967304", 0},
        {"/8", 0},
        {"", 0},
        {"10.0.0.0/8\0"s, 0},
        {"10.0.0.0\0/8"s, 0},
        {"any", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(valid_acl_ip_cidr(c.text), c.expected) << c.text;
}

arpa_ipv4_net net4(const char *address, int prefix) {
    arpa_ipv4_net n;
    n.address = ntohl(inet_addr(address));
    n.prefix = prefix;
    return n;
}

TEST(Ipv4Networks, CompareUnderTheirMasks) {
    const struct {
        const char *a;
        int pa;
        const char *b;
        int pb;
        int eq, subnet;
    } cases[] = {
        {"192.168.1.5", 32, "192.168.1.0", 25, 0, 1},
        {"192.168.1.5", 32, "192.168.1.128", 25, 0, 0},
        {"192.168.1.0", 24, "192.168.1.77", 24, 1, 1},
        {"192.168.2.0", 24, "192.168.0.0", 16, 0, 1},
        {"192.168.0.0", 16, "192.168.2.0", 24, 0, 0},
        {"10.0.0.0", 8, "10.255.0.0", 8, 1, 1},
        {"10.0.0.1", 0, "10.0.0.1", 32, 1, 1}, // prefix 0 acts as 32
        {"10.0.0.1", 32, "10.0.0.2", 0, 0, 0},
        {"10.0.0.1", 32, "10.0.0.2", 40, 0, 1}, // out of range: (32 - 40) mod 32 gives /8
    };
    for (const auto &c : cases) {
        EXPECT_EQ(is_network_eq(net4(c.a, c.pa), net4(c.b, c.pb)), c.eq) << c.a << " " << c.b;
        EXPECT_EQ(is_subnet(net4(c.a, c.pa), net4(c.b, c.pb)), c.subnet) << c.a << " " << c.b;
    }
}

arpa_ipv6_net net6(const char *name) {
    arpa_ipv6_net n;
    EXPECT_EQ(split_arpa_ipv6(name, n), 0) << name;
    return n;
}

TEST(IsSubnetIp6, NeedsTheParentsNibblesAndALongerPrefix) {
    const struct {
        const char *child, *parent;
        int expected;
    } cases[] = {
        {"1.0.8.b.d.0.1.0.0.2.ip6.arpa", "8.b.d.0.1.0.0.2.ip6.arpa", 1},
        {"8.b.d.0.1.0.0.2.ip6.arpa", "8.b.d.0.1.0.0.2.ip6.arpa", 1},
        {"1.0.9.b.d.0.1.0.0.2.ip6.arpa", "8.b.d.0.1.0.0.2.ip6.arpa", 0},
        {"b.d.0.1.0.0.2.ip6.arpa", "8.b.d.0.1.0.0.2.ip6.arpa", 0},
        // child prefix must exceed four times the parent's nibbles (32 here)
        {"0/36.8.b.d.0.1.0.0.2.ip6.arpa", "8.b.d.0.1.0.0.2.ip6.arpa", 1},
        {"0/32.8.b.d.0.1.0.0.2.ip6.arpa", "8.b.d.0.1.0.0.2.ip6.arpa", 0},
        {"0/56.8.b.d.0.1.0.0.2.ip6.arpa", "0/48.8.b.d.0.1.0.0.2.ip6.arpa", 1},
        {"0/56.9.b.d.0.1.0.0.2.ip6.arpa", "0/48.8.b.d.0.1.0.0.2.ip6.arpa", 0},
        {"1.0/56.8.ip6.arpa", "0/48.8.ip6.arpa", 1},
        {"1.0/48.8.ip6.arpa", "0/48.8.ip6.arpa", 0},
        {"1.0.8.ip6.arpa", "0/48.8.ip6.arpa", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(is_subnet_ip6(net6(c.child), net6(c.parent)), c.expected)
            << c.child << " in " << c.parent;
}

TEST(IsSubnetIp6, RefusesRecordsWithImpossibleCounts) {
    arpa_ipv6_net child = net6("1.0.8.ip6.arpa"), parent = net6("8.ip6.arpa");
    parent.count = 65;
    EXPECT_EQ(is_subnet_ip6(child, parent), 0);
    parent.count = -1;
    EXPECT_EQ(is_subnet_ip6(child, parent), 0);
    child.count = 1000;
    parent.count = 1;
    EXPECT_EQ(is_subnet_ip6(child, parent), 0);
}

TEST(GetMaskSimple, CountsTheLabelsInFrontOfTheSuffix) {
    const struct {
        const char *name;
        int expected;
    } cases[] = {
        {"10.IN-ADDR.ARPA", 0},
        {"1.10.in-addr.arpa", 8},
        {"1.168.192.IN-ADDR.ARPA", 16},
        {"0/25.1.168.192.IN-ADDR.ARPA.", 24},
        {"5.0/25.1.168.192.IN-ADDR.ARPA", 32},
        {"6.5.0/25.1.168.192.IN-ADDR.ARPA", -1},
        {"1.168.192.", 16}, // without the suffix: the dots less the last character
        {"1.168.192", 16},
        {"", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(get_mask_simple(c.name), c.expected) << c.name;
}

} // namespace
