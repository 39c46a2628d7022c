#include "config.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <unordered_map>

namespace {

std::string_view trim(std::string_view s) {
    const char *ws = " \t\r\n\f\v";
    auto b = s.find_first_not_of(ws);
    if (b == std::string_view::npos)
        return {};
    auto e = s.find_last_not_of(ws);
    return s.substr(b, e - b + 1);
}

// Splits one line into key and value. 1: a setting; 0: blank or comment; -1: malformed.
int split_line(std::string_view line, std::string &key, std::string &value) {
    line = trim(line);
    if (line.empty() || line[0] == '#')
        return 0;
    auto kend = line.find_first_of(" \t=");
    if (kend == std::string_view::npos)
        return -1;
    key = std::string(line.substr(0, kend));
    std::string_view rest = trim(line.substr(kend));
    if (!rest.empty() && rest[0] == '=')
        rest = trim(rest.substr(1));
    if (rest.empty())
        return -1;
    if (rest[0] == '"') {
        auto close = rest.find('"', 1);
        if (close == std::string_view::npos)
            return -1;
        std::string_view after = trim(rest.substr(close + 1));
        if (!after.empty() && after[0] != '#')
            return -1;
        value = std::string(rest.substr(1, close - 1));
        return 1;
    }
    // An unquoted value ends at a comment.
    auto hash = rest.find('#');
    if (hash != std::string_view::npos)
        rest = trim(rest.substr(0, hash));
    if (rest.empty())
        return -1;
    value = std::string(rest);
    return 1;
}

bool parse_integer(const std::string &text, long long &out) {
    errno = 0;
    char *end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0')
        return false;
    out = v;
    return true;
}

} // namespace

int parseconfig(const std::string &path, const std::vector<config_entry> &entries) {
    std::ifstream in(path);
    if (!in)
        return -1;
    std::unordered_map<std::string, std::string> values;
    std::string line, key, value;
    while (std::getline(in, line)) {
        int r = split_line(line, key, value);
        if (r < 0)
            return -2;
        if (r > 0)
            values[key] = value; // the last setting of a key wins
    }
    if (in.bad())
        return -1;

    // Check everything before storing anything, so a failure changes nothing.
    std::vector<long long> numbers(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        auto it = values.find(entries[i].key);
        if (it != values.end() && entries[i].kind == CONFIG_INT &&
            !parse_integer(it->second, numbers[i]))
            return -2;
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        auto it = values.find(entries[i].key);
        if (it == values.end())
            continue;
        if (entries[i].kind == CONFIG_INT && entries[i].number)
            *entries[i].number = numbers[i];
        else if (entries[i].kind == CONFIG_STR && entries[i].text)
            *entries[i].text = it->second;
    }
    return 0;
}

std::string etc_dir() {
    const char *d = secure_getenv("ZONARIS_ETC_D");
    if (d && *d)
        return d;
    return ZONARIS_ETC_DIR;
}

std::string etc_file(const std::string &name) {
    return etc_dir() + "/" + name;
}
