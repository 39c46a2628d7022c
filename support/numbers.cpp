#include "numbers.h"

#include <cstdlib>

namespace {

// Parses optional blanks, an optional sign (when allowed) and decimal digits filling the
// rest of the text.
bool parse_decimal(std::string_view t, bool allow_minus, long long limit_hi, long long limit_lo,
                   long long &out) {
    size_t i = 0;
    while (i < t.size() && (t[i] == ' ' || t[i] == '\t'))
        ++i;
    bool neg = false;
    if (i < t.size() && (t[i] == '+' || (allow_minus && t[i] == '-'))) {
        neg = t[i] == '-';
        ++i;
    }
    if (i >= t.size())
        return false;
    long long v = 0;
    for (; i < t.size(); ++i) {
        if (t[i] < '0' || t[i] > '9')
            return false;
        v = v * 10 + (t[i] - '0');
        if (v > limit_hi + 1)
            return false;
    }
    if (neg)
        v = -v;
    if (v > limit_hi || v < limit_lo)
        return false;
    out = v;
    return true;
}

} // namespace

int str_touint32_err(std::string_view text, uint32_t *out) {
    long long v;
    if (!parse_decimal(text, false, 0xffffffffLL, 0, v))
        return -1;
    if (out)
        *out = static_cast<uint32_t>(v);
    return 0;
}

uint32_t str_touint32(std::string_view text) {
    uint32_t v = 0;
    return str_touint32_err(text, &v) == 0 ? v : 0;
}

int32_t str_toint32(std::string_view text) {
    long long v;
    if (!parse_decimal(text, true, 0x7fffffffLL, -0x80000000LL, v))
        return 0;
    return static_cast<int32_t>(v);
}

int fr_valid_ipv4(std::string_view text) {
    int parts = 0;
    size_t i = 0;
    while (true) {
        size_t start = i;
        int v = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3)
            v = v * 10 + (text[i++] - '0');
        if (i == start || v > 255)
            return 0;
        if (i < text.size() && text[i] >= '0' && text[i] <= '9')
            return 0; // more than three digits
        ++parts;
        if (parts == 4)
            return i == text.size();
        if (i >= text.size() || text[i] != '.')
            return 0;
        ++i;
    }
}

int fr_valid_ipv4_cidr(std::string_view text) {
    auto slash = text.find('/');
    if (slash == std::string_view::npos)
        return fr_valid_ipv4(text);
    std::string_view len = text.substr(slash + 1);
    if (len.empty() || len.size() > 2)
        return 0;
    int v = 0;
    for (char c : len) {
        if (c < '0' || c > '9')
            return 0;
        v = v * 10 + (c - '0');
    }
    return v <= 32 && fr_valid_ipv4(text.substr(0, slash));
}
