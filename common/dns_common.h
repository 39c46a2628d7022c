// Toolkit pieces every program needs: the shared constant strings,
// record and zone type codes, the built-in empty reverse zones, bounded number parsing,
// escaping, dot handling, pid files, file-system tests and the path sanitiser.
// Texts are edited in place where an operation "changes" them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Record type codes.
enum rr_type {
    RR_NONE = 0,
    RR_NS = 1,
    RR_A,
    RR_AAAA,
    RR_CNAME,
    RR_MX,
    RR_PTR,
    RR_TXT,
    RR_SRV,
    RR_NAPTR
};
// Zone type codes.
enum zone_type { ZONE_NONE = 0, ZONE_MASTER = 1, ZONE_SLAVE = 2 };

// The global string table, built once by _init_global_str before any toolkit operation
// and released by _free_global_str at exit.
struct global_strings {
    std::string in_addr_arpa = ".IN-ADDR.ARPA";
    std::string ip6_arpa = ".IP6.ARPA";
    std::string e164_arpa = ".E164.ARPA";
    std::string slash = "/";
    std::string comma = ",";
    std::string dot = ".";
    std::string backslash = "\\";
    std::string two_backslashes = "\\\\";
    std::string squote = "'";
    std::string escaped_squote = "\\'";
    std::string naptr_case_flags = "iI";
};
// nullptr until _init_global_str has run.
const global_strings *gstr();
int _init_global_str();
void _free_global_str();

// Time stamp "%b %d, %Y %H:%M:%S" in UTC.
std::string get_datetime_str();

int get_rr_type(const char *name);
const char *get_rr_type_str(int code); // nullptr for 0 and codes above 9
int get_zone_type(const char *name);
const char *get_zone_type_str(int code);
int is_empty_zone(std::string_view name);
// The built-in empty reverse zones (upper case, with the final dot).
const std::vector<std::string> &empty_zone_list();

int safe_strtouint32(std::string_view text, uint32_t *out, uint32_t min, uint32_t max,
                     uint32_t default_value);

std::string &escape_mysql_backslashes(std::string &text);
std::string &unescape_mysql_backslashes(std::string &text);
std::string &escape_squote(std::string &text);
int fix_ending_backslashes(std::string &text);

int merge_into_fqdn(std::string &host, const std::string &origin);
int try_add_dot(std::string &name);
int try_rm_dot(std::string &name);

int io_valid_dir(const char *path);
int io_valid_file(const char *path);

int path_purge(std::string &path, int strict);
