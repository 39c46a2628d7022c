// The zone builder's settings and its work directory.
//
// The settings record is filled from zonaris.conf at start-up and again by every reread:
// a reread loads into a fresh record and replaces the running one only when the whole load
// (file, log engine, database, directories) succeeded, so a broken file leaves the daemon
// on its previous, complete settings, and keys removed from the file fall back to their
// defaults. The work directory (TEMP_D/tmp_<pid>) exists from a job's set-up to its
// tear-down; it mirrors the name server's layout and holds the files a job builds before
// they are installed.
//
// Touches: the configuration file, the log engine, TEMP_D and the work directory (every
// directory and file made with an explicit mode; the process umask is left alone); it only
// reads (opens) the live include file.
#pragma once

#include "daemon_settings.h"
#include "sql.h"

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>

inline constexpr program_identity zonebuildd_identity = {"zonebuildd", "ZONEBUILD",
                                                         "/var/run/zonaris/zonebuildd.pid"};

struct zb_settings {
    base_settings base;          // DB_*, ZONEBUILD_PID_FILE, ZONEBUILD_LOG_*
    std::string rndc_dir;        // RNDC_BIN_D
    std::string named_root;      // NAMED_D; the name-server paths below are joined to it
    std::string named_file;      // NAMED_FILE
    std::string named_file_base; // its last path component
    std::string acl_file;        // NAMED_ACL_FILE
    std::string acl_file_base;   // its last path component
    std::string master_d;        // MASTER_D
    std::string secondary_d;     // SECONDARY_D
    std::string temp_d;          // TEMP_D
    std::string work_name;       // "tmp_<daemon pid>"
    uint32_t run_interval = 1800;
    int concurrency_limit = 2;
    uid_t named_uid = static_cast<uid_t>(-1); // -1: owner left unchanged
    gid_t named_gid = static_cast<gid_t>(-1);
    std::string serial_format = "RFC"; // "RFC" or "timestamp"
    // ZONEBUILD_WORKER_STALL_LIMIT: seconds a worker may go without finishing a zone.
    time_t worker_stall_limit = 600;
    std::string catalog_zone; // ZONEBUILD_CATALOG_ZONE (canonical); empty: none
};

// TEMP_D/work directory name.
std::string zb_work_dir(const zb_settings &s);
// NAMED_D/NAMED_FILE: the live include file.
std::string zb_live_include(const zb_settings &s);

struct zb_load_options {
    bool first = true; // start-up: the pid file path is read and checked
    // A reread keeps the pid file of the running daemon.
    std::string current_pid_file;
    // Called once the file was read, with the log settings filled in, so that the lines of
    // the checks go to the configured engine; its -1 ends the load.
    std::function<int(const zb_settings &)> on_parsed;
};

// Reads and checks `config_path` into `out` (a fresh record), logging each default taken
// and each refusal. Applies nothing itself (no log engine, no connection). 0, or -1 after
// the message of the first error.
int zb_load_settings(const std::string &config_path, const zb_load_options &opt, zb_settings &out);

// Opens the database connection of `s`; nullptr after the message.
sql_handle zonebuildd_init_db(const zb_settings &s);

// The work directory of one job and the two include streams it opens; closed and removed
// when the area goes (or by clean_fs).
struct work_area {
    work_area() = default;
    work_area(const work_area &) = delete;
    work_area &operator=(const work_area &) = delete;
    ~work_area();

    std::string dir;              // TEMP_D/work directory name
    FILE *live_include = nullptr; // the live include file, read-only (none for a restore)
    FILE *tmp_include = nullptr;  // the include file being built
    bool made = false;            // the directory was created by setup_fs
};

// Prepares the work directory (a stale one of the same name is removed first), checks the
// name server's directories and opens the include streams. With `create` the live include
// file need not exist and is not opened (a restore builds the include file from nothing);
// without, it must be a readable regular file. On failure everything made so far is undone
// and -1 returned.
[[nodiscard]] int setup_fs(const zb_settings &s, int create, work_area &wa, sql_conn *db,
                           int event_level);
// Removes the work directories (TEMP_D/tmp_<pid>) and staging directories
// (NAMED_D/MASTER_D/.zonebuildd-stage-<pid>) of processes that no longer exist, left by a
// daemon that was killed. Those of live processes and our own stay.
void remove_stale_work_dirs(const zb_settings &s);

// Creates (or truncates) `path` for reading and writing with exactly `mode`, whatever the
// process umask; no symbolic link is followed. nullptr with errno set.
FILE *open_new_file(const std::string &path, mode_t mode);

// Closes the streams and removes the work directory. Always 0.
int clean_fs(work_area &wa);
