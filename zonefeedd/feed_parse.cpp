// Block bodies of the zone text parser: directives, the record checks by type and zone kind,
// delegations, the record budget.
#include "feed_parse.h"

#include "dns_common.h"
#include "logging.h"
#include "numbers.h"

#include <charconv>
#include <cstring>

namespace {

bool ascii_alnum(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Decimal digits only, at most `max`.
bool parse_decimal(std::string_view text, uint64_t max, uint64_t &out) {
    if (text.empty() || text.size() > 20)
        return false;
    uint64_t v = 0;
    auto r = std::from_chars(text.data(), text.data() + text.size(), v);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size() || v > max)
        return false;
    out = v;
    return true;
}

bool parse_u16(std::string_view text, unsigned &out) {
    uint64_t v = 0;
    if (!parse_decimal(text, 65535, v))
        return false;
    out = static_cast<unsigned>(v);
    return true;
}

// A dotted quad as named reads it, with no leading zero in any octet.
bool strict_ipv4(std::string_view text) {
    if (!valid_named_ipv4(text))
        return false;
    size_t start = 0;
    while (start < text.size()) {
        size_t dot = text.find('.', start);
        size_t end = dot == std::string_view::npos ? text.size() : dot;
        if (end - start > 1 && text[start] == '0')
            return false;
        start = end + 1;
    }
    return true;
}

bool printable_ascii(std::string_view text) {
    for (unsigned char c : text)
        if (c < 32 || c > 126)
            return false;
    return true;
}

// NAPTR services (RFC 3403 with the ENUM subtypes): letters, digits, "+", ":", "-", ".".
bool valid_naptr_services(std::string_view s) {
    if (s.size() > 255)
        return false;
    for (char c : s)
        if (!ascii_alnum(c) && c != '+' && c != ':' && c != '-' && c != '.')
            return false;
    return true;
}

// NAPTR flags: letters and digits, the first one a known flag.
bool valid_naptr_flags(std::string_view f) {
    if (f.size() > 16 || !valid_naptr_flag(f.empty() ? '\0' : f[0]))
        return false;
    for (char c : f)
        if (!ascii_alnum(c))
            return false;
    return true;
}

} // namespace

// ---------------------------------------------------------------------------------------
// Block bodies

namespace {

struct host_counts {
    uint32_t cnames = 0;
    uint32_t others = 0;
};

// A delegation made inside a /24 IPv4 reverse zone.
struct delegation {
    std::string host; // cut to 31 characters
    unsigned byte = 0;
    int mask = 0;
};

// Outcome of one line.
enum line_result { LINE_TAKEN = 0, LINE_REJECTED = 1, LINE_OVER_BUDGET = 2 };

struct block_state {
    block_state(zone_header &h, parse_env &e, record_table &r, option_table &o)
        : header(h), env(e), records(r), options(o) {}
    zone_header &header;
    parse_env &env;
    record_table &records;
    option_table &options;
    std::string origin, previous_host;
    std::unordered_map<std::string, host_counts> hosts;
    std::vector<delegation> delegations;
    int budget = 0;
    int accepted = 0;
    int line = 0;
    // Scratch space, kept between lines.
    std::vector<std::string_view> fields;
    std::vector<std::string> naptr_fields;
    std::string type_name;
};

// Field n (1-based) of the line, trimmed; empty when the line has fewer fields.
std::string_view field(const block_state &s, size_t n) {
    return n >= 1 && n <= s.fields.size() ? trim_blanks(s.fields[n - 1]) : std::string_view();
}

bool reject(block_state &s, std::string_view offending, const char *message) {
    return report_record_failure(s.env.report, s.env.feed, s.header.name, offending, s.line,
                                 message);
}

// A line that is not a record line: EPU03 "Syntax error" and its WARNING line, capped.
void syntax_error(block_state &s) {
    if (feed_line_failure(s.env.report, s.env.feed, 4, "EPU03", "Syntax error",
                          std::to_string(s.line), s.header.name))
        LOGF(LOG_WARNING, "Syntax error in %s, line %d.", s.env.feed.url.c_str(), s.line);
}

// The last octet's network byte and mask of an IPv4 network (prefix 24..32).
bool overlap_delegation(unsigned byte_a, int mask_a, unsigned byte_b, int mask_b) {
    int bits = std::min(mask_a, mask_b) - 24;
    if (bits <= 0)
        return true;
    unsigned keep = (0xFFu << (8 - bits)) & 0xFFu;
    return ((byte_a ^ byte_b) & keep) == 0;
}

// 0 when the delegation may be made (and records it), -1 when it overlaps an earlier one.
int disjunct_delegation(block_state &s, const std::string &host, const arpa_ipv4_net &net) {
    const std::string cut = host.substr(0, 31);
    const unsigned byte = net.address & 0xFFu;
    for (const delegation &d : s.delegations) {
        if (d.host == cut)
            return 0;
        if (overlap_delegation(d.byte, d.mask, byte, net.prefix))
            return -1;
    }
    s.delegations.push_back(delegation{cut, byte, net.prefix});
    return 0;
}

// A name of the IPv4 reverse zone inside the zone's network.
bool reverse4_inside(const block_state &s, const std::string &name, int allow_equal,
                     int single_label, int min_prefix) {
    arpa_ipv4_net net;
    return valid_subdomain(name, s.header.name, allow_equal, single_label) &&
           valid_arpa_zone(name, min_prefix) && split_arpa_ipv4(name, net) == 0 &&
           is_subnet(net, s.header.net4);
}

bool reverse6_inside(const block_state &s, const std::string &name, arpa_ipv6_net &net) {
    return valid_subdomain(name, s.header.name, 1, 0) && valid_arpa_ip6_zone(name, 0) &&
           split_arpa_ipv6(name, net) == 0 && is_subnet_ip6(net, s.header.net6);
}

// Relative names are completed with the current origin; all get their canonical form.
void complete_name(const block_state &s, std::string &name) {
    if (name == "@")
        name = s.origin;
    else
        merge_into_fqdn(name, s.origin);
    be_canonical_zone(name, s.header.kind, s.header.separator);
}

// How a type is treated in a kind of zone: nullptr to check and take it, "" to ignore it,
// else the message of the rejection.
const char *type_rule(int kind, int type, int zone_prefix) {
    static const char *const forward_only = "Invalid RR for a forward zone";
    static const char *const reverse = "Invalid RR for a reverse zone";
    static const char *const e164 = "Invalid RR for a E164.ARPA zone";
    switch (type) {
    case RR_NS:
        return nullptr;
    case RR_A:
    case RR_AAAA:
    case RR_MX:
    case RR_SRV:
        return kind == KIND_FORWARD    ? nullptr
               : kind == KIND_REVERSE4 ? reverse
               : kind == KIND_ENUM     ? e164
                                       : "";
    case RR_CNAME:
        if (kind == KIND_FORWARD)
            return nullptr;
        if (kind == KIND_REVERSE4)
            return zone_prefix >= 25
                       ? "Invalid CNAME record. Reverse zone with mask /25 or greater cannot "
                         "define CNAME"
                       : nullptr;
        return "";
    case RR_PTR:
        return kind == KIND_FORWARD ? forward_only : kind == KIND_ENUM ? e164 : nullptr;
    case RR_NAPTR:
        return kind == KIND_FORWARD || kind == KIND_ENUM ? nullptr : "";
    case RR_TXT:
        return kind == KIND_ENUM ? e164 : nullptr;
    default:
        return kind == KIND_FORWARD ? forward_only : "";
    }
}

const char *host_message(int type) {
    switch (type) {
    case RR_A:
        return "Invalid A host";
    case RR_AAAA:
        return "Invalid AAAA host";
    case RR_CNAME:
        return "Invalid CNAME host";
    case RR_MX:
        return "Invalid MX host";
    case RR_SRV:
        return "Invalid SRV host";
    case RR_NS:
        return "Invalid NS host";
    case RR_PTR:
        return "Invalid PTR host";
    case RR_TXT:
        return "Invalid TXT host";
    }
    return "Invalid NAPTR host";
}

// Checks of the types that carry a name as value, completed beforehand.
bool valid_target(const std::string &value, int strict) {
    return valid_fq_domain(value, strict) && safe_name(value);
}

// Each check answers nullptr when the record passes, else its failure message, and names
// the offending text in `bad`.
struct verdict {
    const char *message = nullptr;
    std::string_view bad;
};

verdict check_a(block_state &s, hashed_rr &rr, std::string_view value) {
    if (!valid_alias(rr.host, 1) || !valid_subdomain(rr.host, s.header.name, 1, 0))
        return {"Invalid A host", rr.host};
    if (!strict_ipv4(value))
        return {"Invalid A value", value};
    rr.value.assign(value);
    return {};
}

verdict check_aaaa(block_state &s, hashed_rr &rr, std::string_view value) {
    if (!valid_alias(rr.host, 1) || !valid_subdomain(rr.host, s.header.name, 1, 0))
        return {"Invalid AAAA host", rr.host};
    std::string address(value);
    if (address.find('/') != std::string::npos || !compress_ipv6(address))
        return {"Invalid AAAA value", value};
    rr.value = std::move(address);
    return {};
}

verdict check_cname(block_state &s, hashed_rr &rr, std::string_view value) {
    const bool reverse = s.header.kind == KIND_REVERSE4;
    if (reverse ? !reverse4_inside(s, rr.host, 0, 1, 0)
                : !valid_alias(rr.host, 0) || !valid_subdomain(rr.host, s.header.name, 0, 0))
        return {"Invalid CNAME host", rr.host};
    rr.value.assign(value);
    complete_name(s, rr.value);
    bool ok = valid_target(rr.value, 0);
    if (!ok && reverse)
        ok = reverse4_inside(s, rr.value, 1, 0, 0) && safe_name(rr.value);
    if (!ok)
        return {"Invalid CNAME value", value};
    return {};
}

verdict check_mx(block_state &s, hashed_rr &rr, std::string_view value) {
    if (!valid_alias(rr.host, 1) || !valid_subdomain(rr.host, s.header.name, 1, 0))
        return {"Invalid MX host", rr.host};
    rr.value.assign(value);
    complete_name(s, rr.value);
    if (!valid_target(rr.value, 1))
        return {"Invalid MX value", value};
    if (!parse_u16(field(s, 7), rr.priority))
        return {"Invalid MX record", field(s, 7)};
    return {};
}

verdict check_srv(block_state &s, hashed_rr &rr, std::string_view value) {
    static const srv_name_set none;
    if (!valid_srv_host(rr.host, s.header.name, s.env.services ? *s.env.services : none,
                        s.env.protocols ? *s.env.protocols : none) ||
        !safe_name(rr.host))
        return {"Invalid SRV host", rr.host};
    rr.value.assign(value);
    if (rr.value != ".") {
        complete_name(s, rr.value);
        if (!valid_target(rr.value, 1))
            return {"Invalid SRV target", value};
    }
    if (!parse_u16(field(s, 7), rr.priority))
        return {"Invalid SRV priority", field(s, 7)};
    if (!parse_u16(field(s, 9), rr.priority_minor))
        return {"Invalid SRV weight", field(s, 9)};
    if (!parse_u16(field(s, 11), rr.port))
        return {"Invalid SRV port", field(s, 11)};
    // The TTL is optional: what is not a TTL named accepts counts as none.
    uint64_t ttl = 0;
    rr.ttl = parse_decimal(field(s, 13), 2147483647u, ttl) ? static_cast<unsigned>(ttl) : 0;
    return {};
}

verdict check_ns(block_state &s, hashed_rr &rr, std::string_view value) {
    const zone_header &h = s.header;
    const bool origin = rr.host == h.name;
    switch (h.kind) {
    case KIND_FORWARD:
        if (!valid_subdomain(rr.host, h.name, 1, 0) || !valid_fq_domain(rr.host, 0))
            return {"Invalid NS host", rr.host};
        break;
    case KIND_REVERSE4: {
        if (!reverse4_inside(s, rr.host, 1, 0, h.net4.prefix))
            return {"Invalid NS host", rr.host};
        if (origin)
            break;
        if (h.net4.prefix >= 25)
            return {"Invalid NS host. Reverse zone with mask /25 or greater can define NS only "
                    "for ORINGIN",
                    rr.host};
        arpa_ipv4_net net;
        if (h.net4.prefix == 24 && split_arpa_ipv4(rr.host, net) == 0 &&
            disjunct_delegation(s, rr.host, net) != 0)
            return {"Invalid NS host. The delegation overlaps with a previous one made in this "
                    "zone",
                    rr.host};
        break;
    }
    case KIND_REVERSE6: {
        arpa_ipv6_net net;
        if (!reverse6_inside(s, rr.host, net))
            return {"Invalid NS host", rr.host};
        const unsigned prefix = net.prefix ? net.prefix : static_cast<unsigned>(net.count) * 4;
        if (!origin && (prefix == 32 || prefix == 128))
            return {"Invalid NS host", rr.host};
        break;
    }
    case KIND_ENUM:
        if (!valid_arpa_e164_zone(rr.host) || !valid_subdomain(rr.host, h.name, 1, 0))
            return {"Invalid NS host", rr.host};
        break;
    }
    rr.value.assign(value);
    complete_name(s, rr.value);
    bool ok = valid_target(rr.value, 1);
    if (!ok && h.kind != KIND_ENUM && h.kind != KIND_FORWARD)
        ok = valid_domain_part(rr.value, 1);
    if (!ok)
        return {"Invalid NS value", value};
    // The primary flag: only an origin name server may carry it (stored as 1).
    const std::string_view primary = field(s, 7);
    const bool is_primary = !primary.empty() && str_touint32(primary) != 0;
    if (is_primary && !origin)
        return {"Invalid Primary NS. Only an origin NS may be primary", primary};
    rr.priority = is_primary ? 1 : 0;
    return {};
}

verdict check_ptr(block_state &s, hashed_rr &rr, std::string_view value) {
    const zone_header &h = s.header;
    bool host_ok = valid_wildcard(rr.host, h.name);
    if (!host_ok && h.kind == KIND_REVERSE4)
        host_ok = reverse4_inside(s, rr.host, 1, 0, 0);
    if (!host_ok && h.kind == KIND_REVERSE6) {
        arpa_ipv6_net net;
        host_ok = reverse6_inside(s, rr.host, net);
    }
    if (!host_ok)
        return {"Invalid PTR host", rr.host};
    auto it = s.hosts.find(rr.host);
    if (it != s.hosts.end() && it->second.cnames)
        return {"Duplicate RR host", rr.host};
    if (!(valid_domain_part(value, 1) || valid_fq_domain(value, 1)) || !safe_name(value))
        return {"Invalid PTR value", value};
    rr.value.assign(value);
    return {};
}

verdict check_txt(block_state &s, hashed_rr &rr, std::string_view value) {
    if (!valid_subdomain(rr.host, s.header.name, 1, 0) || !safe_name(rr.host))
        return {"Invalid TXT host", rr.host};
    if (!valid_txt(value))
        return {"Invalid TXT value", value};
    rr.value.assign(value);
    return {};
}

verdict check_naptr(block_state &s, hashed_rr &rr, std::string_view regexp) {
    const zone_header &h = s.header;
    if (!valid_subdomain(rr.host, h.name, 1, 0) ||
        (h.kind == KIND_ENUM && !valid_arpa_e164_zone(rr.host)))
        return {"Invalid NAPTR host", rr.host};
    const bool required = h.kind == KIND_ENUM;
    if ((required || !regexp.empty()) && (!valid_naptr_regexp(regexp) || !printable_ascii(regexp)))
        return {"Invalid NAPTR regexp", regexp};
    if (!parse_u16(field(s, 7), rr.priority))
        return {"Invalid NAPTR order value", field(s, 7)};
    if (!parse_u16(field(s, 9), rr.priority_minor))
        return {"Invalid NAPTR prefrence value", field(s, 9)};
    if (s.fields.size() < 19)
        return {"Invalid NAPTR flag", field(s, 17)};
    const std::string_view services = field(s, 15), flag = field(s, 17);
    if (!valid_naptr_services(services))
        return {"Invalid NAPTR services", services};
    if (!valid_naptr_flags(flag))
        return {"Invalid NAPTR flag", flag};
    const std::string_view replacement = field(s, 19);
    if (!replacement.empty() && replacement != "." &&
        !(valid_fq_domain(replacement, 0) && safe_name(replacement)))
        return {"Invalid NAPTR replacement", replacement};

    // !pattern!substitution!flags
    if (!regexp.empty()) {
        size_t a = regexp.find('!', 1), b = regexp.find('!', a + 1);
        rr.regex.assign(regexp.substr(1, a - 1));
        rr.value.assign(regexp.substr(a + 1, b - a - 1));
        rr.regex_flag.assign(regexp.substr(b + 1));
    }
    rr.services.assign(services);
    rr.flag.assign(flag);
    rr.replacement = replacement.empty() ? std::string(".") : std::string(replacement);
    return {};
}

// Directives of a zone as a whole. True when the line was one.
bool apply_directive(block_state &s, std::string_view directive) {
    zone_header &h = s.header;
    const std::string_view value = field(s, 3);
    if (directive == "ALLOW_TRANSFER") {
        std::string address(value);
        if (valid_acl_ip_cidr(address)) {
            compress_ipv6_cidr(address);
            s.options.insert("A" + address);
        }
        return true;
    }
    if (directive == "MASTER") {
        if (h.type == 1) {
            if (reject(s, field(s, 1),
                       "Zone does not accept the directive. Master zones cannot specify "
                       "'masters' directives"))
                LOGF(LOG_ERR, "Master zones cannot specify 'masters' directives (%s).",
                     h.name.c_str());
            return true;
        }
        std::string address(value);
        if (strict_ipv4(address) ||
            (address.find('/') == std::string::npos && compress_ipv6(address)))
            s.options.insert("M" + address);
        return true;
    }
    return false;
}

// SOA values and $ORIGIN. 1 taken, 0 not such a directive, -1 refused.
int apply_zone_value(block_state &s, std::string_view directive) {
    zone_header &h = s.header;
    const std::string_view value = field(s, 3);
    struct soa_slot {
        const char *name;
        int64_t zone_header::*slot;
        uint64_t min, max;
    };
    static const soa_slot slots[] = {
        {"SERIAL", &zone_header::serial, 1, 4294967295u},
        {"REFRESH", &zone_header::refresh, 0, 2147483647u},
        {"RETRY", &zone_header::retry, 0, 2147483647u},
        {"EXPIRE", &zone_header::expire, 0, 2147483647u},
        {"MIN_TTL", &zone_header::min_ttl, 0, 2147483647u},
        {"DEFAULT_TTL", &zone_header::default_ttl, 0, 2147483647u},
    };
    for (const soa_slot &slot : slots) {
        if (directive != slot.name)
            continue;
        uint64_t v = 0;
        if (!parse_decimal(value, slot.max, v) || v < slot.min)
            return -1;
        h.*slot.slot = static_cast<int64_t>(v);
        return 1;
    }
    if (directive == "$ORIGIN") {
        if (value.empty())
            return 1;
        std::string origin(value);
        if (origin.back() != '.')
            origin += '.';
        be_canonical_zone(origin, h.kind, h.separator);
        if (!safe_name(origin) || !valid_subdomain(origin, h.name, 1, 0))
            return -1;
        s.origin = std::move(origin);
        return 1;
    }
    return 0;
}

// Sets a classless separator still unknown from the first record line that shows one.
void learn_separator(block_state &s) {
    zone_header &h = s.header;
    if (h.separator || (h.kind != KIND_REVERSE4 && h.kind != KIND_REVERSE6))
        return;
    for (std::string_view text : {field(s, 3), field(s, 5)}) {
        if (has_char_(text, '/')) {
            h.separator = '/';
            return;
        }
        if (has_char_(text, '-')) {
            h.separator = '-';
            return;
        }
    }
}

line_result add_import_rec(block_state &s) {
    zone_header &h = s.header;
    s.type_name.assign(field(s, 1));
    for (char &c : s.type_name)
        c = upper(c);
    const std::string_view directive = s.type_name;

    if (apply_directive(s, directive))
        return LINE_TAKEN;
    if (h.type == 2) {
        feed_line_failure(s.env.report, s.env.feed, 6, "EPU03",
                          "Slave zones cannot specify any RRs", std::to_string(s.line), h.name);
        return LINE_TAKEN;
    }
    int zone_value = apply_zone_value(s, directive);
    if (zone_value != 0) {
        if (zone_value < 0) {
            syntax_error(s);
            return LINE_REJECTED;
        }
        return LINE_TAKEN;
    }

    const int type = get_rr_type(s.type_name.c_str());
    learn_separator(s);
    hashed_rr rr;
    rr.type = type;
    std::string_view host_field = field(s, 3);
    if (host_field.empty()) {
        rr.host = s.previous_host;
    } else {
        rr.host.assign(host_field);
        complete_name(s, rr.host);
    }
    s.hosts.try_emplace(rr.host);

    const char *rule = type_rule(h.kind, type, h.net4.prefix);
    if (rule && !*rule)
        return LINE_TAKEN; // ignored in this kind of zone
    if (rule) {
        reject(s, field(s, 1), rule);
        return LINE_REJECTED;
    }
    if (type != RR_PTR) {
        const host_counts &counts = s.hosts[rr.host];
        if (type == RR_CNAME ? counts.cnames + counts.others > 0 : counts.cnames > 0) {
            reject(s, rr.host, "CNAME and other RR define the same host");
            return LINE_REJECTED;
        }
    }

    const std::string_view value = field(s, 5);
    verdict v;
    switch (type) {
    case RR_A:
        v = check_a(s, rr, value);
        break;
    case RR_AAAA:
        v = check_aaaa(s, rr, value);
        break;
    case RR_CNAME:
        v = check_cname(s, rr, value);
        break;
    case RR_MX:
        v = check_mx(s, rr, value);
        break;
    case RR_SRV:
        v = check_srv(s, rr, value);
        break;
    case RR_NS:
        v = check_ns(s, rr, value);
        break;
    case RR_PTR:
        v = check_ptr(s, rr, value);
        break;
    case RR_TXT:
        v = check_txt(s, rr, value);
        break;
    case RR_NAPTR:
        v = check_naptr(s, rr, value);
        break;
    }
    // Whatever the type, no owner leaves here that could break out of a zone file.
    if (!v.message && !safe_name(rr.host))
        v = {host_message(type), rr.host};
    if (v.message) {
        reject(s, v.bad, v.message);
        return LINE_REJECTED;
    }

    if (s.budget <= 0)
        return LINE_OVER_BUDGET;
    --s.budget;
    ++s.accepted;
    host_counts &counts = s.hosts[rr.host];
    if (type == RR_CNAME)
        ++counts.cnames;
    else
        ++counts.others;
    if (type == RR_NS && rr.host == h.name && !h.has_origin_ns) {
        h.has_origin_ns = true;
        h.origin_ns = rr.value;
    }
    s.previous_host = rr.host;
    if (add_hashed_rr(s.records, std::move(rr)) != 0)
        throw std::bad_alloc();
    return LINE_TAKEN;
}

// Splits a body line into its fields (NAPTR lines whose expression holds "|" regrouped).
// False for a syntax error.
bool split_fields(block_state &s, std::string_view text) {
    s.fields.clear();
    size_t start = 0;
    while (true) {
        size_t bar = text.find('|', start);
        s.fields.push_back(text.substr(start, bar == std::string_view::npos ? bar : bar - start));
        if (bar == std::string_view::npos)
            break;
        start = bar + 1;
    }
    if (s.fields.size() >= 7 && !trim_blanks(s.fields[5]).empty()) {
        std::string_view type = trim_blanks(s.fields[0]);
        if (type.size() == 5 && find_nocase(type, "NAPTR") == 0) {
            // mangle_naptr_line counts fields from 1: slot 0 is a placeholder.
            s.naptr_fields.assign(1, std::string());
            for (std::string_view f : s.fields)
                s.naptr_fields.emplace_back(f);
            if (mangle_naptr_line(text, s.naptr_fields) != 0)
                return false;
            s.fields.assign(s.naptr_fields.begin() + 1, s.naptr_fields.end());
        }
    }
    return s.fields.size() >= 5 && s.fields.size() % 2 == 1;
}

} // namespace

int parse_import_entries(feed_reader &reader, zone_header &header, parse_env &env,
                         record_table &records, option_table &options) {
    block_state s(header, env, records, options);
    s.origin = header.name;
    s.previous_host = header.name;
    s.budget = env.max_records;

    body_line line;
    bool closed = false;
    while (!closed && read_body_line(reader, line)) {
        closed = line.closes;
        if (line.comment || line.text.empty())
            continue;
        s.line = line.number;
        if (!split_fields(s, line.text)) {
            syntax_error(s);
            continue;
        }
        if (add_import_rec(s) != LINE_OVER_BUDGET)
            continue;
        feed_event_write(env.report, env.feed, 4, "EPU06",
                         "Zone's maximum number of records limit reached",
                         std::to_string(env.max_records), header.name);
        LOGF(LOG_WARNING, "Zone %s reached the maximum no of records (%d).", header.name.c_str(),
             env.max_records);
        if (!closed)
            skip_rec_zone(reader);
        records.clear();
        options.clear();
        return -1;
    }

    if (header.type == 1 && !header.is_new && !header.has_origin_ns && s.accepted > 0) {
        feed_event_write(env.report, env.feed, 4, "EPU03", "Master zone has no ORIGIN NS", "-1",
                         header.name);
        LOGF(LOG_WARNING, "Zone %s has no ORIGIN NS.", header.name.c_str());
    }
    if (header.type == 1 && header.is_new && s.accepted == 0)
        return -1;
    return 0;
}
