// Address and ACL utilities: canonical IPv6 text, IPv6 and ACL entry checks, and the
// containment tests of the reverse network records.
#include "dns_validator.h"

#include "liblog.h"

#include <arpa/inet.h>
#include <cstring>

namespace {

constexpr size_t npos = std::string_view::npos;

// The longest address text inet_pton can accept is 45 characters; anything longer, or
// holding a NUL (which would cut the C string short), is not an address.
constexpr size_t max_addr_text = 63;

bool to_c_string(std::string_view text, char (&buf)[max_addr_text + 1]) {
    if (text.empty() || text.size() > max_addr_text || text.find('\0') != npos)
        return false;
    memcpy(buf, text.data(), text.size());
    buf[text.size()] = '\0';
    return true;
}

bool parse_ipv6(std::string_view text, in6_addr &out) {
    char buf[max_addr_text + 1];
    return to_c_string(text, buf) && inet_pton(AF_INET6, buf, &out) == 1;
}

// The prefix of an ACL entry or IPv6 network: 1 to 3 decimal digits and nothing else.
bool parse_prefix(std::string_view text, int &out) {
    if (text.empty() || text.size() > 3)
        return false;
    int v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    out = v;
    return true;
}

// Cuts at the last "/" or, when there is none, the last "-".
size_t prefix_separator(std::string_view text) {
    size_t at = text.rfind('/');
    return at != npos ? at : text.rfind('-');
}

// All ones shifted left by (32 - prefix) modulo 32; any prefix gives a defined shift.
uint32_t ipv4_mask(int prefix) {
    int shift = (32 - prefix % 32) % 32;
    return 0xffffffffu << shift;
}

} // namespace

// ---------------------------------------------------------------------------------------
// IPv6 text

int valid_ipv6(std::string_view text) {
    in6_addr a;
    if (!parse_ipv6(text, a))
        FR_RETURN_TRACED(0);
    return 1;
}

int compress_ipv6(std::string &address) {
    in6_addr a;
    char out[INET6_ADDRSTRLEN];
    if (!parse_ipv6(address, a) || !inet_ntop(AF_INET6, &a, out, sizeof out))
        FR_RETURN_TRACED(0);
    try {
        address = out;
    } catch (...) {
        FR_TRACE_EXCEPTION(0);
        return 0;
    }
    return 1;
}

int valid_ipv6_cidr(std::string_view text) {
    const size_t at = prefix_separator(text);
    if (at == npos)
        return valid_ipv6(text);
    int prefix = 0;
    if (!parse_prefix(text.substr(at + 1), prefix) || prefix < 1 || prefix > 128)
        FR_RETURN_TRACED(0);
    return valid_ipv6(text.substr(0, at));
}

int compress_ipv6_cidr(std::string &text) {
    const size_t at = prefix_separator(text);
    if (at == npos)
        return compress_ipv6(text);
    int prefix = 0;
    std::string_view tail = std::string_view(text).substr(at + 1);
    if (!parse_prefix(tail, prefix) || prefix < 1 || prefix > 128)
        FR_RETURN_TRACED(0);
    in6_addr a;
    char out[INET6_ADDRSTRLEN];
    if (!parse_ipv6(std::string_view(text).substr(0, at), a) ||
        !inet_ntop(AF_INET6, &a, out, sizeof out))
        FR_RETURN_TRACED(0);
    try {
        std::string rebuilt = out;
        rebuilt += text[at];
        rebuilt.append(tail);
        text.swap(rebuilt);
    } catch (...) {
        FR_TRACE_EXCEPTION(0);
        return 0;
    }
    return 1;
}

// ---------------------------------------------------------------------------------------
// ACL entries

int str2netaddr(std::string_view text, net_addr &net) {
    char buf[max_addr_text + 1];
    if (!to_c_string(text, buf))
        FR_RETURN_TRACED(0);
    net_addr out{};
    if (inet_pton(AF_INET, buf, out.address) == 1) {
        out.family = AF_INET;
    } else if (inet_pton(AF_INET6, buf, out.address) == 1) {
        out.family = AF_INET6;
    } else {
        FR_RETURN_TRACED(0);
    }
    net = out;
    return 1;
}

int valid_acl_prefix(const net_addr &net, int prefix) {
    int bytes = 0;
    if (net.family == AF_INET)
        bytes = 4;
    else if (net.family == AF_INET6)
        bytes = 16;
    else
        FR_RETURN_TRACED(0);
    if (prefix < 0 || prefix > bytes * 8)
        FR_RETURN_TRACED(0);
    // The byte the prefix ends in keeps its high bits; it and every later byte of the
    // address must be zero below the prefix. A full-length prefix leaves no such byte.
    for (int i = prefix / 8; i < bytes; ++i) {
        const int keep = i == prefix / 8 ? prefix % 8 : 0;
        const unsigned host_bits = 0xffu >> keep;
        if (net.address[i] & host_bits)
            FR_RETURN_TRACED(0);
    }
    return 1;
}

int valid_acl_ip_cidr(std::string_view text) {
    net_addr net;
    const size_t at = prefix_separator(text);
    if (at == npos)
        return str2netaddr(text, net);
    int prefix = 0;
    if (!parse_prefix(text.substr(at + 1), prefix) || prefix < 1 || prefix > 128)
        FR_RETURN_TRACED(0);
    if (!str2netaddr(text.substr(0, at), net))
        FR_RETURN_TRACED(0);
    return valid_acl_prefix(net, prefix);
}

// ---------------------------------------------------------------------------------------
// Reverse networks

int is_network_eq(const arpa_ipv4_net &a, const arpa_ipv4_net &b) {
    return (a.address & ipv4_mask(a.prefix)) == (b.address & ipv4_mask(b.prefix)) ? 1 : 0;
}

int is_subnet(const arpa_ipv4_net &child, const arpa_ipv4_net &parent) {
    return ((child.address ^ parent.address) & ipv4_mask(parent.prefix)) == 0 ? 1 : 0;
}

int is_subnet_ip6(const arpa_ipv6_net &child, const arpa_ipv6_net &parent) {
    const int max = static_cast<int>(sizeof child.nibbles);
    if (child.count < 0 || child.count > max || parent.count < 0 || parent.count > max)
        FR_RETURN_TRACED(0);
    if (parent.count > child.count)
        FR_RETURN_TRACED(0);
    const size_t off = static_cast<size_t>(child.count - parent.count);
    if (memcmp(child.nibbles + off, parent.nibbles, static_cast<size_t>(parent.count)) != 0)
        FR_RETURN_TRACED(0);
    if (parent.prefix) {
        if (child.prefix <= parent.prefix)
            FR_RETURN_TRACED(0);
        return 1;
    }
    if (child.prefix && child.prefix <= 4u * static_cast<unsigned>(parent.count))
        FR_RETURN_TRACED(0);
    return 1;
}

int get_mask_simple(std::string_view name) {
    size_t end = find_nocase(name, ".IN-ADDR.ARPA", false, true);
    if (end == npos)
        end = name.empty() ? 0 : name.size() - 1;
    size_t dots = 0;
    for (size_t i = 0; i < end; ++i)
        if (name[i] == '.' && ++dots >= 5) {
            FR_TRACE_RETURN();
            return -1;
        }
    return static_cast<int>(8 * dots);
}
