// Name and record validators, the pattern matchers behind them and the NAPTR line repair.
// The host-name and label patterns of the global string table describe small regular
// languages; a backtracking engine needs exponential time on some texts, so they are
// decided here by hand in one pass over the text.
#include "dns_validator.h"

#include "dns_common.h"
#include "liblog.h"
#include "numbers.h"

#include <vector>

// A refusal: trace the conditional return through the library log and answer 0.
#define REFUSE()                                                                                   \
    do {                                                                                           \
        FR_TRACE_RETURN();                                                                         \
        return 0;                                                                                  \
    } while (0)

namespace {

constexpr size_t npos = std::string_view::npos;

char fold(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool is_alnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool is_name_char(char c, bool relaxed) {
    return is_alnum(c) || (relaxed && c == '_');
}

// One label of the patterns: name characters and hyphens, beginning and ending with a
// name character.
bool is_pattern_label(std::string_view s, bool relaxed) {
    if (s.empty() || !is_name_char(s.front(), relaxed) || !is_name_char(s.back(), relaxed))
        return false;
    for (char c : s)
        if (c != '-' && !is_name_char(c, relaxed))
            return false;
    return true;
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
    int labels = 0;
    while (true) {
        size_t dot = name.find('.');
        if (!is_pattern_label(name.substr(0, dot), relaxed))
            return 0;
        ++labels;
        if (dot == npos)
            return labels >= 2;
        name.remove_prefix(dot + 1);
    }
}

// ---------------------------------------------------------------------------------------
// Names

int valid_fq_domain(std::string_view name, int strict) {
    if (name.size() < 4 || name.size() > 255)
        REFUSE();
    std::string_view rest = name;
    if (rest.back() == '.')
        rest.remove_suffix(1);
    while (true) {
        size_t dot = rest.find('.');
        size_t len = dot == npos ? rest.size() : dot;
        if (len < 1 || len > 63)
            REFUSE();
        if (dot == npos)
            break;
        rest.remove_prefix(dot + 1);
    }
    if (!match_host_pattern(name, strict == 0))
        REFUSE();
    return 1;
}

int valid_domain_part(std::string_view label, int strict) {
    if (label.empty() || label.size() >= 64)
        REFUSE();
    if (!match_label_pattern(label, strict != 1))
        REFUSE();
    return 1;
}

int valid_alias(std::string_view name, int strict) {
    if (name.size() < 4 || name.size() > 255)
        REFUSE();
    if (name[0] == '*') {
        if (name[1] != '.')
            REFUSE();
        name.remove_prefix(2);
    }
    return valid_fq_domain(name, strict);
}

int valid_wildcard(std::string_view name, std::string_view zone) {
    if (zone.empty() || name.size() < 2 || name[0] != '*' || name[1] != '.')
        REFUSE();
    std::string_view rest = name.substr(2);
    if (!valid_arpa_ip6_zone(rest, 0))
        REFUSE();
    // The zone must stand in the name as whole labels, not as the tail of a longer label.
    if (find_nocase(rest, zone, true) == npos)
        REFUSE();
    return 1;
}

int valid_subdomain(std::string_view name, std::string_view zone, int allow_equal,
                    int single_label) {
    if (name.empty() || zone.empty())
        REFUSE();
    size_t pos = zone_suffix_at(name, zone);
    if (pos == npos)
        REFUSE();
    if (pos == 0 && !allow_equal)
        REFUSE();
    if (single_label && pos > 0 && name.substr(0, pos - 1).find('.') != npos)
        REFUSE();
    return 1;
}

int valid_srv_host(std::string_view host, std::string_view zone, const srv_name_set &services,
                   const srv_name_set &protocols) {
    if (host.empty() || zone.empty())
        REFUSE();
    size_t pos = zone_suffix_at(host, zone);
    if (pos == npos || pos <= 1)
        REFUSE();
    std::string_view owner = host.substr(0, pos - 1);

    size_t dot = owner.find('.');
    std::string_view service = owner.substr(0, dot);
    if (service.empty())
        REFUSE();
    if (service != "*") {
        if (service[0] != '_' || (service.size() > 1 && service[1] == '*'))
            REFUSE();
        if (services.find(service.substr(1)) == services.end())
            REFUSE();
    }
    if (dot == npos)
        REFUSE();
    owner.remove_prefix(dot + 1);

    dot = owner.find('.');
    std::string_view protocol = owner.substr(0, dot);
    if (protocol.empty() || protocol[0] != '_')
        REFUSE();
    if (protocols.find(protocol.substr(1)) == protocols.end())
        REFUSE();
    while (dot != npos) {
        owner.remove_prefix(dot + 1);
        dot = owner.find('.');
        if (!valid_domain_part(owner.substr(0, dot), 1))
            REFUSE();
    }
    return 1;
}

int valid_txt_host(std::string_view host, std::string_view zone) {
    if (host.empty() || zone.empty())
        REFUSE();
    size_t start = 0;
    if (host[0] == '*') {
        if (host.size() < 2 || host[1] != '.')
            REFUSE();
        start = 2;
    }
    std::string_view owner = host.substr(start);
    if (owner.empty())
        REFUSE();

    // Every owner: letters, digits, "_", "-" and dots, labels of 1 to 63 characters.
    std::string_view labels = owner;
    if (labels.back() == '.')
        labels.remove_suffix(1);
    size_t label_len = 0;
    for (size_t i = 0; i <= labels.size(); ++i) {
        if (i == labels.size() || labels[i] == '.') {
            if (label_len < 1 || label_len > 63)
                REFUSE();
            label_len = 0;
            continue;
        }
        char c = labels[i];
        if (!is_alnum(c) && c != '_' && c != '-')
            REFUSE();
        ++label_len;
    }

    // An absolute owner (or any owner of a zone given without its final dot) must be the
    // zone or lie under it.
    if (owner.back() == '.' || zone.back() != '.') {
        std::string_view z = zone;
        if (z.back() == '.')
            z.remove_suffix(1);
        if (z.empty() || !ends_with_nocase(labels, z))
            REFUSE();
        if (labels.size() > z.size() && labels[labels.size() - z.size() - 1] != '.')
            REFUSE();
        return 1;
    }

    // A relative owner longer than the zone keeps the separator test of the light check.
    if (host.size() > zone.size() + 1) {
        size_t p = host.size() - zone.size() - 1;
        if (p > start && host[p] != '.')
            REFUSE();
    }
    return 1;
}

// ---------------------------------------------------------------------------------------
// Record values

int valid_txt(std::string_view text) {
    if (text.empty() || text.size() > 4096)
        REFUSE();
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c < 32 || c > 126 || c == '"' || c == '|')
            REFUSE();
    }
    // An odd run of final backslashes would escape the closing quote in the zone file.
    size_t n = 0;
    while (n < text.size() && text[text.size() - 1 - n] == '\\')
        ++n;
    if (n % 2)
        REFUSE();
    return 1;
}

int valid_naptr_flag(char ch) {
    if (ch == '\0')
        return 1;
    for (const char *p = "UASPuasp"; *p; ++p)
        if (ch == *p)
            return 1;
    REFUSE();
}

int valid_naptr_regexp(std::string_view text) {
    if (text.empty())
        REFUSE();
    int bangs = 0;
    for (char c : text) {
        if (c == '"')
            REFUSE();
        if (c == '!')
            ++bangs;
    }
    if (bangs != 3)
        REFUSE();
    char last = text.back();
    if (last == '!')
        return 1;
    if ((last == 'i' || last == 'I') && text.size() >= 2 && text[text.size() - 2] == '!')
        return 1;
    REFUSE();
}

int valid_named_ipv4(std::string_view text) {
    if (text.empty() || !fr_valid_ipv4(text))
        REFUSE();
    if (!inner_octets_without_leading_zero(text, "."))
        REFUSE();
    return 1;
}

int valid_named_ipv4_cidr(std::string_view text) {
    if (text.empty() || !(fr_valid_ipv4_cidr(text) || fr_valid_ipv4(text)))
        REFUSE();
    if (!inner_octets_without_leading_zero(text, "./"))
        REFUSE();
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
