// What the job-queue tools share: the log opened on standard streams, the configuration
// (pid file and database keys, read by the daemon parts' settings loader), the database
// connection and its log level, the daemon found through its locked pid file (the same
// rule the daemons use: only the process that holds the lock is ever signalled), the
// signal and its event row.
//
// Everything here reports its failures itself (diagnostic lines) and answers 0 / -1 (or a
// value and -1), so that each tool's main reads as the sequence of its steps.
#pragma once

#include "config.h"
#include "daemon_settings.h"
#include "pid_file.h"
#include "sql.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The tool and the daemon it drives.
struct tool_identity {
    const char *name;         // "zonefeed": log identity and message texts
    const char *daemon;       // "zonefeedd"
    program_identity program; // the daemon's keys: prefix and default pid file
    int facility;             // event-log facility of the tool's rows
};

extern const tool_identity zonefeed_identity;
extern const tool_identity zonebuild_identity;

struct tool_settings {
    base_settings base;  // configuration file, pid file, database keys
    int event_level = 3; // event-log threshold
};

// Opens the diagnostic log on the standard streams (errors to standard error, the rest to
// standard output) at level 6 and builds the global strings. 0, or -1 (nothing logged).
[[nodiscard]] int tool_start(const tool_identity &tool);

// Reads the pid file key and the database keys (DB_HOST, DB_USER, DB_PASSWD, DB_NAME,
// DB_PORT) from zonaris.conf, together with the `extra` entries of the caller, and checks
// the pid file path. 0, or -1 after the reason and "Failed to initialize <tool>." were
// logged.
[[nodiscard]] int tool_read_config(const tool_identity &tool, tool_settings &settings,
                                   const std::vector<config_entry> &extra = {});

// Checks the database keys read by tool_read_config: host, user, password and name are
// required. 0, or -1 after the reason and "Failed to initialize <tool>." were logged.
[[nodiscard]] int tool_check_db_settings(const tool_identity &tool, tool_settings &settings);

// Logs "Failed to initialize <tool>." and gives -1.
int fail_init(const tool_identity &tool);

// Connects and selects the database. nullptr after the reason was logged.
sql_handle tool_connect_db(const tool_settings &settings);

// Applies the 'log_level' of the `misc` table to the library log and the event log.
void tool_apply_db_log_level(sql_conn *db, tool_settings &settings);

// Finds the daemon: the process that holds the lock of its pid file and whose pid the file
// holds. 0, or -1 after "Could not determine if ... is running." or "... is not running."
// was logged.
[[nodiscard]] int tool_find_daemon(const tool_identity &tool, const tool_settings &settings,
                                   daemon_process &daemon);

// Sends `sig` to the daemon found. 0, or -1 after the failure was logged.
[[nodiscard]] int tool_signal(const tool_identity &tool, const daemon_process &daemon, int sig);

// The event row (level 5, "ER01a") of a signal that was sent; `info_pid` goes in as the info
// text.
void tool_signal_event(const tool_identity &tool, sql_conn *db, const tool_settings &settings,
                       const char *message, int info_pid);
