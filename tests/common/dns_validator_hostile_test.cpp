// Every validator answers hostile texts (64 KiB, every byte value, NUL, empty, thousands of
// labels) with its ordinary result; run under the sanitizer build this also proves that
// nothing is read or written out of bounds.
#include "dns_validator.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>

namespace {

std::string repeat(const std::string &piece, size_t times) {
    std::string s;
    s.reserve(piece.size() * times);
    for (size_t i = 0; i < times; ++i)
        s += piece;
    return s;
}

std::string all_bytes(size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>(i & 0xff);
    return s;
}

const srv_name_set services = {"sip"};
const srv_name_set protocols = {"tcp"};

using check = std::function<int(const std::string &)>;

const std::map<std::string, check> &checks() {
    static const std::map<std::string, check> all = {
        {"valid_fq_domain", [](const std::string &s) { return valid_fq_domain(s, 0); }},
        {"valid_domain_part", [](const std::string &s) { return valid_domain_part(s, 0); }},
        {"valid_alias", [](const std::string &s) { return valid_alias(s, 0); }},
        {"valid_wildcard", [](const std::string &s) { return valid_wildcard(s, "ip6.arpa."); }},
        {"valid_subdomain",
         [](const std::string &s) { return valid_subdomain(s, "zone.test.", 1, 0); }},
        {"valid_srv_host",
         [](const std::string &s) { return valid_srv_host(s, "zone.test.", services, protocols); }},
        {"valid_txt_host", [](const std::string &s) { return valid_txt_host(s, "zone.test."); }},
        {"valid_txt", [](const std::string &s) { return valid_txt(s); }},
        {"valid_naptr_regexp", [](const std::string &s) { return valid_naptr_regexp(s); }},
        {"valid_named_ipv4", [](const std::string &s) { return valid_named_ipv4(s); }},
        {"valid_named_ipv4_cidr", [](const std::string &s) { return valid_named_ipv4_cidr(s); }},
        {"is_arpa_light_check", [](const std::string &s) { return is_arpa_light_check(s); }},
        {"valid_arpa_zone", [](const std::string &s) { return valid_arpa_zone(s, 0); }},
        {"valid_arpa_ip6_zone", [](const std::string &s) { return valid_arpa_ip6_zone(s, 0); }},
        {"valid_arpa_e164_zone", [](const std::string &s) { return valid_arpa_e164_zone(s); }},
        {"valid_ip_part", [](const std::string &s) { return valid_ip_part(s, 1, 0); }},
        {"valid_ipv6", [](const std::string &s) { return valid_ipv6(s); }},
        {"valid_ipv6_cidr", [](const std::string &s) { return valid_ipv6_cidr(s); }},
        {"valid_acl_ip_cidr", [](const std::string &s) { return valid_acl_ip_cidr(s); }},
        {"compress_ipv6",
         [](const std::string &s) {
             std::string t = s;
             int rc = compress_ipv6(t);
             return rc == 0 && t != s ? -99 : rc; // a refused text must stay unchanged
         }},
        {"compress_ipv6_cidr",
         [](const std::string &s) {
             std::string t = s;
             int rc = compress_ipv6_cidr(t);
             return rc == 0 && t != s ? -99 : rc;
         }},
        {"split_arpa_ipv4",
         [](const std::string &s) {
             arpa_ipv4_net n;
             return split_arpa_ipv4(s, n);
         }},
        {"split_arpa_ipv6",
         [](const std::string &s) {
             arpa_ipv6_net n;
             return split_arpa_ipv6(s, n);
         }},
        {"get_mask_simple", [](const std::string &s) { return get_mask_simple(s); }},
    };
    return all;
}

struct hostile_case {
    const char *what;
    std::string text;
    // Every check answers 0 unless listed here.
    std::map<std::string, int> answers;
};

TEST(HostileInput, EveryValidatorAnswers) {
    const std::map<std::string, int> refused_splits = {{"split_arpa_ipv4", -1},
                                                       {"split_arpa_ipv6", -1}};
    auto with = [&](std::map<std::string, int> extra) {
        std::map<std::string, int> m = refused_splits;
        for (auto &[k, v] : extra)
            m[k] = v;
        return m;
    };
    const hostile_case cases[] = {
        {"64 KiB of one letter", std::string(65536, 'a'), with({{"split_arpa_ipv6", 0}})},
        {"32768 one-letter labels", repeat("a.", 32768), with({{"get_mask_simple", -1}})},
        {"every byte value", all_bytes(65536), with({{"get_mask_simple", -1}})},
        {"a huge IPv4 reverse name", repeat("1.", 32760) + "IN-ADDR.ARPA",
         with({{"is_arpa_light_check", 1}, {"get_mask_simple", -1}})},
        {"a huge IPv6 reverse name", repeat("a.", 32760) + "ip6.arpa.",
         with({{"is_arpa_light_check", 3}, {"get_mask_simple", -1}})},
        {"a huge E.164 name", repeat("1.", 32760) + "e164.arpa",
         with({{"is_arpa_light_check", 2}, {"get_mask_simple", -1}})},
        {"a wildcard over hyphen runs", "*." + repeat("a-", 32767), with({{"get_mask_simple", 8}})},
        {"hyphen runs that make a backtracking engine explode", repeat("a-", 20) + "!",
         with({{"valid_txt", 1}})},
        {"the empty text", "", with({})},
        {"one NUL", std::string(1, '\0'), with({{"split_arpa_ipv6", 0}})},
        {"a huge SRV owner inside the zone", "_sip._tcp." + repeat("a.", 30000) + "zone.test.",
         with({{"valid_subdomain", 1},
               {"valid_srv_host", 1},
               {"valid_txt_host", 1},
               {"get_mask_simple", -1}})},
        {"4096 exclamation marks", std::string(4096, '!'),
         with({{"valid_txt", 1}, {"split_arpa_ipv6", 0}})},
        {"a long run of colons", std::string(4096, ':'),
         with({{"valid_txt", 1}, {"split_arpa_ipv6", 0}})},
    };
    for (const auto &c : cases) {
        for (const auto &[name, fn] : checks()) {
            auto it = c.answers.find(name);
            const int expected = it == c.answers.end() ? 0 : it->second;
            EXPECT_EQ(fn(c.text), expected) << name << " on " << c.what;
        }
    }
}

} // namespace
