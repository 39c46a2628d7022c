// The settings every program shares: the database keys (DB_HOST, DB_PORT, DB_NAME,
// DB_USER, DB_PASSWD, DB_TIMEOUT), the program's pid file (<PREFIX>_PID_FILE) and its log
// engine and level (<PREFIX>_LOG_ENGINE_TYPE, <PREFIX>_LOG_ENGINE_DATA, <PREFIX>_LOG_LEVEL),
// read together with the program's own keys in one pass over zonaris.conf.
//
// A load fills a fresh record and hands it over only when the whole file was read and
// checked: a broken file never leaves a program half on new, half on old settings. The
// loader logs nothing; it gives the reason as the text the program logs.
//
// Owns nothing; reads the configuration file; open_database opens a connection.
#pragma once

#include "config.h"
#include "sql.h"

#include <optional>
#include <string>
#include <vector>

struct program_identity {
    const char *name;             // "zonebuildd": messages
    const char *prefix;           // "ZONEBUILD": its keys
    const char *default_pid_file; // "/var/run/zonaris/zonebuildd.pid"
};

inline constexpr unsigned DB_DEFAULT_PORT = 3306;
inline constexpr unsigned DB_DEFAULT_TIMEOUT = 60;

struct db_settings {
    std::string host, user, password, name; // empty when not configured
    unsigned port = DB_DEFAULT_PORT;
    unsigned timeout = DB_DEFAULT_TIMEOUT; // seconds a read or write may take
    bool port_given = false, timeout_given = false;
};

struct base_settings {
    std::string config_path; // the file read
    db_settings db;
    std::string pid_file; // normalised, absolute
    bool pid_file_default = false;
    std::optional<std::string> log_engine_type, log_engine_data, log_level;
};

// Reads `path`: the shared keys of `who` and the caller's `extra` entries (whose
// destinations parseconfig fills). On success `out` is replaced and 0 returned. On failure
// `out` is untouched, `error` holds the message and -1 is returned:
//   "Failed to parse configuration file '<path>'."
//   "Invalid pid file path in configuration file '<path>'"
//   "An absolute pid file path is required."
//   "Invalid database port: <text>."          (1..65535)
//   "Invalid database timeout: <text>."       (1..86400 seconds)
// An empty value counts as absent; an absent pid file takes the program's default.
// `running_pid_file`, given by a daemon that rereads its file, is kept as the pid file: the
// key is neither read nor checked again (the running daemon holds the file it locked).
[[nodiscard]] int read_base_settings(const program_identity &who, const std::string &path,
                                     base_settings &out, std::string &error,
                                     const std::vector<config_entry> &extra = {},
                                     const std::string *running_pid_file = nullptr);

// The first database key that is missing, as the message the programs log ("Database host
// url was not specified.", "... user ...", "Database password was not specified.",
// "Database name was not specified."); nullopt when all four are there.
std::optional<std::string> missing_db_setting(const db_settings &db);

// Opens a connection and selects the database. nullptr with `error` set ("Failed to
// initialize database connection." and the client's reason, or "Cannot select mysql
// database <name>.").
[[nodiscard]] sql_handle open_database(const db_settings &db, std::string &error);
// open_database for a daemon: the reason of a failure is logged as an error, a connection
// with "Connected to mysql and selected database <name>.".
[[nodiscard]] sql_handle connect_database(const db_settings &db);

// Switches the log engine to the configured one ("stdlog" when `foreground`; "syslog"
// when none is configured) and sets the configured level. 0 or -1 (engine refused).
[[nodiscard]] int apply_log_settings(const base_settings &s, bool foreground);
