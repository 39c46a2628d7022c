#include "zonebuildd.h"

#include "check_tool.h"
#include "config.h"
#include "daemon_cmdline.h"
#include "dns_common.h"
#include "dns_log.h"
#include "event_row.h"
#include "liblog.h"
#include "logging.h"
#include "name_conflicts.h"
#include "named_conf_check.h"
#include "zonaris_version.h"
#include "zone_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

zonebuildd_state &zbd() {
    static zonebuildd_state state;
    return state;
}

namespace {

const char usage_text[] =
    "Usage:\n\tzonebuildd [-X|--nodetach]\n\tzonebuildd -V|--version | -h|--help\n\nzonebuildd "
    "is a deamon that periodically writes the zone from the database\n\tto named.conf and to "
    "the zone files on disk.\n\nValid options:\n\t<no option>: launches as a daemon.\n\t\t"
    "-X|--nodetach:Force it to run in foreground.\n\t-V|--version: Diplays zonebuildd "
    "version.\n\t-h|--help: Displays command line options.\n\nUse the client, zonebuild, to "
    "schedule jobs on the daemon.\n";

// A failed custom job waits before it runs again: 10 s, doubling, at most the run interval.
constexpr time_t custom_retry_first = 10;

// While a job runs, its connection is the daemon's. A row that is due but cannot be
// written (no connection, the database gone or hung) is logged instead, so that a job's
// outcome is never lost with the database that failed it.
void zb_event(zonebuildd_state &st, int level, const char *message, const char *code,
              const char *info) {
    sql_conn *db = st.job ? st.job->db.get() : st.db.get();
    const int threshold = st.job ? st.job->event_level : st.event_level;
    event_row row(FACILITY_ZONEBUILD, level, message, code);
    if (info)
        row.info(info);
    if (level > threshold || (db && row.write(db, threshold) == 0))
        return;
    LOGF(LOG_ERR, "Event row not written to the database: %s (%s): %s", message, code,
         info ? info : "");
}

} // namespace

int zb_install_signal_handlers(zonebuildd_state &st) {
    return st.queue.install({{SIGUSR1, JOB_CHANGES},
                             {SIGUSR2, JOB_RESTORE},
                             {SIGHUP, JOB_REREAD},
                             {SIGTTIN, JOB_CUSTOM}},
                            {SIGTERM, SIGINT});
}

namespace {

// Step 5 of the start: refuse while another daemon runs. The lock decides; a pid file that
// nobody holds is a leftover, whatever process its number names now.
int check_not_running(const zonebuildd_state &st) {
    const std::string &path = st.settings.base.pid_file;
    const pid_t running = pid_file::running(path);
    if (running > 0) {
        LOGF(LOG_ERR, "Daemon is already running.");
        return -1;
    }
    if (running < 0)
        LOGF(LOG_WARNING, "Cannot tell who holds the pid file %s; its lock decides.", path.c_str());
    else if (access(path.c_str(), F_OK) == 0)
        LOGF(LOG_WARNING, "Ignoring stale pid file %s: its process does not hold it.",
             path.c_str());
    return 0;
}

// The configuration file into a fresh record, the log engine switched, a connection open.
// On failure the log engine and level are put back as they were.
int load_config(zonebuildd_state &st, int first, zb_settings &fresh, sql_handle &db) {
    const int old_level = get_log_level();
    bool switched = false;
    zb_load_options opt;
    opt.first = first;
    opt.current_pid_file = st.settings.base.pid_file;
    opt.on_parsed = [&](const zb_settings &s) {
        switched = true;
        return apply_log_settings(s.base, st.no_detach);
    };
    int rc = zb_load_settings(st.config_path, opt, fresh);
    if (rc == 0) {
        db = zonebuildd_init_db(fresh);
        if (!db) {
            LOGF(LOG_ERR, "Failed to establish database connection.");
            rc = -1;
        }
    }
    if (rc == 0 && update_enum_services_set(db.get(), st.enum_set, time(nullptr)) < 0) {
        LOGF(LOG_ERR, "Failed to load the ENUM services set.");
        rc = -1;
    }
    if (rc != 0 && switched && !first) {
        (void)apply_log_settings(st.settings.base, st.no_detach);
        set_log_level(old_level);
    }
    return rc;
}

void adopt_config(zonebuildd_state &st, zb_settings &&fresh, sql_handle &&db) {
    st.settings = std::move(fresh);
    st.db = std::move(db);
    st.event_level = LOG_DEBUG;
    fr_log_setlevel(st.event_level);
}

// Runs one job kind with its set-up, event rows and tear-down.
void run_changes_job(zonebuildd_state &st) {
    int rc = -1;
    if (do_invariant(st, 0) == 0)
        rc = do_changes(st);
    if (rc == 0 || rc == 1) {
        zb_event(st, LOG_NOTICE, "Job finished. Changes", "ER02", "OK");
        if (rc == 0)
            LOGF(LOG_INFO, "Database changes synchronized successfully.");
        else
            LOGF(LOG_INFO, "There were no database changes.");
    } else {
        zb_event(st, LOG_ERR, "Job finished. Changes", "ER02", "FR_FAIL");
        LOGF(LOG_ERR, "Failed to synchronize database changes.");
    }
    clean_invariant(st);
}

void run_restore_job(zonebuildd_state &st) {
    int rc = do_invariant(st, 1);
    if (rc == 0) {
        zb_event(st, LOG_DEBUG, "Job started. Restore", "ENONE", nullptr);
        LOGF(LOG_INFO, "DNS zone restoration started.");
        rc = do_restore(st);
    }
    if (rc == 0) {
        zb_event(st, LOG_DEBUG, "Job finished. Restore", "ER02", "OK");
        LOGF(LOG_INFO, "DNS zones restored successfully.");
    } else {
        zb_event(st, LOG_ERR, "Job finished. Restore", "ER02", "FR_FAIL");
        LOGF(LOG_ERR, "Failed to restore DNS zones.");
    }
    clean_invariant(st);
}

void run_reread_job(zonebuildd_state &st) {
    if (reinit_daemon(st) == 0) {
        zb_event(st, LOG_DEBUG, "Job done. Reread config", "ER02", "OK");
        LOGF(LOG_INFO, "Configuration reloaded.");
    } else {
        // Between jobs no connection is open: the row needs one, on the running settings.
        if (!st.db)
            st.db = zonebuildd_init_db(st.settings);
        zb_event(st, LOG_ERR, "Job done. Reread config", "ER02", "FR_FAIL");
        LOGF(LOG_ERR, "Failed to reload configuration file.");
        st.db.reset();
    }
}

void run_custom_job(zonebuildd_state &st) {
    int rc = do_invariant(st, 0);
    if (rc == 0) {
        zb_event(st, LOG_DEBUG, "Job started. Custom", "ENONE", nullptr);
        LOGF(LOG_INFO, "Starting custom job.");
        rc = do_custom(st);
    }
    if (rc == 0) {
        zb_event(st, LOG_DEBUG, "Job finished. Custom", "ER02", "OK");
        LOGF(LOG_INFO, "Custom job finished successfully.");
        st.custom_failures = 0;
        st.custom_retry_at = 0;
    } else {
        zb_event(st, LOG_ERR, "Job finished. Custom", "ER02", "FR_FAIL");
        LOGF(LOG_ERR, "Custom job failed.");
        // Retried after a pause that grows with every failure in a row: a request that
        // keeps failing must not keep the daemon busy.
        const unsigned shift = std::min(st.custom_failures, 10u);
        const time_t delay = std::min<time_t>(custom_retry_first << shift,
                                              std::max<time_t>(1, st.settings.run_interval));
        ++st.custom_failures;
        st.custom_retry_at = time(nullptr) + delay;
        LOGF(LOG_INFO, "The custom job will be retried in %ld seconds.", static_cast<long>(delay));
    }
    clean_invariant(st);
}

} // namespace

int parse_args(zonebuildd_state &st, int argc, char **argv) {
    const daemon_cmdline cmd = {"zonebuildd", "Zonaris: zonebuildd: version: " ZONARIS_VERSION "\n",
                                usage_text};
    bool no_detach = false;
    if (const int exit_now = parse_daemon_cmdline(cmd, argc, argv, no_detach); exit_now >= 0)
        exit(exit_now);
    st.no_detach = no_detach;
    if (st.run_type == 0)
        st.run_type = 1;
    return 0;
}

int zonebuildd_init(zonebuildd_state &st, int first) {
    zb_settings fresh;
    sql_handle db;
    if (load_config(st, first, fresh, db) != 0)
        return -1;
    adopt_config(st, std::move(fresh), std::move(db));
    return 0;
}

int reinit_daemon(zonebuildd_state &st) {
    const int old_level = get_log_level();
    zb_settings fresh;
    sql_handle db;
    if (load_config(st, 0, fresh, db) != 0) {
        FR_TRACE_RETURN();
        return -1;
    }
    // The directories the new settings name must be usable before they replace ours.
    work_area check;
    if (setup_fs(fresh, 0, check, db.get(), LOG_DEBUG) != 0) {
        (void)apply_log_settings(st.settings.base, st.no_detach);
        set_log_level(old_level);
        FR_TRACE_RETURN();
        return -1;
    }
    clean_fs(check);
    adopt_config(st, std::move(fresh), std::move(db));
    return 0;
}

time_t init_timer(time_t interval, time_t last_run, time_t now) {
    if (interval < 1)
        interval = 1;
    int64_t elapsed = static_cast<int64_t>(now) - static_cast<int64_t>(last_run);
    if (elapsed < 0) // the clock was set back: count from now
        elapsed = 0;
    return static_cast<time_t>(interval - elapsed % interval);
}

int dns_sleep(zonebuildd_state &st, struct timespec delay) {
    return st.queue.sleep(delay);
}

namespace {

// What the job may know of the daemon: whether it was asked to stop, the descriptor that
// wakes its waits, and what a forked worker closes.
stop_token job_stop_token(zonebuildd_state &st) {
    stop_token stop;
    stop.jobs = &st.queue;
    stop.forget = [&st] { st.pid.forget(); };
    return stop;
}

// A set-up that failed: the connection goes back to the daemon for the job's last row.
int abandon_job(zonebuildd_state &st) {
    st.db = std::move(st.job->db);
    st.job.reset();
    return -1;
}

} // namespace

int do_invariant(zonebuildd_state &st, int create) {
    sql_handle db = std::move(st.db);
    if (!db) {
        db = zonebuildd_init_db(st.settings);
        if (!db) {
            LOGF(LOG_ERR, "Failed to reestablish database connection.");
            return -1;
        }
    }
    if (get_sql_loglvl(db.get(), st.event_level) != 0)
        LOGF(LOG_INFO, "Could not retrive log level from sql. Assuming LOG_ERR.");
    st.job = std::make_unique<build_job>();
    build_job &job = *st.job;
    init_build_job(job, st.settings, std::move(db), st.event_level);
    job.reload_owed = st.reload_pending;
    job.worker_stall_limit = job.settings.worker_stall_limit;
    job.stop = job_stop_token(st);
    if (setup_fs(job.settings, create, job.work, job.db.get(), job.event_level) != 0) {
        LOGF(LOG_ERR, "Cannot setup necessary files on the filesystem.");
        return abandon_job(st);
    }
    if (get_sql_template(job.db.get(), job.entry_template) != 0) {
        zb_event(st, LOG_ERR, "Error comunicating with mysql. Aborting.", "ER03a", "template");
        LOGF(LOG_ERR, "Error retrieving zonaris.include template from mysql.");
        return abandon_job(st);
    }
    if (check_entry_template(job.entry_template, job.named) != 0)
        return abandon_job(st);
    if (get_sql_acl(job.db.get(), job.acl) != 0) {
        zb_event(st, LOG_ERR, "Error comunicating with mysql. Aborting.", "ER03a", "acl");
        LOGF(LOG_ERR, "Error retrieving acl ips from mysql.");
        return abandon_job(st);
    }
    if (update_enum_services_set(job.db.get(), st.enum_set, time(nullptr)) < 0)
        LOGF(LOG_ERR, "Failed to update the ENUM services set.");
    job.enums = st.enum_set;
    return 0;
}

void clean_invariant(zonebuildd_state &st) {
    if (st.job) {
        st.reload_pending = st.job->reload_owed;
        st.job.reset();
    }
    st.db.reset();
}

int do_changes(zonebuildd_state &st) {
    build_job &job = *st.job;
    const stopwatch clock;
    int read = get_sql_changes(job.db.get(), job.feed, job.event_level);
    if (read == 0)
        read = refuse_name_conflicts(job.db.get(), job.feed, job.event_level);
    job.timing.read = clock.seconds();
    if (read != 0) {
        LOGF(LOG_ERR, "Error during dialog with mysql.");
        return -1;
    }
    zb_event(st, LOG_ERR, "Job started. Changes", "ENONE", nullptr);
    if (job.feed.changes.empty()) {
        LOGF(LOG_INFO, "No database changes detected.");
        // Without any zone to serve, the rows of deleted zones have nothing to wait for.
        if (!job.feed.garbage_ids.empty() && delete_changes(job.db.get(), job.feed.garbage_ids) < 0)
            LOGF(LOG_WARNING, "Failed to remove the change rows of deleted zones.");
        if (job.reload_owed && reload_named(job.named) == 0)
            job.reload_owed = false;
        return 1;
    }
    LOGF(LOG_INFO, "Detected database changes.");
    LOGF(LOG_INFO, "Commiting changes to %s.", zb_live_include(job.settings).c_str());
    const int rc = write_zones(job);
    // Such a file would fail every changes job: a restore rebuilds it from the database.
    if (rc != 0 && job.include_unreadable) {
        LOGF(LOG_ERR, "The include file cannot be read; a restore job is queued.");
        st.queue.add(JOB_RESTORE);
    }
    return rc;
}

int do_restore(zonebuildd_state &st) {
    build_job &job = *st.job;
    const stopwatch clock;
    int read = get_sql_client(job.db.get(), job.feed, 1, job.event_level);
    if (read == 0)
        read = refuse_name_conflicts(job.db.get(), job.feed, job.event_level);
    job.timing.read = clock.seconds();
    if (read != 0) {
        zb_event(st, LOG_ERR, "Error comunicating with mysql. Aborting.", "ER03a", "get all zones");
        LOGF(LOG_ERR, "Error during dialog with mysql.");
        return -1;
    }
    LOGF(LOG_INFO, "Restoring the DNS zones on the disk (named's zones) with the current "
                   "contents of the database...");
    job.restore = true;
    return write_zones(job);
}

int do_custom(zonebuildd_state &st) {
    build_job &job = *st.job;
    while (true) {
        uint32_t served = 0;
        const int found = get_sql_customjob(job.db.get(), served);
        if (found == 0)
            return 0;
        if (found < 0) {
            LOGF(LOG_ERR, "Failed to read the queued custom requests.");
            return -1;
        }
        // The addresses as they stand now, so that the file answers every request served.
        job.acl.clear();
        if (get_sql_acl(job.db.get(), job.acl) != 0) {
            LOGF(LOG_ERR, "Error retrieving acl ips from mysql.");
            return -1;
        }
        if (restore_acl(job.acl, job.named) < 0) {
            LOGF(LOG_ERR, "Failed to restore global ACL.");
            return -1;
        }
        if (delete_sql_customjob(job.db.get(), served) != 0) {
            LOGF(LOG_ERR, "Failed to remove the served custom requests.");
            return -1;
        }
    }
}

namespace {

// A job that throws (out of memory, say) is a failed job: logged, torn down, and the daemon
// goes on with the next turn.
void run_job(zonebuildd_state &st, void (*body)(zonebuildd_state &)) {
    try {
        body(st);
    } catch (...) {
        FR_TRACE_EXCEPTION(0);
        LOGF(LOG_ERR, "The job stopped on an unexpected error.");
        clean_invariant(st);
    }
}

} // namespace

int generic_job(zonebuildd_state &st) {
    switch (st.queue.take()) {
    case JOB_CHANGES:
        run_job(st, run_changes_job);
        return 0;
    case JOB_RESTORE:
        run_job(st, run_restore_job);
        return 0;
    case JOB_REREAD:
        run_job(st, run_reread_job);
        return 0;
    case JOB_CUSTOM:
        run_job(st, run_custom_job);
        return 0;
    default:
        break;
    }
    const time_t now = time(nullptr);
    if (st.custom_retry_at != 0 && now >= st.custom_retry_at) {
        st.custom_retry_at = 0;
        st.queue.add(JOB_CUSTOM);
        return 0;
    }
    const time_t timer = init_timer(st.settings.run_interval, st.last_run, now);
    time_t delay = timer;
    if (st.custom_retry_at != 0)
        delay = std::min(delay, st.custom_retry_at - now);
    const int rc = dns_sleep(st, timespec{delay, 0});
    if (rc < 0)
        return -1;
    if (rc > 0 || delay < timer)
        return 0;
    st.last_run = time(nullptr);
    run_job(st, run_changes_job);
    return 0;
}

int zonebuildd_start(zonebuildd_state &st, int argc, char **argv) {
    // Nothing the starter left open is ours (its pipes would keep it waiting on us).
    if (close_inherited_fds({}) != 0)
        return -1;
    parse_args(st, argc, argv);
    // In the foreground every line, a refused configuration file's included, goes to the
    // terminal.
    if (logging_init("zonebuildd", st.no_detach ? "stdlog" : "syslog", nullptr) < 0)
        return -1;
    set_log_level(LOG_DEBUG);
    _init_global_str();
    fr_log_init("zonebuildd", LOG_DAEMON, st.no_detach != 0);
    st.config_path = etc_file("zonaris.conf");

    if (bind9_init() < 0) {
        LOGF(LOG_ERR, "Failed to initialize the BIND9 subsystems.");
        return -1;
    }
    if (zonebuildd_init(st, 1) != 0) {
        LOGF(LOG_ERR, "Failed to intialize daemon.");
        return -1;
    }
    if (check_not_running(st) != 0)
        return -1;
    if (getuid() != 0) {
        LOGF(LOG_ERR, "zonebuildd must run as root.");
        return -1;
    }
    if (chdir("/tmp") != 0 || prctl(PR_SET_DUMPABLE, 1) != 0)
        LOGF(LOG_WARNING, "Failed to enable process core dumps. Ignoring...");
    if (st.run_type != 1) {
        LOGF(LOG_ERR, "Unknown run type: %d.", st.run_type);
        return -1;
    }
    {
        work_area check;
        if (setup_fs(st.settings, 0, check, st.db.get(), st.event_level) != 0) {
            LOGF(LOG_ERR, "Cannot setup necessary files on the filesystem.");
            return -1;
        }
        clean_fs(check);
    }
    if (!st.no_detach) {
        // The connection would be shared with the parent that exits: open it again after.
        st.db.reset();
        if (detach(st.starter) != 0) {
            LOGF(LOG_ERR, "Failed to daemonize process.");
            return -1;
        }
        st.settings.work_name = "tmp_" + std::to_string(getpid());
        st.db = zonebuildd_init_db(st.settings);
    }
    remove_stale_work_dirs(st.settings);
    // Whoever finds our pid in the pid file may signal us at once: the handlers come first.
    if (st.queue.open() != 0) {
        LOGF(LOG_ERR, "Failed to create the job queue: %s", strerror(errno));
        return -1;
    }
    if (zb_install_signal_handlers(st) != 0) {
        LOGF(LOG_ERR, "Failed to install the signal handlers: %s", strerror(errno));
        return -1;
    }
    if (const pid_file_status locked = st.pid.lock(st.settings.base.pid_file);
        locked != PID_FILE_LOCKED) {
        LOGF(LOG_ERR, "Failed locking session: %s.", pid_file_status_text(locked));
        return -1;
    }
    zb_event(st, LOG_NOTICE, "Program started", "ER01a", std::to_string(getpid()).c_str());
    if (st.db)
        clear_custom_zonebuild(st.db.get());
    st.last_run = time(nullptr);
    st.queue.add(JOB_CHANGES);
    if (st.starter.waiting())
        st.starter.ready();
    return 0;
}

void zonebuildd_run(zonebuildd_state &st) {
    while (!st.queue.stopping()) {
        if (generic_job(st) < 0)
            return;
    }
    st.exit_status = 0;
}

int zonebuildd_exit(zonebuildd_state &st) {
    LOGF(LOG_INFO, "Shutting down...");
    if (st.run_type == 1) {
        // The last job dropped its connection; the exit row needs one.
        if (st.pid.held() && !st.db)
            st.db = zonebuildd_init_db(st.settings);
        const std::string info = std::to_string(getpid()) + "|" + std::to_string(st.exit_status);
        zb_event(st, LOG_NOTICE, "Program exited", "ER01b", info.c_str());
        st.pid.release();
    }
    bind9_shutdown();
    clean_invariant(st);
    _free_global_str();
    logging_shutdown();
    return st.exit_status;
}
