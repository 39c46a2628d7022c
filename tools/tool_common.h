// What the job-queue tools share: the log opened on standard streams, the configuration
// (pid file and database keys), the database connection and its log level, the lookup of
// the daemon's pid, the signal and its event row.
//
// Everything here reports its failures itself (diagnostic lines) and answers 0 / -1 (or a
// value and -1), so that each tool's main reads as the sequence of its steps.
#pragma once

#include "config.h"
#include "sql.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The tool and the daemon it drives.
struct tool_identity {
    const char *name;        // "zonefeed": log identity and message texts
    const char *daemon;      // "zonefeedd"
    const char *pid_key;     // "ZONEFEED_PID_FILE"
    const char *pid_default; // "/var/run/zonaris/zonefeedd.pid"
    int facility;            // event-log facility of the tool's rows
};

extern const tool_identity zonefeed_identity;
extern const tool_identity zonebuild_identity;

struct tool_settings {
    std::string conf_path;                              // the configuration file read
    std::string pid_file;                               // normalised, absolute
    std::string db_host, db_user, db_password, db_name; // empty when not configured
    std::optional<std::string> db_port_text;            // DB_PORT as written, when given
    unsigned db_port = 3306;
    int event_level = 3; // event-log threshold
};

// Opens the diagnostic log on the standard streams (errors to standard error, the rest to
// standard output) at level 6 and builds the global strings. 0, or -1 (nothing logged).
int tool_start(const tool_identity &tool);

// Reads the pid file key and the database keys (DB_HOST, DB_USER, DB_PASSWD, DB_NAME,
// DB_PORT) from zonaris.conf, together with the `extra` entries of the caller, and checks
// the pid file path. 0, or -1 after the reason and "Failed to initialize <tool>." were
// logged.
int tool_read_config(const tool_identity &tool, tool_settings &settings,
                     const std::vector<config_entry> &extra = {});

// Checks the database keys read by tool_read_config: host, user, password and name are
// required; DB_PORT, when given, must be a port number (3306 when absent). 0, or -1 after
// the reason and "Failed to initialize <tool>." were logged.
int tool_check_db_settings(const tool_identity &tool, tool_settings &settings);

// Logs "Failed to initialize <tool>." and gives -1.
int fail_init(const tool_identity &tool);

// Connects and selects the database. nullptr after the reason was logged.
sql_handle tool_connect_db(const tool_settings &settings);

// Applies the 'log_level' of the `misc` table to the library log and the event log.
void tool_apply_db_log_level(sql_conn *db, tool_settings &settings);

// The running daemon's pid (above 1), or -1 after "Could not determine if ... is running."
// or "... is not running." was logged.
int tool_daemon_pid(const tool_identity &tool, const tool_settings &settings);

// Sends `sig` to `pid`. 0, or -1 after the failure was logged.
int tool_signal(const tool_identity &tool, int pid, int sig);

// The event row (level 5, "ER01a") of a signal that was sent; `info_pid` goes in as the info
// text.
void tool_signal_event(const tool_identity &tool, sql_conn *db, const tool_settings &settings,
                       const char *message, int info_pid);
