// Reverse-zone arithmetic: IPv4 (".IN-ADDR.ARPA", with classless labels "start/prefix" or
// "start-prefix"), IPv6 (".IP6.ARPA", one nibble per label) and telephone-number
// (".E164.ARPA") names, validated and turned into the network records of the header.
// The record fillers never trust their input: a name outside the validators' language
// gives -1, and nothing is written beyond the fixed-size records.
#include "dns_validator.h"

#include "dns_common.h"
#include "liblog.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr size_t npos = std::string_view::npos;
constexpr std::string_view in_addr_suffix = ".IN-ADDR.ARPA";
constexpr std::string_view ip6_suffix = ".IP6.ARPA";
constexpr std::string_view e164_suffix = ".E164.ARPA";

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool is_hex(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::string_view without_final_dot(std::string_view name) {
    if (!name.empty() && name.back() == '.')
        name.remove_suffix(1);
    return name;
}

// The labels in front of `suffix` when the name (less one final dot) ends with it,
// ignoring case; false when it does not, or nothing stands in front of it.
bool labels_before(std::string_view name, std::string_view suffix, std::string_view &labels) {
    name = without_final_dot(name);
    if (!ends_with_nocase(name, suffix) || name.size() == suffix.size())
        return false;
    labels = name.substr(0, name.size() - suffix.size());
    return true;
}

// Decimal digits only, 1 to `max_digits` of them; the value in `out`.
bool parse_number(std::string_view s, size_t max_digits, int &out) {
    if (s.empty() || s.size() > max_digits)
        return false;
    int v = 0;
    for (char c : s) {
        if (!is_digit(c))
            return false;
        v = v * 10 + (c - '0');
    }
    out = v;
    return true;
}

// An octet: 1 to 3 digits, 0 to 255.
bool parse_octet(std::string_view s, int &out) {
    return parse_number(s, 3, out) && out <= 255;
}

// Cuts a label at its prefix separator: "/" when it holds one, else "-". False when the
// label holds neither.
bool cut_prefix(std::string_view label, std::string_view &start, std::string_view &prefix) {
    size_t at = label.find('/');
    if (at == npos)
        at = label.find('-');
    if (at == npos)
        return false;
    start = label.substr(0, at);
    prefix = label.substr(at + 1);
    return true;
}

// Collects up to `max` labels of `labels`, right to left (nearest the suffix first).
// False when there are more.
template <size_t N>
bool labels_right_to_left(std::string_view labels, std::string_view (&out)[N], size_t max,
                          size_t &count) {
    count = 0;
    while (true) {
        size_t dot = labels.rfind('.');
        if (count == max)
            return false;
        out[count++] = dot == npos ? labels : labels.substr(dot + 1);
        if (dot == npos)
            return true;
        labels = labels.substr(0, dot);
    }
}

uint32_t octets_to_address(const int *octets, size_t n) {
    uint32_t a = 0;
    for (size_t i = 0; i < 4; ++i)
        a = (a << 8) | static_cast<uint32_t>(i < n ? octets[i] : 0);
    return a;
}

} // namespace

// ---------------------------------------------------------------------------------------
// Classification and validators

int is_arpa_light_check(std::string_view name) {
    if (find_nocase(name, in_addr_suffix) != npos)
        return 1;
    if (find_nocase(name, ip6_suffix) != npos)
        return 3;
    if (find_nocase(name, e164_suffix) != npos)
        return 2;
    return 0;
}

int valid_arpa_zone(std::string_view name, int min_prefix) {
    std::string_view labels;
    if (!labels_before(name, in_addr_suffix, labels))
        FR_RETURN_TRACED(0);
    std::string_view label[5];
    size_t n = 0;
    if (!labels_right_to_left(labels, label, 5, n))
        FR_RETURN_TRACED(0);

    int prefix = 0;
    for (size_t i = 0; i < n; ++i) {
        std::string_view l = label[i];
        if (l.empty())
            FR_RETURN_TRACED(0);
        for (char c : l)
            if (!is_digit(c) && c != '/' && c != '-')
                FR_RETURN_TRACED(0);
        if (l[0] == '0' && l.size() > 1 && l[1] != '/' && l[1] != '-')
            FR_RETURN_TRACED(0);
        std::string_view start = l, after;
        const bool classless = cut_prefix(l, start, after);
        int value = 0;
        if (!parse_octet(start, value))
            FR_RETURN_TRACED(0);
        if (i == 0 && value == 0)
            FR_RETURN_TRACED(0);
        if (!classless)
            continue;
        // Only the fourth label may be classless, and its prefix is a plain number.
        int p = 0;
        if (i != 3 || !parse_number(after, 2, p) || p < 25 || p > 32)
            FR_RETURN_TRACED(0);
        prefix = p;
    }
    if (prefix && min_prefix && prefix < min_prefix)
        FR_RETURN_TRACED(0);
    return 1;
}

int valid_arpa_ip6_zone(std::string_view name, int min_prefix) {
    std::string_view labels;
    if (!labels_before(name, ip6_suffix, labels))
        FR_RETURN_TRACED(0);
    int prefix = 0;
    int count = 0;
    while (true) {
        size_t dot = labels.rfind('.');
        std::string_view l = dot == npos ? labels : labels.substr(dot + 1);
        if (++count > 33)
            FR_RETURN_TRACED(0);
        if (l.empty() || !is_hex(l[0]))
            FR_RETURN_TRACED(0);
        for (char c : l)
            if (!is_hex(c) && c != '/' && c != '-')
                FR_RETURN_TRACED(0);
        if (l[0] == '0' && l.size() > 1 && l[1] != '/' && l[1] != '-')
            FR_RETURN_TRACED(0);
        std::string_view start, after;
        if (cut_prefix(l, start, after)) {
            int p = 0;
            if (prefix || !parse_number(after, 3, p) || p < 9 || p > 128)
                FR_RETURN_TRACED(0);
            for (char c : start)
                if (!is_hex(c))
                    FR_RETURN_TRACED(0);
            prefix = p;
        }
        if (dot == npos)
            break;
        labels = labels.substr(0, dot);
    }
    if (prefix && min_prefix && prefix < min_prefix)
        FR_RETURN_TRACED(0);
    return 1;
}

int valid_arpa_e164_zone(std::string_view name) {
    if (name.size() < 4 || name.size() > 254)
        FR_RETURN_TRACED(0);
    std::string_view digits;
    // The suffix must end the name: nothing but one optional dot may follow it.
    if (!labels_before(name, e164_suffix, digits))
        FR_RETURN_TRACED(0);
    for (size_t i = 0; i < digits.size(); ++i) {
        const bool digit_place = i % 2 == 0;
        if (digit_place ? !is_digit(digits[i]) : digits[i] != '.')
            FR_RETURN_TRACED(0);
    }
    if (digits.size() % 2 == 0)
        FR_RETURN_TRACED(0);
    return 1;
}

int valid_ip_part(std::string_view text, int allow_prefix, int min_prefix) {
    if (text.empty())
        FR_RETURN_TRACED(0);
    const size_t width = allow_prefix ? 6 : 3;
    int octets = 0;
    bool prefixed = false;
    while (true) {
        size_t dot = text.find('.');
        std::string_view o = text.substr(0, dot);
        if (++octets > 4 || o.empty() || o.size() > width)
            FR_RETURN_TRACED(0);
        std::string_view start = o, after;
        size_t slash = allow_prefix ? o.find('/') : npos;
        if (slash != npos) {
            start = o.substr(0, slash);
            after = o.substr(slash + 1);
            int p = 0;
            if (prefixed || start.empty() || !parse_number(after, 2, p) || p < 1 || p > 32)
                FR_RETURN_TRACED(0);
            if (min_prefix && p < min_prefix)
                FR_RETURN_TRACED(0);
            prefixed = true;
        }
        int value = 0;
        if (!parse_number(start, width, value) || value > 255)
            FR_RETURN_TRACED(0);
        if (dot == npos)
            return 1;
        text.remove_prefix(dot + 1);
    }
}

// ---------------------------------------------------------------------------------------
// Name to network and back

int split_arpa_ipv4(std::string_view name, arpa_ipv4_net &net) {
    net = arpa_ipv4_net{};
    std::string_view labels;
    if (!labels_before(name, in_addr_suffix, labels))
        FR_RETURN_TRACED(-1);
    std::string_view label[5];
    size_t n = 0;
    if (!labels_right_to_left(labels, label, 5, n))
        FR_RETURN_TRACED(-1);

    // The octets nearest the suffix, in address order.
    int octet[4] = {};
    const size_t whole = n < 3 ? n : 3;
    for (size_t i = 0; i < whole; ++i)
        if (!parse_octet(label[i], octet[i]))
            FR_RETURN_TRACED(-1);
    char text[sizeof net.text] = {};
    size_t len = 0;
    for (size_t i = 0; i < whole; ++i)
        len += snprintf(text + len, sizeof text - len, i ? ".%d" : "%d", octet[i]);

    if (n <= 3) {
        memcpy(net.text, text, sizeof text);
        net.address = octets_to_address(octet, whole);
        net.prefix = static_cast<int>(8 * n);
        return 0;
    }

    // Four or five labels: the leftmost is a host or the start of a classless network.
    std::string_view start = label[n - 1], after;
    int prefix = 32;
    if (cut_prefix(label[n - 1], start, after) &&
        (!parse_number(after, 2, prefix) || prefix < 1 || prefix > 32))
        FR_RETURN_TRACED(-1);
    if (!parse_octet(start, octet[3]))
        FR_RETURN_TRACED(-1);
    snprintf(text + len, sizeof text - len, ".%d", octet[3]);
    arpa_ipv4_net host{};
    memcpy(host.text, text, sizeof text);
    host.address = octets_to_address(octet, 4);
    host.prefix = prefix;

    if (n == 5) {
        // A name inside a classless zone: the host must lie in that zone's network.
        std::string_view zone_start, zone_prefix;
        arpa_ipv4_net zone{};
        int zone_octets[4] = {octet[0], octet[1], octet[2], 0};
        if (!cut_prefix(label[3], zone_start, zone_prefix) ||
            !parse_octet(zone_start, zone_octets[3]) ||
            !parse_number(zone_prefix, 2, zone.prefix) || zone.prefix < 1 || zone.prefix > 32)
            FR_RETURN_TRACED(-1);
        zone.address = octets_to_address(zone_octets, 4);
        if (!is_subnet(host, zone))
            FR_RETURN_TRACED(-1);
    }
    net = host;
    return 0;
}

int split_arpa_ipv6(std::string_view name, arpa_ipv6_net &net) {
    net = arpa_ipv6_net{};
    if (name.empty())
        FR_RETURN_TRACED(-1);
    arpa_ipv6_net out{};
    while (true) {
        size_t dot = name.find('.');
        std::string_view l = name.substr(0, dot);
        if (l.size() == 3 && ends_with_nocase(l, "ip6"))
            break;
        // One place is kept for the terminating zero: the nibbles are always a C string.
        if (l.empty() || out.count >= static_cast<int>(sizeof out.nibbles) - 1)
            FR_RETURN_TRACED(-1);
        out.nibbles[out.count++] = l[0];
        std::string_view start, after;
        if (cut_prefix(l, start, after)) {
            int p = 0;
            if (!parse_number(after, 3, p) || p < 1 || p > 128)
                FR_RETURN_TRACED(-1);
            out.prefix = static_cast<unsigned>(p);
        }
        if (dot == npos)
            break;
        name.remove_prefix(dot + 1);
    }
    net = out;
    return 0;
}

int merge_arpa_ipv4(const arpa_ipv4_net &net, std::string &name) {
    const int prefix = net.prefix;
    if (prefix != 8 && prefix != 16 && (prefix < 24 || prefix > 32))
        FR_RETURN_TRACED(-1);
    // The record may come from anywhere: read its text only up to its fixed size, and
    // write a name only from one to four decimal octets.
    std::string_view text(net.text, strnlen(net.text, sizeof net.text));
    std::string_view o[4];
    size_t n = 0;
    while (true) {
        size_t dot = text.find('.');
        int value = 0;
        if (n == 4 || !parse_octet(text.substr(0, dot), value))
            FR_RETURN_TRACED(-1);
        o[n++] = text.substr(0, dot);
        if (dot == npos)
            break;
        text.remove_prefix(dot + 1);
    }
    try {
        std::string out;
        if (prefix == 8 && n >= 1)
            out.append(o[0]);
        else if (prefix == 16 && n >= 2)
            out.append(o[1]).append(".").append(o[0]);
        else if (prefix == 24 && n >= 3)
            out.append(o[2]).append(".").append(o[1]).append(".").append(o[0]);
        else if (prefix >= 25 && n == 4)
            out.append(o[3])
                .append("/")
                .append(std::to_string(prefix))
                .append(".")
                .append(o[2])
                .append(".")
                .append(o[1])
                .append(".")
                .append(o[0]);
        else
            FR_RETURN_TRACED(-1);
        out.append(in_addr_suffix);
        name.swap(out);
        return 0;
    } catch (...) {
        FR_TRACE_EXCEPTION(0);
        return -1;
    }
}
