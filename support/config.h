// Configuration files: one "KEY value" or "KEY = value" per line, '#' starts a comment,
// a value may be wrapped in double quotes. Also where the programs find their files.
#pragma once

#include <optional>
#include <string>
#include <vector>

enum config_kind { CONFIG_INT = 1, CONFIG_STR = 2 };

struct config_entry {
    std::string key;
    config_kind kind;
    std::optional<long long> *number = nullptr; // for CONFIG_INT
    std::optional<std::string> *text = nullptr; // for CONFIG_STR
};

// The entries of a settings table: a text key and a whole-number key.
inline config_entry config_text(std::string key, std::optional<std::string> &dest) {
    return {std::move(key), CONFIG_STR, nullptr, &dest};
}
inline config_entry config_number(std::string key, std::optional<long long> &dest) {
    return {std::move(key), CONFIG_INT, &dest, nullptr};
}

// Reads `path` and fills the destinations of the entries whose keys it holds; keys absent
// from the file leave their destinations untouched. Returns 0 on success, -1 when the file
// cannot be read, -2 when a line is malformed (an integer key with a non-integer value, a
// key without a value, an unterminated quote). On failure no destination is changed.
int parseconfig(const std::string &path, const std::vector<config_entry> &entries);

// The configuration directory: $ZONARIS_ETC_D (ignored in set-uid processes) or the
// built-in "/etc/zonaris". `etc_file("zonaris.conf")` joins a file name to it.
std::string etc_dir();
std::string etc_file(const std::string &name);
