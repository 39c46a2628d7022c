// Zone headers and names of the zone text parser: classification, validation, canonical form
// and the classless separator of a header; the character rule every accepted name obeys.
#include "feed_parse.h"
#include "feed_zone_lookup.h"

namespace {

constexpr std::string_view in_addr_tail = ".IN-ADDR.ARPA";
constexpr std::string_view ip6_tail = ".IP6.ARPA";
constexpr std::string_view e164_tail = ".E164.ARPA";

bool ascii_alnum(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string_view tail_of(int kind) {
    switch (kind) {
    case KIND_REVERSE4:
        return in_addr_tail;
    case KIND_REVERSE6:
        return ip6_tail;
    case KIND_ENUM:
        return e164_tail;
    }
    return {};
}

// Position of a reverse tail in `text` (last occurrence), npos if none.
size_t reverse_tail_pos(std::string_view text) {
    size_t at = find_nocase(text, in_addr_tail, false, true);
    if (at == std::string_view::npos)
        at = find_nocase(text, ip6_tail, false, true);
    return at;
}

} // namespace

bool safe_name(std::string_view name) {
    if (name.empty() || name.size() > 255)
        return false;
    size_t label = 0;
    for (size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (c == '.') {
            if (label == 0)
                return false;
            label = 0;
            continue;
        }
        if (++label > 63)
            return false;
        if (c == '*') {
            if (i != 0 || (name.size() > 1 && name[1] != '.'))
                return false;
            continue;
        }
        if (!ascii_alnum(c) && c != '-' && c != '_' && c != '/')
            return false;
    }
    return true;
}

void be_canonical_zone(std::string &name, int kind, char separator) {
    const std::string_view tail = tail_of(kind);
    size_t at = tail.empty() ? std::string::npos : find_nocase(name, tail, false, true);
    const size_t end = at == std::string::npos ? name.size() : at;
    for (size_t i = 0; i < end; ++i) {
        name[i] = lower(name[i]);
        if ((separator == '/' || separator == '-') && (name[i] == '/' || name[i] == '-') &&
            (kind == KIND_REVERSE4 || kind == KIND_REVERSE6))
            name[i] = separator;
    }
    if (at == std::string::npos)
        return;
    for (size_t i = 0; i < tail.size(); ++i)
        name[at + i] = tail[i];
    for (size_t i = at + tail.size(); i < name.size(); ++i)
        name[i] = lower(name[i]);
}

int has_char_(std::string_view text, char ch) {
    size_t at = reverse_tail_pos(text);
    if (at == std::string_view::npos)
        return 0;
    return text.substr(0, at).find(ch) != std::string_view::npos ? 1 : 0;
}

// The separator of a classless reverse zone: from the name, else from the stored zone.
static int check_domain_conversion(zone_header &header, sql_conn *db, int feed_id) {
    if (has_char_(header.name, '/')) {
        header.separator = '/';
        return 0;
    }
    if (has_char_(header.name, '-')) {
        header.separator = '-';
        return 0;
    }
    if (!db)
        return 0;
    int code = -1;
    if (get_zone_separator(db, header.name, feed_id, &code) != 0)
        return -1;
    if (code >= 0)
        header.separator = code == 0 ? '/' : code == 1 ? '-' : '.';
    return 0;
}

int resolve_header(std::string_view text, zone_header &header, int validate, sql_conn *db,
                   int feed_id) {
    header = zone_header{};
    if (!text.empty() && text[0] == '|')
        return HEADER_DUPLICATE;
    size_t bar = text.find('|');
    std::string_view name = trim_blanks(text.substr(0, bar));
    std::string_view type;
    if (bar != std::string_view::npos) {
        type = trim_blanks(text.substr(bar + 1));
        if (type.find('|') != std::string_view::npos)
            return HEADER_BAD;
    }
    if (name.empty() || !safe_name(name))
        return HEADER_BAD;
    header.name.assign(name);
    if (header.name.back() != '.')
        header.name += '.';
    header.kind = is_arpa_light_check(header.name);

    if (validate) {
        int ok = 0;
        switch (header.kind) {
        case KIND_REVERSE4:
            ok = valid_arpa_zone(header.name, 0);
            break;
        case KIND_REVERSE6:
            ok = valid_arpa_ip6_zone(header.name, 0);
            break;
        case KIND_ENUM:
            ok = valid_arpa_e164_zone(header.name);
            break;
        default:
            ok = valid_fq_domain(header.name, 1);
        }
        if (!ok)
            return HEADER_BAD;
    }
    if (header.kind == KIND_REVERSE4 || header.kind == KIND_REVERSE6) {
        if (validate && check_domain_conversion(header, db, feed_id) != 0)
            return HEADER_DB_FAILED;
        if (!validate) {
            if (has_char_(header.name, '/'))
                header.separator = '/';
            else if (has_char_(header.name, '-'))
                header.separator = '-';
        }
    }
    be_canonical_zone(header.name, header.kind, header.separator);

    std::string type_name(type);
    for (char &c : type_name)
        c = lower(c);
    if (type_name.empty() || type_name == "master")
        header.type = 1;
    else if (type_name == "slave")
        header.type = 2;
    else
        return HEADER_BAD;

    if (header.kind == KIND_REVERSE4 && split_arpa_ipv4(header.name, header.net4) != 0)
        return HEADER_BAD;
    if (header.kind == KIND_REVERSE6 && split_arpa_ipv6(header.name, header.net6) != 0)
        return HEADER_BAD;
    return HEADER_OK;
}
