// Validators and arithmetic of the DNS toolkit: names, hosts and record values that may
// stand in a zone, reverse-zone names (IPv4, IPv6, E.164) and the networks they denote,
// IPv6 text and ACL entries.
//
// Predicates answer 1 (valid) or 0, operations 0 or -1; none throws, none writes a
// diagnostic line (refusals are traced through the library log). Every predicate takes
// time linear in the length of its input and accepts any bytes (NUL, >= 128, any length).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

// ---------------------------------------------------------------------------------------
// Network records

// A parsed ACL address: family AF_INET or AF_INET6, address in network byte order (the
// first four bytes for IPv4).
struct net_addr {
    int family = 0;
    unsigned char address[16] = {};
};

// An IPv4 reverse network: its significant octets in address order ("192.168.1", or
// "192.168.1.128" for a classless or host network), the network address in host byte
// order with missing octets zero, and the prefix length.
struct arpa_ipv4_net {
    char text[20] = {};
    uint32_t address = 0;
    int prefix = 0;
};

// An IPv6 reverse network: the first character of each label in name order (least
// significant nibble first), their count, and the prefix carried by a "/" or "-" label
// (0 when none).
struct arpa_ipv6_net {
    int count = 0;
    char nibbles[64] = {};
    unsigned prefix = 0;
};

// Hashing that lets a set of std::string be searched with a string_view.
struct srv_name_hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept {
        return std::hash<std::string_view>{}(s);
    }
};
// Known SRV service and protocol names, without their leading "_".
using srv_name_set = std::unordered_set<std::string, srv_name_hash, std::equal_to<>>;

// ---------------------------------------------------------------------------------------
// Text helpers shared by the validators (ASCII case folding only; bytes >= 128 compare
// exactly). All linear in the length of their inputs.

// 1 when `text` ends with `suffix`, ignoring case.
int ends_with_nocase(std::string_view text, std::string_view suffix);
// Position of the first (or, with `last`, the last) occurrence of `needle` in `text`,
// ignoring case; with `at_label` only occurrences that begin the text or follow a ".".
// npos when there is none or `needle` is empty.
size_t find_nocase(std::string_view text, std::string_view needle, bool at_label = false,
                   bool last = false);

// Exactly the languages of the global string table's host-name and label patterns (as
// POSIX extended expressions: "$" is the end of the text), decided in one pass.
int match_host_pattern(std::string_view name, int relaxed);
int match_label_pattern(std::string_view label, int relaxed);

// ---------------------------------------------------------------------------------------
// Names and record values

// Two or more labels of letters, digits and inner hyphens (underscores too unless strict;
// any non-zero `strict` is strict), labels of 1..63, length 4..255, optional final dot.
int valid_fq_domain(std::string_view name, int strict);
// One label, shorter than 64; only `strict` == 1 is strict. A label of two or more
// characters may carry one final dot.
int valid_domain_part(std::string_view label, int strict);
// valid_fq_domain, after an optional leading "*." is removed.
int valid_alias(std::string_view name, int strict);
// "*." followed by an IPv6 reverse name that contains the zone (ignoring case) at a label
// boundary.
int valid_wildcard(std::string_view name, std::string_view zone);
// The name ends with the zone at a label boundary; the zone itself only with
// `allow_equal`; with `single_label` exactly one label in front of the zone.
int valid_subdomain(std::string_view name, std::string_view zone, int allow_equal,
                    int single_label);
// An SRV owner _service._protocol[.labels].zone with known service and protocol ("*" as
// service skips the service test).
int valid_srv_host(std::string_view host, std::string_view zone, const srv_name_set &services,
                   const srv_name_set &protocols);
// The light check of a TXT owner: allowed characters and label lengths in front of the
// zone; an absolute owner must be the zone or end with "." and the zone.
int valid_txt_host(std::string_view host, std::string_view zone);
// 1..4096 printable ASCII bytes, no double quote, no "|", no odd run of final backslashes.
int valid_txt(std::string_view text);
// The empty flag ('\0') or one of "UASPuasp".
int valid_naptr_flag(char ch);
// !pattern!replacement! with an optional final i or I, no double quote.
int valid_naptr_regexp(std::string_view text);
// A dotted quad as named reads it: no leading zero in the second to fourth octet.
int valid_named_ipv4(std::string_view text);
// valid_named_ipv4, or the same followed by "/" and a prefix length 0..32.
int valid_named_ipv4_cidr(std::string_view text);

// Rebuilds fields 5 and up of a NAPTR feed line whose regular expression holds the field
// separator "|", from the "!" delimiters of the raw `line`. 0 (also when there is nothing
// to repair) or -1.
int mangle_naptr_line(std::string_view line, std::vector<std::string> &fields);

// ---------------------------------------------------------------------------------------
// Reverse zones

// Containment test (ignoring case): 1 ".IN-ADDR.ARPA", 3 ".IP6.ARPA", 2 ".E164.ARPA", else 0.
int is_arpa_light_check(std::string_view name);
// IPv4 reverse zone (classless label "start/prefix" or "start-prefix" in fourth position,
// prefix 25..32 and at least `min_prefix` when that is non-zero).
int valid_arpa_zone(std::string_view name, int min_prefix);
// IPv6 reverse zone (at most 33 hexadecimal labels, one optional prefix 9..128, at least
// `min_prefix` when that is non-zero).
int valid_arpa_ip6_zone(std::string_view name, int min_prefix);
// Single digits separated by dots, then ".E164.ARPA" and an optional final dot.
int valid_arpa_e164_zone(std::string_view name);
// A partial dotted IPv4 address of one to four octets; with `allow_prefix` one octet may
// end in "/n" (n 1..32, at least `min_prefix` when that is non-zero).
int valid_ip_part(std::string_view text, int allow_prefix, int min_prefix);

// Reverse name to network. Names outside the validators' language give -1, never
// overflow the record.
int split_arpa_ipv4(std::string_view name, arpa_ipv4_net &net);
int split_arpa_ipv6(std::string_view name, arpa_ipv6_net &net);
// Network to reverse name (prefix 8, 16, 24..32), written into `name`; 0 or -1.
int merge_arpa_ipv4(const arpa_ipv4_net &net, std::string &name);

// ---------------------------------------------------------------------------------------
// Addresses and ACL entries

// 1 when inet_pton(AF_INET6) accepts the text.
int valid_ipv6(std::string_view text);
// Rewrites `address` in canonical IPv6 text; 0 and unchanged when it does not parse.
int compress_ipv6(std::string &address);
// address, or address "/" (else "-") prefix 1..128.
int valid_ipv6_cidr(std::string_view text);
// compress_ipv6 of the address part, separator and prefix kept; 0 and unchanged on failure.
int compress_ipv6_cidr(std::string &text);

// IPv4 first, then IPv6; 1 or 0.
int str2netaddr(std::string_view text, net_addr &net);
// The prefix fits the family and no host bit beyond it is set.
int valid_acl_prefix(const net_addr &net, int prefix);
// An address, or address "/" (or "-") prefix of 1 to 3 digits, 1..128, without host bits.
int valid_acl_ip_cidr(std::string_view text);

// a's network equals b's network, each masked with its own prefix.
int is_network_eq(const arpa_ipv4_net &a, const arpa_ipv4_net &b);
// The child's address lies in the parent's network (the child's prefix is not looked at).
int is_subnet(const arpa_ipv4_net &child, const arpa_ipv4_net &parent);
// The child's nibbles end with the parent's and the prefixes allow the nesting.
int is_subnet_ip6(const arpa_ipv6_net &child, const arpa_ipv6_net &parent);
// 8 times the dots in front of ".IN-ADDR.ARPA"; -1 for 40 or more.
int get_mask_simple(std::string_view name);
