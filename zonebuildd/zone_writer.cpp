#include "zone_writer.h"

#include "check_tool.h"
#include "dns_common.h"
#include "dns_log.h"
#include "edit_zonefile_op.h"
#include "files.h"
#include "liblog.h"
#include "logging.h"
#include "zone_model.h"
#include "zone_serial.h"
#include "zonebuildd.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unordered_set>

namespace {

// What became of one zone in a worker (one byte in front of the name in the result file).
enum zone_outcome : char {
    ZONE_WRITTEN = 'W',  // live with its new statement: rows consumed
    ZONE_REMOVED = 'R',  // to be removed: statement dropped, files removed after installation
    ZONE_RESERVED = 'E', // a built-in empty zone: rows consumed, never served
    ZONE_SKIPPED = 'S',  // could not be written: previous statement and file kept, rows kept
};

struct worker_slot {
    pid_t pid = 0;
    std::string chunk_path, result_path;
    FILE *chunk = nullptr;
    timespec last_progress{};
};

timespec monotonic_now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

double seconds_since(const timespec &then) {
    const timespec now = monotonic_now();
    return static_cast<double>(now.tv_sec - then.tv_sec) +
           static_cast<double>(now.tv_nsec - then.tv_nsec) / 1e9;
}

zonefile_env make_zonefile_env(const zonebuildd_state &st, sql_conn *db) {
    zonefile_env env;
    env.named_root = st.settings.named_root;
    env.master_dir = st.settings.master_d;
    env.secondary_dir = st.settings.secondary_d;
    env.named_uid = st.settings.named_uid;
    env.named_gid = st.settings.named_gid;
    env.db = db;
    env.event_level = st.event_level;
    env.enum_services = &st.enum_set.names;
    return env;
}

void io_event(sql_conn *db, int event_level, const std::string &info, unsigned client_id) {
    sql_log(db, FACILITY_ZONEBUILD, LOG_ERR, "File system interaction (I/O problem)", "ER05",
            info.c_str(), client_id, 0, 0, nullptr, nullptr, event_level);
}

// ---------------------------------------------------------------------------------------
// Worker side

struct worker_job {
    zonebuildd_state &st;
    sql_conn *db;
    zonefile_env env;
    named_ctx ctx;
    FILE *chunk;
    FILE *results;
    int progress_fd;
    int slot;
};

// A primary zone's file: written in the work area, checked, installed. 0 when installed.
int write_primary(worker_job &w, const std::string &name, int id, const zone_info &zone,
                  const std::string &file_name, zone_serial &serial) {
    const zb_settings &s = w.st.settings;
    std::string path = s.temp_d + "/" + s.work_name + "/" + s.master_d + "/" + file_name;
    if (path_purge(path, 1) != 0) {
        LOGF(LOG_ERR, "Invalid path (after purging) %s for zone %s. Skipping...", path.c_str(),
             name.c_str());
        return -1;
    }
    get_serial(zone, s.serial_format, serial);
    std::string problem;
    if (write_zone_file(path, name, zone, id, serial, w.env, &problem) != 0) {
        io_event(w.db, w.st.event_level, "fail|write|" + path, zone.client_id);
        LOGF(LOG_ERR, "Error editing zone file %s. Skipping...", path.c_str());
        // A zone the panel's data does not allow to be written: the panel shows why.
        if (!problem.empty())
            update_sql_zone_warning(w.db, name, 99, problem);
        return -1;
    }
    bind9_consume_log();
    const int rc = bind9_checkzone(name.c_str(), path.c_str());
    if (rc != 0) {
        LOGF(LOG_ERR, "Failed to parse zone file configuration for %s: %s", name.c_str(),
             bind9_result_totext(rc));
        std::string text = bind9_consume_log();
        if (text.empty())
            text = bind9_result_totext(rc);
        update_sql_zone_warning(w.db, name, 99, text);
        return -1;
    }
    update_sql_zone_warning(w.db, name, 0, "");
    if (copy_zone_file(w.env, path, file_name, zone.client_id) != 0) {
        LOGF(LOG_ERR, "Error copying zone file %s. Skipping...", path.c_str());
        return -1;
    }
    return 0;
}

zone_outcome write_one_zone(worker_job &w, const std::string &name, const zone_change &entry) {
    LOGF(LOG_DEBUG, "Checking zone %s", name.c_str());
    if (is_empty_zone(name)) {
        LOGF(LOG_ERR, "Trying to add empty zone: %s", name.c_str());
        return ZONE_RESERVED;
    }
    if (entry.id < 1)
        return ZONE_REMOVED;
    zone_ptr zone = get_sql_more_info(w.db, entry.id, entry.type, name);
    if (!zone) {
        LOGF(LOG_ERR, "Could not get zone %s details from database.", name.c_str());
        return ZONE_SKIPPED;
    }
    LOGF(LOG_INFO, "Updating zone %s", name.c_str());
    std::string file_name;
    if (zone_file_name(name, file_name) != 0)
        return ZONE_SKIPPED;
    zone_serial serial;
    if (entry.type == ZONE_MASTER &&
        write_primary(w, name, entry.id, *zone, file_name, serial) != 0)
        return ZONE_SKIPPED;

    std::string bare = name;
    try_rm_dot(bare);
    const zone_entry statement = make_zone_entry(entry.type, zone->options);
    const letter_dir_fn letter = [&](const std::string &file, int type) {
        return _make_path(w.env, file, type, 0);
    };
    if (generate_zone_entry(w.chunk, bare, file_name, statement, w.st.job->entry_template, letter,
                            w.ctx) != 0) {
        const std::string include = zb_live_include(w.st.settings);
        io_event(w.db, w.st.event_level, "fail|write|" + include, zone->client_id);
        LOGF(LOG_ERR, "Error adding entry to %s. Skipping...", include.c_str());
        return ZONE_SKIPPED;
    }
    // The files of the zone's other kind (it changed type) go.
    if (entry.type == ZONE_MASTER) {
        update_sql_zone_serial(w.db, name, serial.serial, serial.timestamp);
        remove_zone_file(w.env, name, 2, zone->client_id);
    } else {
        update_sql_zone_timestamp(w.db, name);
        remove_zone_file(w.env, name, 1, zone->client_id);
    }
    LOGF(LOG_INFO, "Finished processing zone %s.", name.c_str());
    return ZONE_WRITTEN;
}

// Runs in the forked worker and never returns: status 0 when the slice was worked through,
// 1 when the worker had to stop early.
[[noreturn]] void child_hash_slice(zonebuildd_state &st, int slot,
                                   const std::vector<const change_set::value_type *> &keys,
                                   size_t begin, size_t end, FILE *chunk, FILE *results,
                                   int progress_fd) {
    // A worker obeys SIGTERM at once and ignores the daemon's job signals; it dies with
    // the daemon.
    for (int sig : {SIGTERM, SIGINT, SIGCHLD})
        signal(sig, SIG_DFL);
    for (int sig : {SIGUSR1, SIGUSR2, SIGTTIN, SIGHUP})
        signal(sig, SIG_IGN);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    job_queue_forget(st.queue);
    if (st.pid_fd >= 0)
        close(st.pid_fd); // the daemon's lock is the daemon's alone
    zb_job &job = *st.job;
    if (job.work.tmp_include)
        fclose(job.work.tmp_include);
    if (job.work.live_include)
        fclose(job.work.live_include);
    job.work.tmp_include = job.work.live_include = nullptr;
    fclose(stdin);
    bind9_worker_init();

    int status = 0;
    int count = 0;
    sql_handle db = zonebuildd_init_db(st.settings);
    if (!db) {
        LOGF(LOG_ERR, "Failed to reestablish database connection.");
        status = 1;
    }
    if (status == 0 && chunk_begin(chunk) != 0) {
        LOGF(LOG_ERR, "Failed to write chunk %d.", slot);
        status = 1;
    }
    if (status == 0) {
        named_ctx ctx = zb_named_ctx(st);
        ctx.db = db.get();
        worker_job w{st,          db.get(), make_zonefile_env(st, db.get()), ctx, chunk, results,
                     progress_fd, slot};
        for (size_t i = begin; i < end; ++i) {
            const std::string &name = keys[i]->first;
            const zone_outcome outcome = write_one_zone(w, name, keys[i]->second);
            if (outcome == ZONE_WRITTEN || outcome == ZONE_REMOVED)
                ++count;
            if (fputc(outcome, results) == EOF ||
                fwrite(name.c_str(), 1, name.size() + 1, results) != name.size() + 1) {
                LOGF(LOG_ERR, "Failed to record the outcome of zone %s.", name.c_str());
                status = 1;
                break;
            }
            const unsigned char beat = static_cast<unsigned char>(slot);
            ssize_t n = write(progress_fd, &beat, 1); // a full pipe only loses a heartbeat
            (void)n;
        }
    }
    if (chunk_finish(chunk, count) != 0 || fclose(chunk) != 0 || fclose(results) != 0) {
        LOGF(LOG_ERR, "Failed to close the files of worker %d.", slot);
        status = 1;
    }
    db.reset();
    fflush(stdout);
    fflush(stderr);
    _exit(status);
}

// ---------------------------------------------------------------------------------------
// Parent side

extern "C" void handle_sigchld(int) {
    job_queue_signal(JOB_NONE);
}

// SIGCHLD wakes the parent's wait while workers run; the previous action comes back after.
struct sigchld_wakeup {
    struct sigaction old {};
    sigchld_wakeup() {
        struct sigaction sa {};
        sigemptyset(&sa.sa_mask);
        sa.sa_handler = handle_sigchld;
        sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
        sigaction(SIGCHLD, &sa, &old);
    }
    ~sigchld_wakeup() { sigaction(SIGCHLD, &old, nullptr); }
};

// Checks a reaped worker's status. 0 for a clean exit.
int worker_status(pid_t pid, int status) {
    if (WIFSIGNALED(status)) {
        LOGF(LOG_ERR, "Child[%d] was signaled with %d.", pid, WTERMSIG(status));
        return -1;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        LOGF(LOG_ERR, "Child[%d] exited with code %d.", pid, WEXITSTATUS(status));
        return -1;
    }
    LOGF(LOG_DEBUG, "Child[%d] terminated successfully.", pid);
    return 0;
}

// Stops the workers still running: SIGTERM, up to about a second to end, then SIGKILL.
// Every worker is reaped before this returns.
void emergency_children_cleanup(std::vector<worker_slot> &slots) {
    for (worker_slot &w : slots) {
        if (w.pid <= 0)
            continue;
        int status;
        if (waitpid(w.pid, &status, WNOHANG) == w.pid)
            w.pid = 0;
        else
            kill(w.pid, SIGTERM);
    }
    const timespec start = monotonic_now();
    while (seconds_since(start) < 0.999999999) {
        bool running = false;
        for (worker_slot &w : slots) {
            int status;
            if (w.pid > 0 && waitpid(w.pid, &status, WNOHANG) == w.pid)
                w.pid = 0;
            running = running || w.pid > 0;
        }
        if (!running)
            return;
        const timespec step{0, 20000000};
        nanosleep(&step, nullptr);
    }
    for (worker_slot &w : slots) {
        if (w.pid <= 0)
            continue;
        kill(w.pid, SIGKILL);
        int status;
        while (waitpid(w.pid, &status, 0) < 0 && errno == EINTR) {
        }
        w.pid = 0;
    }
}

void drain(int fd, std::vector<worker_slot> &slots) {
    unsigned char buf[512];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
        const timespec now = monotonic_now();
        for (ssize_t i = 0; i < n; ++i)
            if (buf[i] < slots.size())
                slots[buf[i]].last_progress = now;
    }
}

// Waits for every worker. -1 as soon as one fails, hangs, or the daemon is told to stop.
int wait_workers(zonebuildd_state &st, std::vector<worker_slot> &slots, int progress_fd) {
    while (true) {
        bool running = false;
        for (worker_slot &w : slots) {
            if (w.pid <= 0)
                continue;
            int status;
            const pid_t r = waitpid(w.pid, &status, WNOHANG);
            if (r == w.pid) {
                const pid_t pid = w.pid;
                w.pid = 0;
                if (worker_status(pid, status) != 0)
                    return -1;
                continue;
            }
            if (r < 0 && errno != EINTR) {
                LOGF(LOG_ERR, "Lost track of child[%d]: %s", w.pid, strerror(errno));
                w.pid = 0;
                return -1;
            }
            running = true;
        }
        if (!running)
            return 0;
        if (!zb_running) {
            LOGF(LOG_ERR, "Stop requested: abandoning the zone writers.");
            return -1;
        }
        drain(progress_fd, slots);
        double wait = 1.0;
        for (const worker_slot &w : slots) {
            if (w.pid <= 0)
                continue;
            const double idle = seconds_since(w.last_progress);
            if (idle >= static_cast<double>(st.worker_stall_limit)) {
                LOGF(LOG_ERR, "Child[%d] made no progress for %ld seconds: stopping it.", w.pid,
                     static_cast<long>(st.worker_stall_limit));
                return -1;
            }
            wait = std::min(wait, static_cast<double>(st.worker_stall_limit) - idle);
        }
        job_queue_empty(st.queue); // takes in wake-up bytes; queued jobs stay queued
        pollfd fds[2] = {{progress_fd, POLLIN, 0}, {st.queue.rd, POLLIN, 0}};
        const timespec timeout{static_cast<time_t>(wait),
                               static_cast<long>((wait - static_cast<time_t>(wait)) * 1e9)};
        ppoll(fds, st.queue.rd >= 0 ? 2 : 1, &timeout, nullptr);
    }
}

// Reads a worker's result file into the outcome sets.
int read_results(const std::string &path, std::unordered_set<std::string> &consumed,
                 std::unordered_set<std::string> &removed,
                 std::unordered_set<std::string> &skipped) {
    std::string text;
    if (read_file(path, text) != 0) {
        LOGF(LOG_ERR, "Failed to read %s: %s", path.c_str(), strerror(errno));
        return -1;
    }
    for (size_t pos = 0; pos < text.size();) {
        const size_t end = text.find('\0', pos);
        if (end == std::string::npos || end == pos) {
            LOGF(LOG_ERR, "Truncated result file %s.", path.c_str());
            return -1;
        }
        const char outcome = text[pos];
        std::string name = text.substr(pos + 1, end - pos - 1);
        pos = end + 1;
        switch (outcome) {
        case ZONE_REMOVED:
            removed.insert(name);
            consumed.insert(std::move(name));
            break;
        case ZONE_WRITTEN:
        case ZONE_RESERVED:
            consumed.insert(std::move(name));
            break;
        case ZONE_SKIPPED:
            skipped.insert(std::move(name));
            break;
        default:
            LOGF(LOG_ERR, "Unknown outcome in %s.", path.c_str());
            return -1;
        }
    }
    return 0;
}

struct fd_pair {
    int rd = -1, wr = -1;
    ~fd_pair() {
        if (rd >= 0)
            close(rd);
        if (wr >= 0)
            close(wr);
    }
};

// Starts the workers, waits, merges. On success the temporary include file holds every
// statement and `consumed`/`removed`/`skipped` say what became of each zone.
int run_workers(zonebuildd_state &st, std::unordered_set<std::string> &consumed,
                std::unordered_set<std::string> &removed,
                std::unordered_set<std::string> &skipped) {
    zb_job &job = *st.job;
    std::vector<const change_set::value_type *> keys;
    keys.reserve(job.feed.changes.size());
    for (const auto &kv : job.feed.changes)
        keys.push_back(&kv);
    const size_t k = keys.size();
    if (k == 0)
        return 0;
    const size_t n = writer_count(k, st.settings.concurrency_limit);

    const std::string base = zb_work_dir(st.settings) + "/" + std::to_string(getpid());
    std::vector<worker_slot> slots(n);
    std::vector<FILE *> results(n, nullptr);
    auto close_streams = [&] {
        for (size_t i = 0; i < n; ++i) {
            if (slots[i].chunk)
                fclose(slots[i].chunk);
            if (results[i])
                fclose(results[i]);
            slots[i].chunk = results[i] = nullptr;
        }
    };
    for (size_t i = 0; i < n; ++i) {
        slots[i].chunk_path = base + "_chunk_" + std::to_string(i);
        slots[i].result_path = base + "_result_" + std::to_string(i);
        slots[i].chunk = fopen(slots[i].chunk_path.c_str(), "we");
        results[i] = fopen(slots[i].result_path.c_str(), "we");
        if (!slots[i].chunk || !results[i]) {
            LOGF(LOG_ERR, "Failed to open zone file %s.", slots[i].chunk_path.c_str());
            close_streams();
            return -1;
        }
    }
    fd_pair progress;
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        LOGF(LOG_ERR, "Failed to create the progress pipe: %s", strerror(errno));
        close_streams();
        return -1;
    }
    progress.rd = fds[0];
    progress.wr = fds[1];

    // Nothing buffered may be written twice, and no worker may share our connection.
    fflush(job.work.tmp_include);
    fflush(stdout);
    fflush(stderr);
    st.db.reset();

    sigchld_wakeup wakeup;
    int rc = 0;
    for (size_t i = 0; i < n && rc == 0; ++i) {
        const writer_slice slice = slice_of(k, n, i);
        slots[i].last_progress = monotonic_now();
        const pid_t pid = fork();
        if (pid < 0) {
            LOGF(LOG_ERR, "fork failed: %s", strerror(errno));
            rc = -1;
        } else if (pid == 0) {
            close(progress.rd);
            child_hash_slice(st, static_cast<int>(i), keys, slice.begin, slice.end, slots[i].chunk,
                             results[i], progress.wr);
        } else {
            slots[i].pid = pid;
        }
    }
    close_streams();
    close(progress.wr);
    progress.wr = -1;
    if (rc == 0) {
        st.db = zonebuildd_init_db(st.settings);
        if (!st.db) {
            LOGF(LOG_ERR, "Failed to reestablish database connection.");
            rc = -1;
        }
    }
    if (rc == 0)
        rc = wait_workers(st, slots, progress.rd);
    if (rc != 0) {
        emergency_children_cleanup(slots);
        return -1;
    }

    std::vector<FILE *> chunks;
    for (const worker_slot &w : slots) {
        FILE *f = fopen(w.chunk_path.c_str(), "re");
        if (!f) {
            LOGF(LOG_ERR, "Failed to open zone file %s.", w.chunk_path.c_str());
            rc = -1;
            break;
        }
        chunks.push_back(f);
    }
    int total = -1;
    if (rc == 0) {
        total = merge_namedconf(chunks, job.work.tmp_include, zb_named_ctx(st));
        if (total < 0) {
            LOGF(LOG_ERR, "Failed to merge zone files.");
            rc = -1;
        }
    }
    for (FILE *f : chunks)
        fclose(f);
    for (size_t i = 0; rc == 0 && i < n; ++i)
        rc = read_results(slots[i].result_path, consumed, removed, skipped);
    if (rc != 0)
        return -1;
    LOGF(LOG_INFO, "Job processed %d zones.", total);
    sql_log(st.db.get(), FACILITY_ZONEBUILD, LOG_INFO, "Zones processed", "ER08",
            std::to_string(total).c_str(), 0, 0, 0, nullptr, nullptr, st.event_level);
    return 0;
}

// After the installation: the rows of the zones that went live go, the files of removed
// zones go, the name server reloads.
void after_install(zonebuildd_state &st, const std::unordered_set<std::string> &consumed,
                   const std::unordered_set<std::string> &removed) {
    zb_job &job = *st.job;
    std::vector<uint32_t> ids = job.feed.garbage_ids;
    for (const std::string &name : consumed) {
        const auto it = job.feed.changes.find(name);
        if (it != job.feed.changes.end())
            ids.insert(ids.end(), it->second.change_ids.begin(), it->second.change_ids.end());
    }
    if (!ids.empty() && delete_changes(st.db.get(), ids) < 0)
        LOGF(LOG_ERR, "Failed to remove the served changes from the database; they are "
                      "served again by the next job.");
    const zonefile_env env = make_zonefile_env(st, st.db.get());
    for (const std::string &name : removed)
        remove_zone_file(env, name, 3, 0);
    st.reload_pending = reload_named(zb_named_ctx(st)) != 0;
}

} // namespace

size_t writer_count(size_t zones, int limit) {
    const size_t n = limit < 1 ? 1 : static_cast<size_t>(limit);
    return zones < n ? 1 : n;
}

writer_slice slice_of(size_t zones, size_t n, size_t i) {
    const size_t step = zones / n;
    return {step * i, i + 1 < n ? step * (i + 1) : zones};
}

int hash2fs(zonebuildd_state &st) {
    zb_job &job = *st.job;
    std::unordered_set<std::string> consumed, removed, skipped;
    if (run_workers(st, consumed, removed, skipped) != 0)
        return -1;

    const named_ctx ctx = zb_named_ctx(st);
    const std::string live = zb_live_include(st.settings);
    // A zone that could not be written keeps its previous statement until a job writes it.
    if (!skipped.empty() && io_valid_file(live.c_str())) {
        const auto wanted = [&](const std::string &name) { return skipped.count(name) > 0; };
        if (copy_zone_entries(live, wanted, job.work.tmp_include, ctx) < 0) {
            LOGF(LOG_ERR, "Failed to keep the previous entries of the skipped zones.");
            return -1;
        }
    }
    FILE *tmp = job.work.tmp_include;
    job.work.tmp_include = nullptr;
    if (fclose(tmp) != 0) {
        LOGF(LOG_ERR, "Failed to close file: %s.", st.settings.named_file_base.c_str());
        return -1;
    }
    if (job.work.live_include) {
        FILE *in = job.work.live_include;
        job.work.live_include = nullptr;
        if (fclose(in) != 0) {
            LOGF(LOG_ERR, "Failed to close file %s.", live.c_str());
            return -1;
        }
    }
    if (install_namedconf(ctx) != 0) {
        LOGF(LOG_ERR, "Failed to install new namedconf file.");
        return -1;
    }
    after_install(st, consumed, removed);
    return 0;
}

int write_zones(zonebuildd_state &st) {
    zb_job &job = *st.job;
    const named_ctx ctx = zb_named_ctx(st);
    if (restore_acl(job.acl, ctx) < 0)
        LOGF(LOG_ERR, "Failed to restore global ACL.");
    include_scan scan;
    scan.in = job.work.live_include;
    scan.out = job.work.tmp_include;
    const auto in_set = [&](const std::string &name) { return job.feed.changes.count(name) > 0; };
    if (manage_namedconf(scan, in_set, ctx) != 0)
        return -1;
    fflush(stdout);
    fflush(stderr);
    if (hash2fs(st) != 0) {
        LOGF(LOG_ERR, "Failed to process zone files.");
        return -1;
    }
    return 0;
}
