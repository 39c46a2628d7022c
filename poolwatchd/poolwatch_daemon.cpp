#include "poolwatch_daemon.h"

#include "config.h"
#include "logging.h"
#include "poolwatch_db.h"
#include "poolwatch_scheduler.h"
#include "poolwatch_state.h"
#include "poolwatch_testrun.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <system_error>
#include <unistd.h>

namespace {

sigset_t daemon_signals(int run_mode) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    // Orphans of test scripts come back to us (we are their reaper): each end is a prompt to
    // reap them.
    sigaddset(&set, SIGCHLD);
    if (run_mode == RUN_FOREGROUND)
        sigaddset(&set, SIGINT);
    return set;
}

// Switches logging to the configuration's settings (the engine only when detached: in the
// foreground the lines stay on the console).
void apply_logging(const poolwatch_config &cfg, int run_mode) {
    if (run_mode == RUN_DETACH && cfg.base.log_engine_type) {
        if (apply_log_settings(cfg.base, false) == 0)
            return;
        logging_reinit("syslog", nullptr);
    }
    if (cfg.base.log_level)
        set_log_level_from_string(cfg.base.log_level->c_str());
}

// Reads the configuration into `cfg`. 0 when the file loaded completely, with every
// database key and an existing script user; -1 when it did not (logged), -2 when only the
// script user is unknown.
[[nodiscard]] int load_config(poolwatch_config &cfg) {
    const std::string path = etc_file("zonaris.conf");
    if (poolwatch_read_config(path, cfg) != 0)
        return -1;
    if (const std::optional<std::string> missing = missing_db_setting(cfg.base.db)) {
        LOGF(LOG_ERR, "%s", missing->c_str());
        return -1;
    }
    if (poolwatch_script_account(cfg.script_user, cfg.account) != 0)
        return -2;
    return 0;
}

verdict_rules rules_of(const poolwatch_config &cfg) {
    return {cfg.rise, cfg.fall, cfg.keep_one_up};
}

// "Stop": wakes the main thread, which joins the others and cleans up.
// Running test scripts are ended at once: their results would be dropped anyway.
void stop_scripts() {
    const uint64_t one = 1;
    const int fd = pw().scripts_stop_fd;
    if (fd >= 0 && write(fd, &one, sizeof one) < 0)
        LOGF(LOG_DEBUG, "Cannot signal the running test scripts to stop: %s", strerror(errno));
}

void stop_daemon() {
    poolwatch_daemon &d = pw();
    d.state = STATE_TERMINATING;
    stop_scripts();
    d.scheduler_wake.kick();
    d.refresher_wake.kick();
    std::lock_guard guard(d.stop_lock);
    d.stop = true;
    d.stop_cv.notify_all();
}

void stop_with(int exit_code) {
    pw().exit_code = exit_code;
    stop_daemon();
}

int diagnose_db_connection(const poolwatch_config &cfg) {
    sql_handle db;
    switch (db_connect(cfg, db)) {
    case -1:
        LOGF(LOG_ERR, "Invalid database configuration directive.");
        return EXIT_DB_CONFIG;
    case -2:
        LOGF(LOG_ERR, "Unable to establish DB connection.");
        return EXIT_DB_CONNECT;
    case -3:
        LOGF(LOG_ERR, "Requested DB cannot be set as current working database.");
        return EXIT_DB_SELECT;
    }
    db_disconnect(db);
    return EXIT_OK;
}

// poolwatch_init: the tables and the protocols. 0, or the exit code.
int init_tables(sql_conn *db) {
    poolwatch_daemon &d = pw();
    {
        std::lock_guard guard(d.polls.lock);
        poolwatch_fetch_polls(db, d.polls.entries);
        poolwatch_sync(d.polls.entries);
    }
    if (poolwatch_fetch_jobs(db, d.protocols) != 0) {
        LOGF(LOG_ERR, "Could not find any protocol to be tested");
        return EXIT_NO_PROTOCOL;
    }
    return EXIT_OK;
}

void poolwatch_catch_sig();

// Takes the pid file's lock. 0, or the exit code (logged).
int lock_pid_file(pid_file &pid, const std::string &path) {
    switch (pid.lock(path)) {
    case PID_FILE_LOCKED:
        return EXIT_OK;
    case PID_FILE_HELD:
        LOGF(LOG_ERR, "Only a single 'poolwatchd' process may be active in the system.");
        return EXIT_LOCKED;
    case PID_FILE_OPEN_FAILED:
    case PID_FILE_WRITE_FAILED:
    case PID_FILE_NOT_ABSOLUTE:
        break;
    }
    LOGF(LOG_ERR, "Can't open PID file: %s", path.c_str());
    return EXIT_PID_FILE;
}

// A start-up failure before the threads run: the starter of a detached daemon ends with it.
int start_failed(int exit_code) {
    if (pw().starter)
        pw().starter->fail(exit_code);
    return exit_code;
}

// The start-up thread, which then refreshes the poll set until shutdown.
void poolwatch_main() {
    poolwatch_daemon &d = pw();
    db_thread_scope thread_scope;
    const poolwatch_config cfg = poolwatch_config_copy();
    sql_handle db;
    if (db_connect(cfg, db, CLIENT_FOUND_ROWS) != 0) {
        LOGF(LOG_ERR, "Cannot establish database connection, daemon is going down.");
        stop_with(EXIT_DB_CONNECT);
        return;
    }
    LOGF(LOG_DEBUG, "Database connection established.");
    if (const int rc = init_tables(db.get()); rc != EXIT_OK) {
        LOGF(LOG_ERR, "Due to some initialization errors, daemon is going down.");
        stop_with(rc);
        return;
    }
    d.state = STATE_RUNNING;
    poolwatch_set_db_loglevel(cfg);
    LOGF(LOG_NOTICE, "Startup succeeded.");
    poolwatch_db_log(db.get(), LOG_NOTICE, "Startup succeeded");

    try {
        d.scheduler_thread = std::thread(poolwatch_schedule_pollset);
    } catch (const std::system_error &) {
        LOGF(LOG_ERR, "Internal error: system lacked the necessary resources to create another "
                      "thread(round robin scheduler thread).");
        stop_with(EXIT_RESOURCES);
        return;
    }
    LOGF(LOG_DEBUG, "Round robin scheduler has just been started.");
    try {
        d.signal_thread = std::thread(poolwatch_catch_sig);
    } catch (const std::system_error &) {
        LOGF(LOG_ERR,
             "Internal error: system lacked the necessary resources to create another thread.");
        stop_with(EXIT_RESOURCES);
        return;
    }
    LOGF(LOG_DEBUG, "Round robin signal catcher has just been started.");
    if (d.starter)
        d.starter->ready();

    poolwatch_update_pollset(db);
    db_disconnect(db);
}

// The signal thread: takes the daemon's signals from the signal descriptor and runs the
// reload and the shutdown in normal context.
void poolwatch_catch_sig() {
    poolwatch_daemon &d = pw();
    db_thread_scope thread_scope; // reload and shutdown open connections here
    while (d.state != STATE_TERMINATING) {
        struct pollfd fds[2] = {{d.signal_fd, POLLIN, 0}, {d.wake_fd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0)
            continue;
        if (fds[1].revents & POLLIN)
            break;
        if (!(fds[0].revents & POLLIN))
            continue;
        struct signalfd_siginfo info;
        if (read(d.signal_fd, &info, sizeof info) != static_cast<ssize_t>(sizeof info))
            continue;
        switch (info.ssi_signo) {
        case SIGHUP:
            poolwatch_sighup();
            break;
        case SIGINT:
            LOGF(LOG_INFO, "Waiting for polls to be done...");
            poolwatch_term();
            break;
        case SIGTERM:
            poolwatch_term();
            break;
        case SIGCHLD:
            run_reap_orphans();
            break;
        }
    }
    stop_daemon();
}

// poolwatch_clean, once every thread has been joined.
void poolwatch_clean() {
    poolwatch_daemon &d = pw();
    d.pid.release();
    poolwatch_clear_poll_records(d.records);
    {
        std::lock_guard guard(d.polls.lock);
        d.polls.entries.clear();
    }
    {
        std::lock_guard guard(d.protocols.lock);
        d.protocols.scripts.clear();
    }
    if (d.signal_fd >= 0)
        close(d.signal_fd);
    if (d.wake_fd >= 0)
        close(d.wake_fd);
    if (d.scripts_stop_fd >= 0)
        close(d.scripts_stop_fd);
    d.signal_fd = d.wake_fd = d.scripts_stop_fd = -1;
}

void join(std::thread &t) {
    if (t.joinable())
        t.join();
}

} // namespace

int poolwatch_init(int run_mode) {
    poolwatch_daemon &d = pw();
    d.run_mode = run_mode;
    poolwatch_config cfg;
    // A file that did not load leaves no database keys: the connection check refuses it.
    const int loaded = load_config(cfg);
    apply_logging(cfg, run_mode);
    poolwatch_set_config(cfg);
    poolwatch_tally_set_rules(d.records, rules_of(cfg));

    if (const int rc = diagnose_db_connection(cfg); rc != EXIT_OK)
        return rc;
    if (loaded == -2)
        return EXIT_SCRIPT_USER;
    // Proves that no other instance runs; the lock is taken for good after detaching.
    pid_file probe;
    if (const int rc = lock_pid_file(probe, cfg.base.pid_file); rc != EXIT_OK)
        return rc;
    probe.release(false);

    const sigset_t set = daemon_signals(run_mode);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    return EXIT_OK;
}

int poolwatch_daemonize() {
    poolwatch_daemon &d = pw();
    const poolwatch_config cfg = poolwatch_config_copy();
    const base_settings &base = cfg.base;
    const char *data = base.log_engine_data ? base.log_engine_data->c_str() : nullptr;
    if (d.run_mode == RUN_FOREGROUND)
        logging_init("poolwatchd", "stdlog", data);
    else if (logging_init("poolwatchd",
                          base.log_engine_type ? base.log_engine_type->c_str() : "syslog",
                          data) != 0)
        logging_init("poolwatchd", "syslog", nullptr);
    if (base.log_level)
        set_log_level_from_string(base.log_level->c_str());

    if (const int rc = lock_pid_file(d.pid, cfg.base.pid_file); rc != EXIT_OK)
        return start_failed(rc);
    // What a test script leaves behind comes back to us to be reaped.
    if (run_become_subreaper() != 0)
        LOGF(LOG_WARNING, "Cannot become the reaper of what test scripts leave behind.");

    const sigset_t set = daemon_signals(d.run_mode);
    d.signal_fd = signalfd(-1, &set, SFD_CLOEXEC);
    d.wake_fd = eventfd(0, EFD_CLOEXEC);
    d.scripts_stop_fd = eventfd(0, EFD_CLOEXEC);
    if (d.signal_fd < 0 || d.wake_fd < 0 || d.scripts_stop_fd < 0) {
        LOGF(LOG_ERR, "Current implementation does not support signal extension.");
        poolwatch_clean();
        return start_failed(EXIT_DAEMONIZE);
    }
    try {
        d.main_thread = std::thread(poolwatch_main);
    } catch (const std::system_error &) {
        LOGF(LOG_ERR,
             "Internal error: system lacked the necessary resources to create another thread.");
        poolwatch_clean();
        return start_failed(EXIT_DAEMONIZE);
    }
    LOGF(LOG_NOTICE, "poolwatchd started");

    {
        std::unique_lock guard(d.stop_lock);
        d.stop_cv.wait(guard, [&] { return d.stop; });
    }
    // Every thread ends before the tables it uses go away.
    stop_daemon();
    join(d.main_thread);
    join(d.scheduler_thread);
    const uint64_t one = 1;
    if (write(d.wake_fd, &one, sizeof one) < 0)
        LOGF(LOG_DEBUG, "Cannot wake the signal thread: %s", strerror(errno));
    join(d.signal_thread);
    poolwatch_reap_workers();
    run_reap_orphans();
    poolwatch_clean();
    LOGF(LOG_NOTICE, "Daemon has been gracefully stopped...");
    // A daemon that stopped before its start-up was done tells its starter why.
    if (d.starter && d.starter->waiting())
        d.starter->fail(d.exit_code != EXIT_OK ? d.exit_code.load() : EXIT_DAEMONIZE);
    return d.exit_code;
}

void poolwatch_sighup() {
    poolwatch_daemon &d = pw();
    if (d.state == STATE_TERMINATING)
        return;
    d.reload_sem.acquire();
    d.state = STATE_RELOADING;
    d.scheduler_wake.kick();
    d.scheduler_sem.acquire(); // given up by the scheduler once its workers have finished
    LOGF(LOG_NOTICE, "Reloading configuration file.");
    d.refresh_sem.acquire();
    poolwatch_config cfg;
    if (load_config(cfg) == 0) {
        apply_logging(cfg, d.run_mode);
        // The pid file stays the one this daemon has locked.
        cfg.base.pid_file = poolwatch_config_copy().base.pid_file;
        poolwatch_set_config(cfg);
        poolwatch_tally_set_rules(d.records, rules_of(cfg));
        d.refresher_reconnect = true;
    } else {
        // Monitoring goes on as it was rather than stop for a bad edit.
        LOGF(LOG_ERR, "Configuration file not reloaded, current settings kept.");
        cfg = poolwatch_config_copy();
    }
    poolwatch_set_db_loglevel(cfg);
    poolwatch_clear_poll_records(d.records);
    d.refresh_sem.release();
    d.state = STATE_RUNNING;
    d.scheduler_sem.release();
    d.reload_sem.release();
}

void poolwatch_term() {
    poolwatch_daemon &d = pw();
    d.state = STATE_TERMINATING;
    stop_scripts();
    d.scheduler_wake.kick();
    d.refresher_wake.kick();
    d.scheduler_sem.acquire(); // given up by the scheduler after the running workers
    sql_handle db;
    if (db_connect(poolwatch_config_copy(), db) != 0) {
        LOGF(LOG_ERR, "Cannot connect to database.");
    } else {
        poolwatch_db_log(db.get(), LOG_NOTICE, "Daemon is gracefully going down");
        db_disconnect(db);
    }
    d.scheduler_sem.release();
}
