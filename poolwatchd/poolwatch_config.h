// The pool monitor's configuration: the shared settings (database, pid file, logging) and
// its own keys, read from zonaris.conf in one pass, their defaults and the warnings that tell
// the administrator which default was taken.
#pragma once

#include "daemon_settings.h"

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
    base_settings base; // DB_*, POOLWATCH_PID_FILE, POOLWATCH_LOG_*
    int concurrency = POOLWATCH_DEFAULT_CONCURRENCY;
    int drift = POOLWATCH_DEFAULT_DRIFT;
    int timeout = POOLWATCH_DEFAULT_TIMEOUT;
    int pooling_interval = POOLWATCH_DEFAULT_POOLING_INTERVAL;
    std::string script_dir = POOLWATCH_DEFAULT_SCRIPT_D;
    std::string script_user = POOLWATCH_DEFAULT_SCRIPT_USER;
    script_account account; // filled by poolwatch_script_account
    // Damping and the keep-one-up switch; the defaults switch on every verdict.
    int rise = 1, fall = 1;
    bool keep_one_up = false;
};

inline constexpr program_identity POOLWATCH_IDENTITY = {"poolwatchd", "POOLWATCH",
                                                        POOLWATCH_DEFAULT_PID_FILE};

// Reads `path` into a fresh configuration. Missing, negative or zero numbers and missing
// paths take their defaults with a warning each. 0, or -1 when the file cannot be read,
// holds a malformed line or an unusable shared setting (logged; `cfg` then holds only
// defaults and no database keys).
[[nodiscard]] int poolwatch_read_config(const std::string &path, poolwatch_config &cfg);

// Only the shared settings, for `--readconfig`; no warnings. -1 leaves the defaults.
[[nodiscard]] int poolwatch_read_pid_config(const std::string &path, poolwatch_config &cfg);

// Looks `user` up for running scripts under it: its uid, primary group and supplementary
// groups. A daemon that does not run as root cannot change its user; its scripts then run as
// its own user (warned when `user` is another one). 0, or -1 (logged) when there is no such
// user.
[[nodiscard]] int poolwatch_script_account(const std::string &user, script_account &account);
