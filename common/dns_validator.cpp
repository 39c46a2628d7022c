// Name and record validators, the pattern matchers behind them and the NAPTR line repair.
// The host-name and label patterns of the global string table describe small regular
// languages; a backtracking engine needs exponential time on some texts, so they are
// decided here by hand in one pass over the text.
#include "dns_validator.h"

#include "dns_common.h"
#include "liblog.h"
#include "numbers.h"

#include <array>
#include <cstdint>
#include <vector>

namespace {

constexpr size_t npos = std::string_view::npos;

char fold(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Character classes, one table lookup per byte.
enum : uint8_t {
    C_ALNUM = 1,    // letters and digits
    C_UNDER = 2,    // "_"
    C_HYPHEN = 4,   // "-"
    C_TXT = 8,      // printable ASCII but the double quote and "|"
    C_TXT_HOST = 16 // letters, digits, "_", "-", "."
};

constexpr std::array<uint8_t, 256> make_classes() {
    std::array<uint8_t, 256> t{};
    for (int c = 0; c < 256; ++c) {
        uint8_t k = 0;
        const bool alnum =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (alnum)
            k |= C_ALNUM | C_TXT_HOST;
        if (c == '_')
            k |= C_UNDER | C_TXT_HOST;
        if (c == '-')
            k |= C_HYPHEN | C_TXT_HOST;
        if (c == '.')
            k |= C_TXT_HOST;
        if (c >= 32 && c <= 126 && c != '"' && c != '|')
            k |= C_TXT;
        t[static_cast<size_t>(c)] = k;
    }
    return t;
}
constexpr std::array<uint8_t, 256> char_class = make_classes();

uint8_t class_of(char c) {
    return char_class[static_cast<unsigned char>(c)];
}

uint8_t name_class(bool relaxed) {
    return relaxed ? C_ALNUM | C_UNDER : C_ALNUM;
}

// One label of the patterns: name characters and hyphens, beginning and ending with a
// name character.
bool is_pattern_label(std::string_view s, bool relaxed) {
    const uint8_t name = name_class(relaxed);
    if (s.empty() || !(class_of(s.front()) & name) || !(class_of(s.back()) & name))
        return false;
    for (char c : s)
        if (!(class_of(c) & (name | C_HYPHEN)))
            return false;
    return true;
}

// The number of labels of `name` when every one is a pattern label of at most `max_len`
// characters, 0 otherwise. One pass.
size_t pattern_labels(std::string_view name, bool relaxed, size_t max_len) {
    const uint8_t name_chars = name_class(relaxed);
    size_t labels = 0, len = 0;
    uint8_t prev = 0;
    for (size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || name[i] == '.') {
            if (len == 0 || len > max_len || !(prev & name_chars))
                return 0;
            ++labels;
            len = 0;
            continue;
        }
        const uint8_t k = class_of(name[i]);
        if (!(k & (len == 0 ? name_chars : name_chars | C_HYPHEN)))
            return 0;
        prev = k;
        ++len;
    }
    return labels;
}

std::string_view trim(std::string_view s) {
    const char *blanks = " \t\r\n\v\f";
    size_t b = s.find_first_not_of(blanks);
    if (b == npos)
        return {};
    return s.substr(b, s.find_last_not_of(blanks) - b + 1);
}

bool equals_nocase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && ends_with_nocase(a, b);
}

// Splits on one character; every piece, empty ones included.
std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> pieces;
    while (true) {
        size_t at = s.find(sep);
        pieces.push_back(s.substr(0, at));
        if (at == npos)
            return pieces;
        s.remove_prefix(at + 1);
    }
}

// The name ends with the zone at a label boundary (or is the zone itself): the position of
// the zone in the name, npos otherwise. Exact comparison.
size_t zone_suffix_at(std::string_view name, std::string_view zone) {
    if (zone.empty() || name.size() < zone.size() || !name.ends_with(zone))
        return npos;
    size_t pos = name.size() - zone.size();
    if (pos > 0 && name[pos - 1] != '.')
        return npos;
    return pos;
}

// Dots following an octet of a dotted quad: a "0" that begins an octet after the first
// must be the whole octet (named reads a leading zero as octal).
bool inner_octets_without_leading_zero(std::string_view text, std::string_view enders) {
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != '.' || text[i + 1] != '0')
            continue;
        if (i + 2 < text.size() && enders.find(text[i + 2]) == npos)
            return false;
    }
    return true;
}

} // namespace

// ---------------------------------------------------------------------------------------
// Text helpers

int ends_with_nocase(std::string_view text, std::string_view suffix) {
    if (suffix.size() > text.size())
        return 0;
    const size_t off = text.size() - suffix.size();
    for (size_t i = 0; i < suffix.size(); ++i)
        if (fold(text[off + i]) != fold(suffix[i]))
            return 0;
    return 1;
}

size_t find_nocase(std::string_view text, std::string_view needle, bool at_label, bool last) {
    const size_t m = needle.size();
    if (m == 0 || m > text.size())
        return npos;
    // Knuth-Morris-Pratt over the case-folded texts: every occurrence in linear time.
    size_t small[64];
    std::vector<size_t> large;
    size_t *fail = small;
    if (m > 64) {
        try {
            large.resize(m);
        } catch (...) {
            FR_TRACE_EXCEPTION(0);
            return npos;
        }
        fail = large.data();
    }
    fail[0] = 0;
    for (size_t i = 1, k = 0; i < m; ++i) {
        while (k > 0 && fold(needle[i]) != fold(needle[k]))
            k = fail[k - 1];
        if (fold(needle[i]) == fold(needle[k]))
            ++k;
        fail[i] = k;
    }
    size_t found = npos;
    for (size_t i = 0, k = 0; i < text.size(); ++i) {
        while (k > 0 && fold(text[i]) != fold(needle[k]))
            k = fail[k - 1];
        if (fold(text[i]) == fold(needle[k]))
            ++k;
        if (k < m)
            continue;
        size_t start = i + 1 - m;
        k = fail[k - 1];
        if (at_label && start > 0 && text[start - 1] != '.')
            continue;
        found = start;
        if (!last)
            break;
    }
    return found;
}

int match_label_pattern(std::string_view label, int relaxed) {
    // Either a pattern label, or one of two or more characters followed by a dot.
    if (is_pattern_label(label, relaxed))
        return 1;
    if (label.size() >= 3 && label.back() == '.' &&
        is_pattern_label(label.substr(0, label.size() - 1), relaxed))
        return 1;
    return 0;
}

int match_host_pattern(std::string_view name, int relaxed) {
    // Two or more pattern labels joined by dots, one optional final dot.
    if (!name.empty() && name.back() == '.')
        name.remove_suffix(1);
    return pattern_labels(name, relaxed, npos) >= 2 ? 1 : 0;
}

// ---------------------------------------------------------------------------------------
// Names

int valid_fq_domain(std::string_view name, int strict) {
    if (name.size() < 4 || name.size() > 255)
        FR_RETURN_TRACED(0);
    // Labels of 1 to 63 characters (a final dot ends the name, not an empty label) that
    // together match the host-name pattern.
    if (name.back() == '.')
        name.remove_suffix(1);
    if (pattern_labels(name, strict == 0, 63) < 2)
        FR_RETURN_TRACED(0);
    return 1;
}

int valid_domain_part(std::string_view label, int strict) {
    if (label.empty() || label.size() >= 64)
        FR_RETURN_TRACED(0);
    if (!match_label_pattern(label, strict != 1))
        FR_RETURN_TRACED(0);
    return 1;
}

int valid_alias(std::string_view name, int strict) {
    if (name.size() < 4 || name.size() > 255)
        FR_RETURN_TRACED(0);
    if (name[0] == '*') {
        if (name[1] != '.')
            FR_RETURN_TRACED(0);
        name.remove_prefix(2);
    }
    return valid_fq_domain(name, strict);
}

int valid_wildcard(std::string_view name, std::string_view zone) {
    if (zone.empty() || name.size() < 2 || name[0] != '*' || name[1] != '.')
        FR_RETURN_TRACED(0);
    std::string_view rest = name.substr(2);
    if (!valid_arpa_ip6_zone(rest, 0))
        FR_RETURN_TRACED(0);
    // The zone must stand in the name as whole labels, not as the tail of a longer label.
    if (find_nocase(rest, zone, true) == npos)
        FR_RETURN_TRACED(0);
    return 1;
}

int valid_subdomain(std::string_view name, std::string_view zone, int allow_equal,
                    int single_label) {
    if (name.empty() || zone.empty())
        FR_RETURN_TRACED(0);
    size_t pos = zone_suffix_at(name, zone);
    if (pos == npos)
        FR_RETURN_TRACED(0);
    if (pos == 0 && !allow_equal)
        FR_RETURN_TRACED(0);
    if (single_label && pos > 0 && name.substr(0, pos - 1).find('.') != npos)
        FR_RETURN_TRACED(0);
    return 1;
}

int valid_srv_host(std::string_view host, std::string_view zone, const srv_name_set &services,
                   const srv_name_set &protocols) {
    if (host.empty() || zone.empty())
        FR_RETURN_TRACED(0);
    size_t pos = zone_suffix_at(host, zone);
    if (pos == npos || pos <= 1)
        FR_RETURN_TRACED(0);
    std::string_view owner = host.substr(0, pos - 1);

    size_t dot = owner.find('.');
    std::string_view service = owner.substr(0, dot);
    if (service.empty())
        FR_RETURN_TRACED(0);
    if (service != "*") {
        if (service[0] != '_' || (service.size() > 1 && service[1] == '*'))
            FR_RETURN_TRACED(0);
        if (services.find(service.substr(1)) == services.end())
            FR_RETURN_TRACED(0);
    }
    if (dot == npos)
        FR_RETURN_TRACED(0);
    owner.remove_prefix(dot + 1);

    dot = owner.find('.');
    std::string_view protocol = owner.substr(0, dot);
    if (protocol.empty() || protocol[0] != '_')
        FR_RETURN_TRACED(0);
    if (protocols.find(protocol.substr(1)) == protocols.end())
        FR_RETURN_TRACED(0);
    // Every further label must pass valid_domain_part(label, 1); they hold no dot, so that
    // is a strict pattern label of 1 to 63 characters.
    if (dot != npos && pattern_labels(owner.substr(dot + 1), false, 63) == 0)
        FR_RETURN_TRACED(0);
    return 1;
}

int valid_txt_host(std::string_view host, std::string_view zone) {
    if (host.empty() || zone.empty())
        FR_RETURN_TRACED(0);
    size_t start = 0;
    if (host[0] == '*') {
        if (host.size() < 2 || host[1] != '.')
            FR_RETURN_TRACED(0);
        start = 2;
    }
    std::string_view owner = host.substr(start);
    if (owner.empty())
        FR_RETURN_TRACED(0);

    // Every owner: letters, digits, "_", "-" and dots, labels of 1 to 63 characters.
    std::string_view labels = owner;
    if (labels.back() == '.')
        labels.remove_suffix(1);
    size_t label_len = 0;
    for (size_t i = 0; i <= labels.size(); ++i) {
        if (i == labels.size() || labels[i] == '.') {
            if (label_len < 1 || label_len > 63)
                FR_RETURN_TRACED(0);
            label_len = 0;
            continue;
        }
        if (!(class_of(labels[i]) & C_TXT_HOST))
            FR_RETURN_TRACED(0);
        ++label_len;
    }

    // An absolute owner (or any owner of a zone given without its final dot) must be the
    // zone or lie under it.
    if (owner.back() == '.' || zone.back() != '.') {
        std::string_view z = zone;
        if (z.back() == '.')
            z.remove_suffix(1);
        if (z.empty() || !ends_with_nocase(labels, z))
            FR_RETURN_TRACED(0);
        if (labels.size() > z.size() && labels[labels.size() - z.size() - 1] != '.')
            FR_RETURN_TRACED(0);
        return 1;
    }

    // A relative owner longer than the zone keeps the separator test of the light check.
    if (host.size() > zone.size() + 1) {
        size_t p = host.size() - zone.size() - 1;
        if (p > start && host[p] != '.')
            FR_RETURN_TRACED(0);
    }
    return 1;
}

// ---------------------------------------------------------------------------------------
// Record values

int valid_txt(std::string_view text) {
    if (text.empty() || text.size() > 4096)
        FR_RETURN_TRACED(0);
    for (char c : text)
        if (!(class_of(c) & C_TXT))
            FR_RETURN_TRACED(0);
    // An odd run of final backslashes would escape the closing quote in the zone file.
    size_t n = 0;
    while (n < text.size() && text[text.size() - 1 - n] == '\\')
        ++n;
    if (n % 2)
        FR_RETURN_TRACED(0);
    return 1;
}

int valid_naptr_flag(char ch) {
    if (ch == '\0')
        return 1;
    for (const char *p = "UASPuasp"; *p; ++p)
        if (ch == *p)
            return 1;
    FR_RETURN_TRACED(0);
}

int valid_naptr_regexp(std::string_view text) {
    if (text.empty())
        FR_RETURN_TRACED(0);
    int bangs = 0;
    for (char c : text) {
        if (c == '"')
            FR_RETURN_TRACED(0);
        if (c == '!')
            ++bangs;
    }
    if (bangs != 3)
        FR_RETURN_TRACED(0);
    char last = text.back();
    if (last == '!')
        return 1;
    if ((last == 'i' || last == 'I') && text.size() >= 2 && text[text.size() - 2] == '!')
        return 1;
    FR_RETURN_TRACED(0);
}

int valid_named_ipv4(std::string_view text) {
    if (text.empty() || !fr_valid_ipv4(text))
        FR_RETURN_TRACED(0);
    if (!inner_octets_without_leading_zero(text, "."))
        FR_RETURN_TRACED(0);
    return 1;
}

int valid_named_ipv4_cidr(std::string_view text) {
    if (text.empty() || !(fr_valid_ipv4_cidr(text) || fr_valid_ipv4(text)))
        FR_RETURN_TRACED(0);
    if (!inner_octets_without_leading_zero(text, "./"))
        FR_RETURN_TRACED(0);
    return 1;
}

// ---------------------------------------------------------------------------------------
// NAPTR line repair

int mangle_naptr_line(std::string_view line, std::vector<std::string> &fields) {
    try {
        if (fields.size() < 2) {
            FR_TRACE_RETURN();
            return -1;
        }
        fields[1] = std::string(trim(fields[1]));
        if (!equals_nocase(fields[1], "NAPTR"))
            return 0;
        if (fields.size() < 7) {
            FR_TRACE_RETURN();
            return -1;
        }
        fields[6] = std::string(trim(fields[6]));
        if (fields[6].empty())
            return 0;

        std::vector<std::string_view> bang = split(line, '!');
        if (bang.size() < 4) {
            FR_TRACE_RETURN();
            return -1;
        }
        std::string expr = "!";
        expr.append(bang[1]).append("!").append(bang[2]).append("!");
        if (!bang[3].empty() && (bang[3][0] == 'i' || bang[3][0] == 'I'))
            expr += bang[3][0];

        // Piece 0 of the tail is the case flag (or nothing); the fields follow it.
        std::vector<std::string_view> tail = split(bang[3], '|');
        std::vector<std::string> rebuilt(fields.begin(), fields.begin() + 5);
        rebuilt.push_back(std::move(expr));
        for (size_t i = 1; i < tail.size(); ++i)
            rebuilt.emplace_back(tail[i]);
        fields.swap(rebuilt);
        return 0;
    } catch (...) {
        FR_TRACE_EXCEPTION(0);
        return -1;
    }
}
