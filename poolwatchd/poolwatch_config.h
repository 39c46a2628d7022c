// The pool monitor's configuration: the keys it reads from zonaris.conf, their defaults and
// the warnings that tell the administrator which default was taken.
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

inline constexpr int POOLWATCH_DEFAULT_CONCURRENCY = 4;
inline constexpr int POOLWATCH_DEFAULT_DRIFT = 7;
inline constexpr int POOLWATCH_DEFAULT_TIMEOUT = 60;
inline constexpr int POOLWATCH_DEFAULT_POOLING_INTERVAL = 25;
inline constexpr const char *POOLWATCH_DEFAULT_PID_FILE = "/var/run/zonaris/poolwatch.pid";
inline constexpr const char *POOLWATCH_DEFAULT_SCRIPT_D = "/usr/local/zonaris/poolwatch/bin";
inline constexpr const char *POOLWATCH_DEFAULT_SCRIPT_USER = "nobody";

// The account test scripts run under, as looked up from POOLWATCH_SCRIPT_USER.
struct script_account {
    bool switch_user = false; // false: the daemon's own
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups; // supplementary groups
};

struct poolwatch_config {
    std::optional<std::string> db_name, db_host, db_user, db_passwd;
    unsigned db_port = 0; // 0: the client library's default (3306)
    std::optional<std::string> log_engine_type, log_engine_data, log_level;
    int concurrency = POOLWATCH_DEFAULT_CONCURRENCY;
    int drift = POOLWATCH_DEFAULT_DRIFT;
    int timeout = POOLWATCH_DEFAULT_TIMEOUT;
    int pooling_interval = POOLWATCH_DEFAULT_POOLING_INTERVAL;
    std::string pid_file = POOLWATCH_DEFAULT_PID_FILE;
    std::string script_dir = POOLWATCH_DEFAULT_SCRIPT_D;
    std::string script_user = POOLWATCH_DEFAULT_SCRIPT_USER;
    script_account account; // filled by poolwatch_script_account
    // Damping and the keep-one-up switch; the defaults switch on every verdict.
    int rise = 1, fall = 1;
    bool keep_one_up = false;
};

// Reads `path` into a fresh configuration. Missing, negative or zero numbers and missing
// paths take their defaults with a warning each. 0, or -1 when the file cannot be read or
// holds a malformed line (logged; `cfg` then holds only defaults and no database keys).
[[nodiscard]] int poolwatch_read_config(const std::string &path, poolwatch_config &cfg);

// Only the database keys and the pid file, for `--readconfig`; no warnings.
[[nodiscard]] int poolwatch_read_pid_config(const std::string &path, poolwatch_config &cfg);

// Looks `user` up for running scripts under it: its uid, primary group and supplementary
// groups. A daemon that does not run as root cannot change its user; its scripts then run as
// its own user (warned when `user` is another one). 0, or -1 (logged) when there is no such
// user.
[[nodiscard]] int poolwatch_script_account(const std::string &user, script_account &account);
