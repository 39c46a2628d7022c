// Validators on realistic names (up to 64 characters) and on adversarial texts up to 4096
// bytes: long runs that make a matcher walk the whole text, hyphen runs that make a
// backtracking engine explode, thousands of labels. The compiled host-name pattern of the
// global string table is measured beside the hand-written matcher for comparison.
#include "../tests/common/name_patterns.h"
#include "dns_common.h"
#include "dns_validator.h"
#include "regex.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

std::string repeat(const std::string &piece, size_t total) {
    std::string s;
    while (s.size() + piece.size() <= total)
        s += piece;
    return s;
}

// Pads `tail` on the left with `piece` to `total` bytes.
std::string padded(const std::string &piece, const std::string &tail, size_t total) {
    return repeat(piece, total - tail.size()) + tail;
}

// A 30-byte name on which PCRE2 reaches its match limit with the relaxed host pattern.
const std::string pcre_killer = "b_cb_cb_.ZqZqb_c.b_cb_cZq.-ya.";

const srv_name_set services = {"sip", "xmpp-server", "ldap"};
const srv_name_set protocols = {"tcp", "udp"};

template <class Fn> void run(benchmark::State &state, Fn fn) {
    for (auto _ : state)
        benchmark::DoNotOptimize(fn());
}

void fq_domain(benchmark::State &state, std::string name) {
    run(state, [&] { return valid_fq_domain(name, 0); });
}
BENCHMARK_CAPTURE(fq_domain, realistic, std::string("mail-01.eu-west.example-hosting.com."));
BENCHMARK_CAPTURE(fq_domain, real_64,
                  std::string("shop-eu-west-1.customer-4711.hosting-platform.example-zone.com."));
BENCHMARK_CAPTURE(fq_domain, pcre_killer, pcre_killer);
BENCHMARK_CAPTURE(fq_domain, adv_hyphens_255, repeat("a-", 254) + "!");
BENCHMARK_CAPTURE(fq_domain, adv_labels_255, repeat("a.", 254) + "!");
BENCHMARK_CAPTURE(fq_domain, adv_4096, repeat("a-", 4096));

void host_pattern_pcre(benchmark::State &state, std::string name) {
    const compiled_regex re(host_pattern_relaxed);
    run(state, [&] { return re.match(name); });
}
BENCHMARK_CAPTURE(host_pattern_pcre, realistic,
                  std::string("mail-01.eu-west.example-hosting.com."));
BENCHMARK_CAPTURE(host_pattern_pcre, pcre_killer, pcre_killer)->Iterations(20);

void alias(benchmark::State &state, std::string name) {
    run(state, [&] { return valid_alias(name, 1); });
}
BENCHMARK_CAPTURE(alias, realistic, std::string("*.shop.example.com"));
BENCHMARK_CAPTURE(alias, adv_hyphens_255, "*." + repeat("a-", 252) + "!");
BENCHMARK_CAPTURE(alias, adv_4096, "*." + repeat("a-", 4094));

void srv_host(benchmark::State &state, std::string host) {
    run(state, [&] { return valid_srv_host(host, "example.com.", services, protocols); });
}
BENCHMARK_CAPTURE(srv_host, realistic, std::string("_xmpp-server._tcp.chat.example.com."));
BENCHMARK_CAPTURE(srv_host, adv_no_service_4096, padded("a.", "example.com.", 4096));
BENCHMARK_CAPTURE(srv_host, adv_4096, "_sip._tcp." + padded("a.", "example.com.", 4086));

void arpa_zone(benchmark::State &state, std::string name) {
    run(state, [&] { return valid_arpa_zone(name, 0); });
}
BENCHMARK_CAPTURE(arpa_zone, realistic, std::string("0/25.2.0.192.in-addr.arpa."));
BENCHMARK_CAPTURE(arpa_zone, adv_labels_4096, padded("1.", "IN-ADDR.ARPA", 4096));
BENCHMARK_CAPTURE(arpa_zone, adv_digits_4096, padded("1", ".IN-ADDR.ARPA", 4096));
BENCHMARK_CAPTURE(arpa_zone, adv_no_suffix_4096, repeat("1.", 4096));

void arpa_ip6_zone(benchmark::State &state, std::string name) {
    run(state, [&] { return valid_arpa_ip6_zone(name, 0); });
}
BENCHMARK_CAPTURE(arpa_ip6_zone, realistic, std::string("0/48.8.b.d.0.1.0.0.2.ip6.arpa."));
BENCHMARK_CAPTURE(arpa_ip6_zone, real_64_nibbles, repeat("f.", 32) + "ip6.arpa.");
BENCHMARK_CAPTURE(arpa_ip6_zone, adv_label_4096, padded("a", ".ip6.arpa.", 4096));
BENCHMARK_CAPTURE(arpa_ip6_zone, adv_labels_4096, padded("a.", "ip6.arpa.", 4096));

void txt(benchmark::State &state, std::string text) {
    run(state, [&] { return valid_txt(text); });
}
BENCHMARK_CAPTURE(txt, realistic,
                  std::string("v=spf1 ip4:192.0.2.0/24 include:_spf.example.net -all"));
BENCHMARK_CAPTURE(txt, adv_backslashes_4096, std::string(4096, '\\'));
BENCHMARK_CAPTURE(txt, adv_4096, std::string(4096, 'x'));

void ipv6_compress(benchmark::State &state, std::string address) {
    std::string work;
    run(state, [&] {
        work = address;
        return compress_ipv6(work);
    });
}
BENCHMARK_CAPTURE(ipv6_compress, realistic, std::string("2001:0DB8:0000:0000:0000:0000:0000:0001"));
BENCHMARK_CAPTURE(ipv6_compress, adv_colons_4096, std::string(4096, ':'));

void acl_ip_cidr(benchmark::State &state, std::string text) {
    run(state, [&] { return valid_acl_ip_cidr(text); });
}
BENCHMARK_CAPTURE(acl_ip_cidr, realistic_v4, std::string("192.168.1.0/24"));
BENCHMARK_CAPTURE(acl_ip_cidr, realistic_v6, std::string("2001:db8:1234::/48"));
BENCHMARK_CAPTURE(acl_ip_cidr, adv_digits_4096, padded("1", "/24", 4096));
BENCHMARK_CAPTURE(acl_ip_cidr, adv_separators_4096, std::string(4096, '-'));

void arpa_ipv4_split(benchmark::State &state, std::string name) {
    arpa_ipv4_net net;
    run(state, [&] { return split_arpa_ipv4(name, net); });
}
BENCHMARK_CAPTURE(arpa_ipv4_split, realistic, std::string("5.0/25.1.168.192.IN-ADDR.ARPA."));
BENCHMARK_CAPTURE(arpa_ipv4_split, adv_labels_4096, padded("1.", "IN-ADDR.ARPA", 4096));
BENCHMARK_CAPTURE(arpa_ipv4_split, adv_label_4096, padded("9", ".1.168.192.IN-ADDR.ARPA", 4096));

} // namespace
