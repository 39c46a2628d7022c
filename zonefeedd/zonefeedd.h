// The feed daemon's frame: command line, start-up checks, the job loop with its periodic
// timer and its signal-driven queue, the per-job set-up and tear-down, the import run and
// the reread, and shutdown.
//
// The job loop runs on the main thread. Signal handlers only queue a job kind or ask for a
// stop (daemon/signal_jobs.h); the loop takes the jobs between runs. An import run selects
// its feeds, then downloads them in the downloader threads while the result thread scans
// each file as it arrives (feed_dispatch.h); the mail thread lives from a job's set-up to
// its tear-down (feed_mail.h).
//
// All process-wide state is gathered in zonefeedd_state.
#pragma once

#include "daemon_detach.h"
#include "feed_config.h"
#include "feed_db.h"
#include "feed_mail.h"
#include "feed_scan.h"
#include "pid_file.h"
#include "signal_jobs.h"

#include <ctime>
#include <memory>
#include <string>

enum feed_job_kind {
    FEED_JOB_NONE = 0,
    FEED_JOB_IMPORT = 1,        // feeds due by their schedule (SIGUSR1, start-up, timer)
    FEED_JOB_IMPORT_ALL = 2,    // every enabled feed (SIGUSR2)
    FEED_JOB_IMPORT_CUSTOM = 3, // the feeds of the queued clients (SIGTTIN)
    FEED_JOB_REREAD = 4,        // reread the configuration (SIGHUP)
};

// One job's state: made by do_invariant, released by clean_invariant.
struct feed_job {
    feed_globals globals;
    srv_names srv;
    std::string work_dir; // DOWNLOAD_D/tmp_<pid>
    bool bypass_schedule = false;
    feed_selection selection;
    zone_set zones; // which feed of the run owns each zone
    long long largest_download = 0;
};

struct zonefeedd_state {
    int run_type = 0; // 2 once the command line was parsed
    bool no_detach = false;
    int exit_status = 1;
    std::string config_path;
    feed_settings settings;
    std::string hostname;
    int event_level = 7;
    time_t last_run = 0; // anchor of the periodic timer
    // The main connection: open from start-up on, reopened by a job's set-up when lost.
    // While the download threads run, statements on it are made under fr_sql_lock.
    sql_handle db;
    signal_jobs jobs{COLLAPSE_CONSECUTIVE};
    pid_file pid;
    starter_link starter;
    feed_notices notices; // failure counts live as long as the process
    std::unique_ptr<feed_job> job;
};

// Command line: 0 to go on, else the process ends with the status given (-V, -h, errors).
int parse_args(zonefeedd_state &st, int argc, char **argv, int &exit_now);

// Start-up up to the first turn of the loop: 0 when the loop should run, -1 when start-up
// failed (logged; zonefeedd_exit then gives status 1).
int zonefeedd_start(zonefeedd_state &st, int argc, char **argv);
// Turns of the loop until a stop is asked for or the sleep fails.
void zonefeedd_run(zonefeedd_state &st);
// Shutdown, always reached; gives the exit status.
int zonefeedd_exit(zonefeedd_state &st);

// One turn of the loop; -1 only when the sleep failed.
int generic_job(zonefeedd_state &st);
// Seconds until the next periodic run: interval - ((now - last_run) mod interval).
time_t init_timer(time_t interval, time_t last_run, time_t now);

// The per-job set-up (undone when it fails) and tear-down.
[[nodiscard]] int do_invariant(zonefeedd_state &st);
void clean_invariant(zonefeedd_state &st);
// One import run of the job. 0 or -1.
[[nodiscard]] int do_urls(zonefeedd_state &st, selection_mode mode);
// The write phase of an import run: the scanned feeds' zones into the database, each
// feed's run recorded when all of it was written. 0, or -1 when a feed was not written
// whole (or its file could not be scanned for a failed query).
[[nodiscard]] int write_feeds(zonefeedd_state &st);
// Rereads the configuration; a failed reread leaves the daemon as it was. 0 or -1.
[[nodiscard]] int reinit_daemon(zonefeedd_state &st);
