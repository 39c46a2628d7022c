#include "zonefeedd.h"

#include "daemon_cmdline.h"
#include "dns_common.h"
#include "event_row.h"
#include "feed_dispatch.h"
#include "feed_results.h"
#include "feed_workers.h"
#include "files.h"
#include "liblog.h"
#include "logging.h"
#include "zonaris_version.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <curl/curl.h>
#include <grp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

const char usage_text[] =
    "Usage:\n\tzonefeedd [-X|--nodetach]\n\tzonefeedd -V|--version | -h|--help\n\nzonefeedd is a "
    "daemon that periodically imports the zones\n\tfrom remote update locations to the "
    "database\n\nValid options:\n\t<no option>: launches as a daemon.\n\t-X|--nodetach: Force it "
    "to run in foreground.\n\t-V|--version: Diplays zonefeedd version.\n\t-h|--help: Displays "
    "command line options.\n\nUse the client, zonefeed, to schedule jobs on the daemon.\n";

// The texts of the three import jobs.
struct import_texts {
    const char *started_event, *started_line, *finished_event;
};
const import_texts import_job_texts[] = {
    {"Job started. Import", "Started updating every remote location.", "Job finished. Import"},
    {"Job started. Import all",
     "Started updating every remote location. Bypassing the normal schedule.",
     "Job finished. Import all"},
    {"Job started. Import custom", "Started updating remote locations for a specific client.",
     "Job finished. Import custom"},
};

void daemon_event(zonefeedd_state &st, int level, const char *message, const char *code,
                  const std::string &info) {
    if (!st.db)
        return;
    std::lock_guard<std::mutex> lock(fr_sql_lock(st.db.get()));
    (void)event_row(FACILITY_REMOTE_UPDATE, level, message, code)
        .info(info)
        .write(st.db.get(), st.event_level);
}

std::string work_dir_of(const feed_settings &s) {
    return s.download_d + "/tmp_" + std::to_string(getpid());
}

// Makes the download directory usable and creates the run's work directory in it (a stale
// one of the same name is removed first). 0 or -1.
int setup_fs(const feed_settings &s, std::string &work_dir) {
    const std::string &dir = s.download_d;
    const bool usable = io_valid_dir(dir.c_str()) ? access(dir.c_str(), R_OK | W_OK | X_OK) == 0
                                                  : fr_mkdir(dir, true, 0770) == 0;
    if (!usable) {
        LOGF(LOG_ERR, "Failed to setup the download directory '%s': %s", dir.c_str(),
             strerror(errno));
        return -1;
    }
    work_dir = work_dir_of(s);
    if (fr_rm(work_dir) != 0 || fr_mkdir(work_dir, false, 0770) != 0) {
        LOGF(LOG_ERR, "Cannot create directory '%s': %s", work_dir.c_str(), strerror(errno));
        work_dir.clear();
        return -1;
    }
    return 0;
}

int clean_fs(std::string &work_dir) {
    if (work_dir.empty())
        return 0;
    const int rc = fr_rm(work_dir);
    if (rc != 0)
        LOGF(LOG_ERR, "Some trouble deleting tmp dir '%s': %s", work_dir.c_str(), strerror(errno));
    work_dir.clear();
    return rc;
}

// The first load: settings, log engine, connection. 0 or -1.
int zonefeedd_init(zonefeedd_state &st) {
    feed_settings fresh;
    if (load_feed_settings(st.config_path, nullptr, fresh, [&](const base_settings &b) {
            if (apply_log_settings(b, st.no_detach) != 0)
                LOGF(LOG_WARNING, "Cannot switch to the configured log engine.");
        }) != 0) {
        LOGF(LOG_ERR, "Failed to initialize daemon.");
        return -1;
    }
    st.event_level = LOG_DEBUG;
    char host[1024] = "";
    if (gethostname(host, sizeof host - 1) != 0)
        host[0] = '\0';
    st.hostname = host;
    st.db = connect_database(fresh.base.db);
    if (!st.db) {
        LOGF(LOG_ERR, "Failed to establish database connection.");
        return -1;
    }
    st.settings = std::move(fresh);
    return 0;
}

int drop_privileges(const feed_settings &s) {
    if (getuid() != 0)
        return 0;
    if (setgroups(0, nullptr) != 0)
        LOGF(LOG_WARNING, "Could not reset the supplementary groups list to zero.");
    if (s.run_gid != static_cast<gid_t>(-1) && setgid(s.run_gid) != 0) {
        LOGF(LOG_ERR, "Failed to change run group.");
        return -1;
    }
    if (s.run_uid != static_cast<uid_t>(-1) && setuid(s.run_uid) != 0) {
        LOGF(LOG_ERR, "Failed to change run user.");
        return -1;
    }
    return 0;
}

void allow_core_files() {
    if (prctl(PR_SET_DUMPABLE, 1) != 0)
        LOGF(LOG_WARNING, "Failed to enable process core dumps. Ignoring...");
    struct rlimit lim = {RLIM_INFINITY, RLIM_INFINITY};
    if (setrlimit(RLIMIT_CORE, &lim) != 0 && getrlimit(RLIMIT_CORE, &lim) == 0) {
        lim.rlim_cur = lim.rlim_max;
        (void)setrlimit(RLIMIT_CORE, &lim);
    }
}

int install_signals(zonefeedd_state &st) {
    if (st.jobs.open() != 0)
        return -1;
    return st.jobs.install({{SIGUSR1, FEED_JOB_IMPORT},
                            {SIGUSR2, FEED_JOB_IMPORT_ALL},
                            {SIGTTIN, FEED_JOB_IMPORT_CUSTOM},
                            {SIGHUP, FEED_JOB_REREAD}},
                           {SIGTERM, SIGINT});
}

mail_settings mail_settings_of(const zonefeedd_state &st) {
    mail_settings m;
    m.sendmail = st.settings.sendmail;
    m.hostname = st.hostname;
    m.time_limit_s = st.settings.mail_time_limit;
    const db_settings db = st.settings.base.db;
    m.connect = [db]() -> sql_handle {
        std::string error;
        sql_handle conn = open_database(db, error);
        if (!conn)
            LOGF(LOG_ERR, "%s", error.c_str());
        return conn;
    };
    return m;
}

// Runs one import job with its set-up, event rows and tear-down.
void run_import(zonefeedd_state &st, int kind) {
    const import_texts &t = import_job_texts[kind - FEED_JOB_IMPORT];
    int rc = do_invariant(st);
    if (rc == 0) {
        daemon_event(st, LOG_NOTICE, t.started_event, "ENONE", "");
        LOGF(LOG_INFO, "%s", t.started_line);
        st.job->bypass_schedule = kind != FEED_JOB_IMPORT;
        const selection_mode mode = kind == FEED_JOB_IMPORT       ? selection_mode::scheduled
                                    : kind == FEED_JOB_IMPORT_ALL ? selection_mode::all
                                                                  : selection_mode::custom;
        rc = do_urls(st, mode);
    }
    if (rc == 0) {
        daemon_event(st, LOG_NOTICE, t.finished_event, "ER02", "OK");
        LOGF(LOG_INFO, "Remote locations updated successfully.");
    } else {
        daemon_event(st, LOG_ERR, t.finished_event, "ER02", "FR_FAIL");
        LOGF(LOG_ERR, "Failed to update remote locations.");
    }
    if (st.job)
        clean_invariant(st);
}

} // namespace

int parse_args(zonefeedd_state &st, int argc, char **argv, int &exit_now) {
    const daemon_cmdline cmd = {"zonefeedd", "Zonaris: zonefeedd: version: " ZONARIS_VERSION "\n",
                                usage_text};
    exit_now = parse_daemon_cmdline(cmd, argc, argv, st.no_detach);
    st.run_type = 2;
    return exit_now < 0 ? 0 : -1;
}

int zonefeedd_start(zonefeedd_state &st, int argc, char **argv) {
    if (close_inherited_fds({}) != 0 || _init_global_str() != 0)
        return -1;
    int exit_now = -1;
    if (parse_args(st, argc, argv, exit_now) != 0) {
        st.run_type = 0;
        st.exit_status = exit_now;
        return -1;
    }
    // In the foreground every line, a refused configuration file's included, goes to the
    // terminal.
    logging_init("zonefeedd", st.no_detach ? "stdlog" : "syslog", nullptr);
    set_log_level(LOG_DEBUG);
    st.config_path = etc_file("zonaris.conf");
    if (zonefeedd_init(st) != 0)
        return -1;
    const pid_t other = pid_file::running(st.settings.base.pid_file);
    if (other < 0) {
        LOGF(LOG_ERR, "Could not determine if the daemon is already running.");
        return -1;
    }
    if (other > 0) {
        LOGF(LOG_ERR, "Daemon is already running.");
        return -1;
    }
    if (chdir("/tmp") != 0 || drop_privileges(st.settings) != 0)
        return -1;
    allow_core_files();
    std::string probe;
    if (setup_fs(st.settings, probe) != 0) {
        LOGF(LOG_ERR, "Cannot setup necessary files on the filesystem.");
        return -1;
    }
    if (clean_fs(probe) != 0) {
        LOGF(LOG_ERR, "Failed to remove temporary files.");
        return -1;
    }
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        LOGF(LOG_ERR, "Failed to initialize libcurl.");
        return -1;
    }
    if (!st.no_detach && detach(st.starter) != 0) {
        LOGF(LOG_ERR, "Failed to daemonize process.");
        return -1;
    }
    if (install_signals(st) != 0) {
        LOGF(LOG_ERR, "Failed to install the signal handlers.");
        return -1;
    }
    if (const pid_file_status ps = st.pid.lock(st.settings.base.pid_file); ps != PID_FILE_LOCKED) {
        LOGF(LOG_ERR, "Failed locking session. (%s)", pid_file_status_text(ps));
        return -1;
    }
    mysql_thread_init();
    daemon_event(st, LOG_INFO, "Program started", "ER01a", std::to_string(getpid()));
    if (clear_zone_feed_hash(st.db.get()) != 0 || clear_custom_urls(st.db.get()) != 0)
        LOGF(LOG_WARNING, "Cannot reset the feeds' hashes and the queued imports.");
    st.last_run = time(nullptr);
    st.jobs.add(FEED_JOB_IMPORT);
    if (st.starter.waiting())
        st.starter.ready();
    return 0;
}

void zonefeedd_run(zonefeedd_state &st) {
    while (!st.jobs.stopping())
        if (generic_job(st) == -1)
            return;
    st.exit_status = 0;
}

int zonefeedd_exit(zonefeedd_state &st) {
    if (st.run_type == 2) {
        LOGF(LOG_INFO, "Shutting down...");
        if (st.pid.held()) {
            daemon_event(st, LOG_INFO, "Program exited", "ER01b",
                         std::to_string(getpid()) + "|" + std::to_string(st.exit_status));
            st.pid.release();
            mysql_thread_end();
        }
        if (st.starter.waiting())
            st.starter.fail(st.exit_status ? st.exit_status : 1);
        curl_global_cleanup();
    }
    st.db.reset();
    _free_global_str();
    return st.exit_status;
}

time_t init_timer(time_t interval, time_t last_run, time_t now) {
    if (interval <= 0)
        return 1;
    const time_t elapsed = now > last_run ? now - last_run : 0;
    return interval - elapsed % interval;
}

int generic_job(zonefeedd_state &st) {
    const int kind = st.jobs.take();
    switch (kind) {
    case FEED_JOB_IMPORT:
    case FEED_JOB_IMPORT_ALL:
    case FEED_JOB_IMPORT_CUSTOM:
        run_import(st, kind);
        return 0;
    case FEED_JOB_REREAD:
        if (reinit_daemon(st) == 0) {
            daemon_event(st, LOG_NOTICE, "Job done. Reread config", "ER02", "OK");
            LOGF(LOG_INFO, "Configuration reloaded.");
        } else {
            daemon_event(st, LOG_ERR, "Job done. Reread config", "ER02", "FR_FAIL");
            LOGF(LOG_ERR, "Failed to reload configuration file.");
        }
        return 0;
    default:
        break;
    }
    struct timespec delay = {init_timer(st.settings.run_interval, st.last_run, time(nullptr)), 0};
    const int slept = st.jobs.sleep(delay);
    if (slept < 0)
        return -1;
    if (slept == 0) {
        st.last_run = time(nullptr);
        run_import(st, FEED_JOB_IMPORT);
    }
    return 0;
}

int do_invariant(zonefeedd_state &st) {
    st.job = std::make_unique<feed_job>();
    if (!st.db && !(st.db = connect_database(st.settings.base.db))) {
        LOGF(LOG_ERR, "Failed to reestablish database connection.");
        clean_invariant(st);
        return -1;
    }
    if (setup_fs(st.settings, st.job->work_dir) != 0) {
        LOGF(LOG_ERR, "Cannot setup necessary files on the filesystem.");
        clean_invariant(st);
        return -1;
    }
    if (int err = start_mail_sender(st.notices, mail_settings_of(st)); err != 0) {
        LOGF(LOG_ERR, "Failed to create mail sending thread. %s", strerror(err));
        clean_invariant(st);
        return -1;
    }
    if (get_settings(st.db.get(), st.job->globals) != 0) {
        daemon_event(st, LOG_ERR, "Error comunicating with mysql. Aborting.", "ER03a", "misc");
        LOGF(LOG_ERR, "Error retrieving settings from mysql.");
        clean_invariant(st);
        return -1;
    }
    st.event_level = st.job->globals.event_level;
    if (get_sql_srv(st.db.get(), st.job->srv) != 0) {
        daemon_event(st, LOG_ERR, "Error comunicating with mysql. Aborting.", "ER03a",
                     "srv_service_protocol_type");
        LOGF(LOG_ERR, "Error retrieving srv types from srv_service_protocol_type table.");
        clean_invariant(st);
        return -1;
    }
    return 0;
}

void clean_invariant(zonefeedd_state &st) {
    stop_mail_sender(st.notices);
    if (st.job)
        clean_fs(st.job->work_dir);
    st.job.reset();
}

int do_urls(zonefeedd_state &st, selection_mode mode) {
    feed_job &job = *st.job;
    if (get_url_list(st.db.get(), mode, job.globals, job.selection) != 0) {
        LOGF(LOG_ERR, "Failed to fetch remote URL list.");
        return -1;
    }
    feed_run run;
    run.options.connect_timeout_s = st.settings.connect_timeout;
    run.options.timeout_s = st.settings.download_timeout;
    run.options.max_bytes = st.settings.max_file_size;
    run.options.verify_cert = st.settings.verify_cert;
    run.options.ca_file = st.settings.ca_file;
    run.options.verbose = get_log_level() >= LOG_DEBUG && st.no_detach;
    run.work_dir = job.work_dir;
    for (auto &feed : job.selection.feeds) {
        if (feed->perm.warn_threshold > 0)
            add_url_stat(st.notices, *feed);
        run.download_queue.push_back(feed.get());
    }
    std::atomic<int> failed{0};
    run.on_failure = [&st, &failed](feed_record &feed, const download_outcome &out) {
        ++failed;
        report_download_failure(st, feed, out);
    };
    result_context results(st, job.zones);
    run.on_result = [&results](feed_record &feed) { results.process(feed); };
    LOGF(LOG_INFO, "Downloading %zu remote locations.", job.selection.feeds.size());
    const auto start = std::chrono::steady_clock::now();
    const int rc = run_downloads(run, st.settings.max_download_threads);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    LOGF(LOG_INFO, "Downloads of %zu remote locations ended after %.3f s (%d failed).",
         job.selection.feeds.size(), took.count(), failed.load());
    job.largest_download = run.largest_download.load();
    if (rc != 0)
        return rc;
    return write_feeds(st);
}

int write_feeds(zonefeedd_state &st) {
    feed_job &job = *st.job;
    write_settings settings;
    settings.db = st.settings.base.db;
    settings.concurrency = st.settings.concurrency_limit;
    settings.stall_limit = std::chrono::seconds(st.settings.worker_stall_limit);
    settings.max_records = st.settings.max_records;
    settings.event_level = st.event_level;
    write_run run;
    bool scan_failed = false;
    for (auto &feed : job.selection.feeds) {
        run.feeds.push_back(feed.get());
        scan_failed = scan_failed || feed->scan_failed;
    }
    run.zones = &job.zones;
    run.idle = &job.selection.idle;
    run.srv = &job.srv;
    run.bypass_schedule = job.bypass_schedule;
    run.largest_download = job.largest_download;
    run.jobs = &st.jobs;
    if (dump2sql(st.db.get(), settings, run) != 0) {
        LOGF(LOG_ERR, "Failed to save changes to mysql.");
        return -1;
    }
    return scan_failed ? -1 : 0;
}

int reinit_daemon(zonefeedd_state &st) {
    feed_settings fresh;
    if (load_feed_settings(st.config_path, &st.settings, fresh) != 0)
        return -1;
    sql_handle db = connect_database(fresh.base.db);
    if (!db)
        return -1;
    std::string probe;
    if (setup_fs(fresh, probe) != 0 || clean_fs(probe) != 0)
        return -1;
    if (apply_log_settings(fresh.base, st.no_detach) != 0)
        LOGF(LOG_WARNING, "Cannot switch to the configured log engine.");
    st.settings = std::move(fresh);
    st.db = std::move(db);
    st.event_level = LOG_DEBUG;
    if (clear_zone_feed_hash(st.db.get()) != 0)
        return -1;
    return 0;
}
