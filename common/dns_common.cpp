#include "dns_common.h"

#include "files.h"
#include "liblog.h"
#include "numbers.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

global_strings *table = nullptr;

const char *const rr_names[] = {nullptr, "NS",  "A",   "AAAA", "CNAME",
                                "MX",    "PTR", "TXT", "SRV",  "NAPTR"};

std::string ip6_zeros(const char *first) {
    std::string s = first;
    for (int i = 0; i < 31; ++i)
        s += "0.";
    return s + "IP6.ARPA.";
}

const std::vector<std::string> &empty_zones() {
    static const std::vector<std::string> zones = {
        "0.IN-ADDR.ARPA.",
        "127.IN-ADDR.ARPA.",
        "254.169.IN-ADDR.ARPA.",
        "2.0.192.IN-ADDR.ARPA.",
        "100.51.198.IN-ADDR.ARPA.",
        "113.0.203.IN-ADDR.ARPA.",
        "255.255.255.255.IN-ADDR.ARPA.",
        ip6_zeros("0."),
        ip6_zeros("1."),
        "8.B.D.0.1.0.0.2.IP6.ARPA.",
        "D.F.IP6.ARPA.",
        "8.E.F.IP6.ARPA.",
        "9.E.F.IP6.ARPA.",
        "A.E.F.IP6.ARPA.",
        "B.E.F.IP6.ARPA.",
    };
    return zones;
}

void replace_all(std::string &text, std::string_view from, std::string_view to) {
    if (from.empty())
        return;
    std::string out;
    out.reserve(text.size());
    size_t pos = 0;
    for (size_t hit; (hit = text.find(from, pos)) != std::string::npos; pos = hit + from.size()) {
        out.append(text, pos, hit - pos);
        out.append(to);
    }
    out.append(text, pos, std::string::npos);
    text.swap(out);
}

} // namespace

const global_strings *gstr() {
    return table;
}

int _init_global_str() {
    if (table)
        return 0;
    auto *t = new global_strings;
    table = t;
    return 0;
}

void _free_global_str() {
    if (!table)
        return;
    delete table;
    table = nullptr;
}

std::string get_datetime_str() {
    char buf[30];
    time_t now = time(nullptr);
    struct tm tmv;
    gmtime_r(&now, &tmv);
    size_t n = strftime(buf, sizeof buf, "%b %d, %Y %H:%M:%S", &tmv);
    return std::string(buf, n);
}

int get_rr_type(const char *name) {
    if (!name)
        return RR_NONE;
    for (int code = 1; code <= 9; ++code)
        if (strcmp(name, rr_names[code]) == 0)
            return code;
    return RR_NONE;
}

const char *get_rr_type_str(int code) {
    return code >= 1 && code <= 9 ? rr_names[code] : nullptr;
}

int get_zone_type(const char *name) {
    if (!name)
        return ZONE_NONE;
    if (strcmp(name, "master") == 0)
        return ZONE_MASTER;
    if (strcmp(name, "slave") == 0)
        return ZONE_SLAVE;
    return ZONE_NONE;
}

const char *get_zone_type_str(int code) {
    if (code == ZONE_MASTER)
        return "master";
    if (code == ZONE_SLAVE)
        return "slave";
    return nullptr;
}

const std::vector<std::string> &empty_zone_list() {
    return empty_zones();
}

int is_empty_zone(std::string_view name) {
    for (const std::string &z : empty_zones())
        if (name.size() == z.size() && strncasecmp(name.data(), z.data(), z.size()) == 0)
            return 1;
    return 0;
}

int safe_strtouint32(std::string_view text, uint32_t *out, uint32_t min, uint32_t max,
                     uint32_t default_value) {
    uint32_t v = 0;
    if (str_touint32_err(text, &v) == 0 && v >= min && v <= max) {
        *out = v;
        return 0;
    }
    if (default_value != 0) {
        *out = default_value;
        return 0;
    }
    return -1;
}

std::string &escape_mysql_backslashes(std::string &text) {
    replace_all(text, "\\", "\\\\");
    return text;
}

std::string &unescape_mysql_backslashes(std::string &text) {
    replace_all(text, "\\\\", "\\");
    return text;
}

std::string &escape_squote(std::string &text) {
    replace_all(text, "'", "\\'");
    return text;
}

int fix_ending_backslashes(std::string &text) {
    if (text.empty()) {
        FR_TRACE_RETURN();
        return -1;
    }
    size_t n = 0;
    while (n < text.size() && text[text.size() - 1 - n] == '\\')
        ++n;
    if (n % 2)
        text += '\\';
    return 0;
}

int merge_into_fqdn(std::string &host, const std::string &origin) {
    if (host.empty()) {
        host = origin;
        return 0;
    }
    if (host.back() == '.')
        return 0;
    if (origin.empty() || origin[0] != '.')
        host += '.';
    host += origin;
    return 0;
}

int try_add_dot(std::string &name) {
    if (name.empty()) {
        FR_TRACE_RETURN();
        return -1;
    }
    if (name.back() == '.')
        return -1;
    name += '.';
    return 0;
}

int try_rm_dot(std::string &name) {
    if (name.empty()) {
        FR_TRACE_RETURN();
        return -1;
    }
    if (name.back() != '.')
        return -1;
    name.pop_back();
    return 0;
}

int io_valid_dir(const char *path) {
    struct stat st;
    return path && stat(path, &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}

int io_valid_file(const char *path) {
    struct stat st;
    return path && stat(path, &st) == 0 && S_ISREG(st.st_mode) ? 1 : 0;
}

int path_purge(std::string &path, int strict) {
    if (path.empty()) {
        FR_TRACE_RETURN();
        return -1;
    }
    std::string rebuilt;
    try {
        std::vector<std::string_view> pieces;
        bool dot_segment = false;
        std::string_view rest(path);
        while (true) {
            size_t slash = rest.find('/');
            std::string_view piece = rest.substr(0, slash);
            if (piece == "." || piece == "..")
                dot_segment = true;
            else if (!piece.empty())
                pieces.push_back(piece);
            if (slash == std::string_view::npos)
                break;
            rest = rest.substr(slash + 1);
        }
        if (strict && dot_segment) {
            FR_TRACE_RETURN();
            return -1;
        }
        // A path that began with a dot segment is rebuilt as absolute, like one beginning "/".
        const std::string_view first = std::string_view(path).substr(0, path.find('/'));
        const bool absolute = path[0] == '/' || first == "." || first == "..";
        for (size_t i = 0; i < pieces.size(); ++i) {
            if (i > 0 || absolute)
                rebuilt += '/';
            rebuilt += pieces[i];
        }
    } catch (const std::exception &) {
        // Out of memory: the caller's path stays as it was rather than half rebuilt.
        FR_TRACE_RETURN();
        return -1;
    }
    const bool only_slashes = path.find_first_not_of('/') == std::string::npos;
    path.swap(rebuilt);
    if (path.empty() && !only_slashes) {
        FR_TRACE_RETURN();
        return -1;
    }
    return 0;
}
