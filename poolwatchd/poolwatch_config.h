// The pool monitor's configuration: the keys it reads from zonaris.conf, their defaults and
// the warnings that tell the administrator which default was taken.
#pragma once

#include <optional>
#include <string>

inline constexpr int POOLWATCH_DEFAULT_CONCURRENCY = 4;
inline constexpr int POOLWATCH_DEFAULT_DRIFT = 7;
inline constexpr int POOLWATCH_DEFAULT_TIMEOUT = 60;
inline constexpr int POOLWATCH_DEFAULT_POOLING_INTERVAL = 25;
inline constexpr const char *POOLWATCH_DEFAULT_PID_FILE = "/var/run/zonaris/poolwatch.pid";
inline constexpr const char *POOLWATCH_DEFAULT_SCRIPT_D = "/usr/local/zonaris/poolwatch/bin";

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
};

// Reads `path` into a fresh configuration. Missing, negative or zero numbers and missing
// paths take their defaults with a warning each. 0, or -1 when the file cannot be read or
// holds a malformed line (logged; `cfg` then holds only defaults and no database keys).
int poolwatch_read_config(const std::string &path, poolwatch_config &cfg);

// Only the database keys and the pid file, for `--readconfig`; no warnings.
int poolwatch_read_pid_config(const std::string &path, poolwatch_config &cfg);
