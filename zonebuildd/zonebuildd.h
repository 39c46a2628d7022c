// The zone builder daemon's frame: command line, start-up checks, the job loop with its
// periodic timer and its signal-driven queue, the per-job set-up and tear-down, the job
// bodies (changes, restore, reread, custom) and shutdown.
//
// The daemon is one thread. Signal handlers only set the stop flag or hand a job kind to the
// queue's self-pipe (signal_jobs); everything else happens in the loop. Parallel work happens only
// inside a job, in the writer's worker processes (zone_writer.h).
//
// All process-wide state is gathered in zonebuildd_state; zbd() is the one instance.
#pragma once

#include "build_job.h"
#include "daemon_detach.h"
#include "pid_file.h"
#include "signal_jobs.h"
#include "zb_config.h"

#include <csignal>
#include <ctime>
#include <memory>
#include <string>

enum job_kind {
    JOB_NONE = 0,    // queue empty
    JOB_CHANGES = 1, // write the zones changed since the last run
    JOB_RESTORE = 2, // rewrite every zone, the include file and the ACL file
    JOB_REREAD = 3,  // reread the configuration
    JOB_CUSTOM = 4,  // serve the queued "writeacl" requests
};

struct zonebuildd_state {
    int run_type = 0;  // 1 once the command line was parsed
    int no_detach = 0; // -X
    int event_level = 3;
    time_t last_run = 0; // anchor of the periodic timer
    int exit_status = 1;
    std::string config_path;
    zb_settings settings;
    sql_handle db;                  // open from a job's set-up to its tear-down (and from start-up)
    std::unique_ptr<build_job> job; // the running job; its connection replaces `db` meanwhile
    enum_services enum_set;
    // Kinds keep their order; a kind that already waits is not queued again (the waiting job
    // serves the later request too), so a storm of signals leaves one job per kind.
    signal_jobs queue{COLLAPSE_WAITING};
    pid_file pid;         // locked while the daemon runs
    starter_link starter; // a detached daemon tells its starter how the start went
    bool reload_pending = false;
    // A failed custom job is retried after a pause rather than at once.
    time_t custom_retry_at = 0;
    unsigned custom_failures = 0;
};

zonebuildd_state &zbd();

// SIGUSR1/SIGUSR2/SIGHUP/SIGTTIN queue a job, SIGTERM/SIGINT stop; the six are blocked
// while a handler runs. 0 or -1.
[[nodiscard]] int zb_install_signal_handlers(zonebuildd_state &st);

// Command line; returns 0 or ends the process (-V, -h, errors).
int parse_args(zonebuildd_state &st, int argc, char **argv);

// Start-up up to the first turn of the loop. 0 when the loop should run; -1 when start-up
// failed (the reason is logged; zonebuildd_exit then gives status 1).
int zonebuildd_start(zonebuildd_state &st, int argc, char **argv);
// Turns of the loop until the daemon is told to stop or the sleep fails.
void zonebuildd_run(zonebuildd_state &st);
// Shutdown, always reached; gives the exit status.
int zonebuildd_exit(zonebuildd_state &st);

// Configuration: the first load (start-up) and the reread. A reread that fails leaves the
// running settings, connection and log engine as they were. 0 or -1.
int zonebuildd_init(zonebuildd_state &st, int first);
int reinit_daemon(zonebuildd_state &st);

// One turn of the loop; -1 only when the sleep failed.
int generic_job(zonebuildd_state &st);
// Seconds until the next periodic run (interval - (elapsed mod interval)).
time_t init_timer(time_t interval, time_t last_run, time_t now);
// Sleeps `delay` unless a job or a stop request comes first: 0 slept out, 1 woken, -1.
int dns_sleep(zonebuildd_state &st, struct timespec delay);

// Per-job set-up: makes st.job (undoes what it made when it fails), and tear-down: takes back
// what the job learned (a reload still owed) and releases it with its connection.
[[nodiscard]] int do_invariant(zonebuildd_state &st, int create);
void clean_invariant(zonebuildd_state &st);

// Job bodies. do_changes: 0 written, 1 nothing to do, -1 failed. Others 0 or -1.
[[nodiscard]] int do_changes(zonebuildd_state &st);
[[nodiscard]] int do_restore(zonebuildd_state &st);
[[nodiscard]] int do_custom(zonebuildd_state &st);
