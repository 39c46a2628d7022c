#include "zone_worker.h"

#include "build_job.h"
#include "check_tool.h"
#include "dns_common.h"
#include "dns_log.h"
#include "event_row.h"
#include "files.h"
#include "liblog.h"
#include "logging.h"
#include "worker_group.h"
#include "zone_model.h"
#include "zone_serial.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Zones per batch: each batch ends with one file-system sync.
constexpr size_t batch_size = 256;
// Record rows a worker loads at once (more only for a single zone that has more).
constexpr size_t record_budget = 50000;

// A zone that passed the first steps and waits for the batch's sync.
struct pending_zone {
    const std::string *name;
    const zone_change *entry;
    zone_ptr zone;
    std::string file_name;
    zone_serial serial;
    std::string work_path; // primary zones: the checked file in the work directory
    std::string staged;    // primary zones: the same file in the staging directory
    std::string dest;      // primary zones: where it goes live
    bool written = false;  // went live with its new statement
};

struct worker {
    worker(const build_job &j, const worker_files &f, sql_conn *conn)
        : job(j), files(f), db(conn), env(j.zonefile), ctx(j.named) {
        env.db = conn;
        env.serial_queue = &serials;
        ctx.db = conn;
    }

    const build_job &job;
    const worker_files &files;
    sql_conn *db;
    zonefile_env env;
    named_ctx ctx;
    job_timing phases;                 // load, write, check, install
    int count = 0;                     // zones written or removed
    size_t staged = 0;                 // files staged so far (their names in the staging directory)
    std::vector<written_zone> written; // bookkeeping of the batch's zones
    // Generated serials of the batch's zone files, stored before any of them goes live.
    std::vector<std::pair<int, std::string>> serials;
    std::vector<std::string> refreshed;

    int record(zone_outcome outcome, const std::string &name) {
        if (outcome == ZONE_WRITTEN || outcome == ZONE_REMOVED)
            ++count;
        if (files.progress)
            files.progress->beat();
        if (put(outcome, name) != 0) {
            LOGF(LOG_ERR, "Failed to record the outcome of zone %s.", name.c_str());
            return -1;
        }
        return 0;
    }

    // The serial a primary zone's live file carries: named must serve it after the reload,
    // and only the worker knows it (a zone may carry a serial of its own).
    int record_serial(const std::string &name, const std::string &serial) {
        if (put(ZONE_SERIAL, serial + " " + name) != 0) {
            LOGF(LOG_ERR, "Failed to record the serial of zone %s.", name.c_str());
            return -1;
        }
        return 0;
    }

    int put(char tag, const std::string &text) {
        const bool ok = fputc(tag, files.results) != EOF &&
                        fwrite(text.c_str(), 1, text.size() + 1, files.results) == text.size() + 1;
        return ok ? 0 : -1;
    }
};

void refuse_zone(worker &w, const std::string &name, unsigned client_id, int zone_id,
                 const std::string &why) {
    report_zone_refusal(w.db, w.job.event_level, name, client_id,
                        zone_id > 0 ? static_cast<unsigned>(zone_id) : 0, why);
}

// A zone written without some of its record rows: one event listing them, and the zone's
// warning (1: served, but not all of its rows are).
void report_refused_rows(worker &w, const pending_zone &p) {
    std::string text = "Record rows not written:";
    for (const std::string &row : p.zone->refused_rows)
        text += " " + row + ";";
    text.pop_back();
    text += ".";
    (void)event_row(FACILITY_ZONEBUILD, LOG_WARNING, "Record rows refused", "ES05")
        .info(text)
        .client(p.zone->client_id)
        .zone(static_cast<unsigned>(p.entry->id), *p.name)
        .write(w.db, w.job.event_level);
    update_sql_zone_warning(w.db, *p.name, 1, text);
}

// Moves (or, across file systems, copies) the checked work file into the staging
// directory, readable by the name server. Not synced: the batch's sync does that.
int stage_file(const std::string &from, const std::string &to) {
    if (rename(from.c_str(), to.c_str()) == 0)
        return 0; // made 0644 when it was created
    if (errno != EXDEV)
        return -1;
    std::string data;
    if (read_file(from, data) != 0)
        return -1;
    const int fd = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return -1;
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int e = errno;
            close(fd);
            unlink(to.c_str());
            errno = e;
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    if (fchmod(fd, 0644) != 0 || close(fd) != 0) {
        unlink(to.c_str());
        return -1;
    }
    unlink(from.c_str());
    return 0;
}

// A primary zone's file: written in the work area and checked, then staged. 0 when staged.
int prepare_primary(worker &w, pending_zone &p) {
    const zb_settings &s = w.job.settings;
    const std::string &name = *p.name;
    const zone_info &zone = *p.zone;
    p.work_path = s.temp_d + "/" + s.work_name + "/" + s.master_d + "/" + p.file_name;
    if (path_purge(p.work_path, 1) != 0) {
        LOGF(LOG_ERR, "Invalid path (after purging) %s for zone %s. Skipping...",
             p.work_path.c_str(), name.c_str());
        return -1;
    }
    stopwatch clock;
    get_serial(zone, s.serial_format, p.serial);
    std::string problem;
    FILE *f = open_new_file(p.work_path, 0644);
    if (!f) {
        io_event(w.db, w.job.event_level, "fail|create|" + p.work_path, zone.client_id);
        LOGF(LOG_ERR, "Could not create zone file %s. Skipping...", p.work_path.c_str());
        return -1;
    }
    int written = edit_zone_file(f, name, zone, p.entry->id, p.serial, w.env, &problem);
    if (fclose(f) != 0)
        written = -1;
    w.phases.write += clock.lap();
    if (written != 0) {
        LOGF(LOG_ERR, "Error editing zone file %s. Skipping...", p.work_path.c_str());
        // A zone the panel's data does not allow to be written is refused, not an I/O error:
        // the panel shows why.
        if (!problem.empty())
            refuse_zone(w, name, zone.client_id, p.entry->id, problem);
        else
            io_event(w.db, w.job.event_level, "fail|write|" + p.work_path, zone.client_id);
        unlink(p.work_path.c_str());
        return -1;
    }
    bind9_consume_log();
    const int rc = bind9_checkzone(name.c_str(), p.work_path.c_str());
    w.phases.check += clock.lap();
    if (rc != 0) {
        LOGF(LOG_ERR, "Failed to parse zone file configuration for %s: %s", name.c_str(),
             bind9_result_totext(rc));
        std::string text = bind9_consume_log();
        if (text.empty())
            text = bind9_result_totext(rc);
        update_sql_zone_warning(w.db, name, 99, text);
        return -1;
    }
    const std::optional<std::string> dir = zone_letter_dir(w.env, p.file_name, 1, 1);
    p.dest = dir ? *dir + "/" + p.file_name : std::string();
    p.staged =
        w.files.stage_dir + "/" + std::to_string(w.files.slot) + "_" + std::to_string(w.staged++);
    if (!dir || path_purge(p.dest, 1) != 0 || stage_file(p.work_path, p.staged) != 0) {
        io_event(w.db, w.job.event_level, "fail|write|" + p.dest, zone.client_id);
        LOGF(LOG_ERR, "Failed to copy %s to %s", p.work_path.c_str(), p.dest.c_str());
        LOGF(LOG_ERR, "Error copying zone file %s. Skipping...", p.work_path.c_str());
        return -1;
    }
    w.phases.install += clock.lap();
    return 0;
}

// A primary zone that could not be written keeps its previous statement, which the writer
// copies from the live include file. When a restore cannot read that file, the zone gets a
// statement for its previous file here instead, built from its current options; a zone that
// has no previous file was never served and gets none.
void keep_previous_file(worker &w, const pending_zone &p) {
    if (!w.job.restore || !w.job.include_unreadable || !p.zone || p.file_name.empty())
        return;
    const std::string &name = *p.name;
    const char first = static_cast<char>(tolower(static_cast<unsigned char>(p.file_name[0])));
    const std::string previous =
        w.env.named_root + "/" + w.env.master_dir + "/" + first + "/" + p.file_name;
    std::string bare = name;
    try_rm_dot(bare);
    const letter_dir_fn letter = [&](const std::string &file, int type) {
        return zone_letter_dir(w.env, file, type, 0);
    };
    if (!io_valid_file(previous.c_str()) ||
        generate_zone_entry(w.files.chunk, bare, p.file_name,
                            make_zone_entry(ZONE_MASTER, p.zone->options), w.job.entry_template,
                            letter, w.ctx) != 0) {
        LOGF(LOG_ERR, "Zone %s has no statement until a job writes it.", name.c_str());
        return;
    }
    LOGF(LOG_WARNING, "Zone %s keeps being served from its previous file %s.", name.c_str(),
         previous.c_str());
}

// What a zone needs before its data: ZONE_WRITTEN when it is to be loaded and written.
zone_outcome zone_kind(const pending_zone &p) {
    const std::string &name = *p.name;
    LOGF(LOG_DEBUG, "Checking zone %s", name.c_str());
    if (is_empty_zone(name)) {
        LOGF(LOG_ERR, "Trying to add empty zone: %s", name.c_str());
        return ZONE_RESERVED;
    }
    if (p.entry->foreign_files)
        return ZONE_RESERVED; // rows consumed; the files are another zone's
    if (p.entry->id < 1)
        return ZONE_REMOVED;
    return ZONE_WRITTEN;
}

// First steps of a loaded zone. ZONE_WRITTEN means "pending": it goes on with the batch.
zone_outcome prepare_zone(worker &w, pending_zone &p, zone_loaded &loaded) {
    const std::string &name = *p.name;
    p.zone = std::move(loaded.zone);
    if (!p.zone) {
        LOGF(LOG_ERR, "Could not get zone %s details from database.", name.c_str());
        if (loaded.error.database)
            return ZONE_FAILED;
        refuse_zone(w, name, 0, p.entry->id,
                    loaded.error.refusal.empty() ? "The zone could not be loaded."
                                                 : loaded.error.refusal);
        return ZONE_SKIPPED;
    }
    LOGF(LOG_INFO, "Updating zone %s", name.c_str());
    if (zone_file_name(name, p.file_name) != 0) {
        refuse_zone(w, name, p.zone->client_id, p.entry->id,
                    "The zone name cannot name a zone file.");
        return ZONE_SKIPPED;
    }
    if (p.entry->type == ZONE_MASTER && prepare_primary(w, p) != 0) {
        keep_previous_file(w, p);
        return ZONE_SKIPPED;
    }
    return ZONE_WRITTEN;
}

// Last steps, after the batch's sync: the file goes live, the statement is written.
zone_outcome finish_zone(worker &w, pending_zone &p, bool synced) {
    const std::string &name = *p.name;
    const zone_info &zone = *p.zone;
    stopwatch clock;
    if (p.entry->type == ZONE_MASTER) {
        if (!synced || rename(p.staged.c_str(), p.dest.c_str()) != 0) {
            io_event(w.db, w.job.event_level, "fail|write|" + p.dest, zone.client_id);
            LOGF(LOG_ERR, "Failed to copy %s to %s", p.work_path.c_str(), p.dest.c_str());
            LOGF(LOG_ERR, "Error copying zone file %s. Skipping...", p.work_path.c_str());
            unlink(p.staged.c_str());
            return ZONE_SKIPPED;
        }
        LOGF(LOG_INFO, "Copied %s to %s", p.work_path.c_str(), p.dest.c_str());
        (void)event_row(FACILITY_ZONEBUILD, LOG_NOTICE, "Zone file created", "ER07")
            .info(p.dest)
            .client(zone.client_id)
            .write(w.db, w.job.event_level);
    }
    std::string bare = name;
    try_rm_dot(bare);
    const zone_entry statement = make_zone_entry(p.entry->type, zone.options);
    const letter_dir_fn letter = [&](const std::string &file, int type) {
        return zone_letter_dir(w.env, file, type, 0);
    };
    if (generate_zone_entry(w.files.chunk, bare, p.file_name, statement, w.job.entry_template,
                            letter, w.ctx) != 0) {
        const std::string include = zb_live_include(w.job.settings);
        io_event(w.db, w.job.event_level, "fail|write|" + include, zone.client_id);
        LOGF(LOG_ERR, "Error adding entry to %s. Skipping...", include.c_str());
        return ZONE_SKIPPED;
    }
    // The files of the zone's other kind (it changed type) go; the bookkeeping columns
    // follow for the whole batch.
    if (p.entry->type == ZONE_MASTER) {
        w.written.push_back({name, p.serial.serial, p.serial.timestamp});
        remove_zone_file(w.env, name, 2, zone.client_id);
    } else {
        w.refreshed.push_back(name);
        remove_zone_file(w.env, name, 1, zone.client_id);
    }
    w.phases.install += clock.lap();
    LOGF(LOG_INFO, "Finished processing zone %s.", name.c_str());
    return ZONE_WRITTEN;
}

// Makes the staged files of a batch durable before any of them goes live.
bool sync_staged(const worker &w) {
    const int fd = open(w.files.stage_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || syncfs(fd) != 0) {
        LOGF(LOG_ERR, "Failed to sync the zone files in %s: %s", w.files.stage_dir.c_str(),
             strerror(errno));
        if (fd >= 0)
            close(fd);
        return false;
    }
    close(fd);
    return true;
}

int work_slice(worker &w, const zone_keys &all_keys, writer_slice slice) {
    // The slice in zone order: a batch's zones then lie together in the database's indexes
    // and tables, which a restore of many zones reads far faster than zones spread over all.
    zone_keys keys(all_keys.begin() + static_cast<std::ptrdiff_t>(slice.begin),
                   all_keys.begin() + static_cast<std::ptrdiff_t>(slice.end));
    std::stable_sort(keys.begin(), keys.end(),
                     [](const auto *a, const auto *b) { return a->second.id < b->second.id; });
    slice = {0, keys.size()};
    std::vector<pending_zone> batch;
    std::vector<zone_request> requests, group;
    std::vector<zone_loaded> loaded;
    std::vector<size_t> counts;
    for (size_t i = slice.begin; i < slice.end;) {
        batch.clear();
        requests.clear();
        // The batch's zones: those that need no data are done at once, the others are
        // loaded together.
        for (; i < slice.end && batch.size() < batch_size; ++i) {
            pending_zone p{&keys[i]->first, &keys[i]->second, nullptr, {}, {}, {}, {}, {}, false};
            const zone_outcome outcome = zone_kind(p);
            if (outcome != ZONE_WRITTEN) {
                if (w.record(outcome, *p.name) != 0)
                    return -1;
                continue;
            }
            requests.push_back({p.entry->id, p.entry->type, p.name});
            batch.push_back(std::move(p));
        }
        // Loaded in groups of a bounded number of records, and each zone's records dropped
        // once its file is written: a batch of very large zones never holds them all at once.
        stopwatch load_clock;
        std::vector<size_t> ends = {requests.size()}; // a failed count: the load reports it
        if (count_zone_records(w.db, requests, counts) == 0)
            ends = record_groups(counts, record_budget);
        w.phases.load += load_clock.lap();
        bool staged = false;
        size_t kept = 0;
        for (size_t begin = 0, g = 0; g < ends.size(); begin = ends[g++]) {
            group.assign(requests.begin() + static_cast<std::ptrdiff_t>(begin),
                         requests.begin() + static_cast<std::ptrdiff_t>(ends[g]));
            load_clock.lap();
            load_zone_batch(w.db, group, loaded);
            w.phases.load += load_clock.lap();
            for (size_t k = begin; k < ends[g]; ++k) {
                pending_zone &p = batch[k];
                const zone_outcome outcome = prepare_zone(w, p, loaded[k - begin]);
                if (outcome != ZONE_WRITTEN) {
                    if (w.record(outcome, *p.name) != 0)
                        return -1;
                    p.zone.reset(); // its records go now, not with the batch
                    continue;
                }
                p.zone->records = dns_recs(); // in the file now; the statement needs none
                staged = staged || !p.staged.empty();
                if (kept != k)
                    batch[kept] = std::move(p);
                ++kept;
            }
        }
        batch.erase(batch.begin() + static_cast<std::ptrdiff_t>(kept), batch.end());
        stopwatch clock;
        // Stored whatever became of the files: a later serial must move past each of them.
        set_sql_soa_serials(w.db, w.serials);
        w.serials.clear();
        w.phases.write += clock.lap();
        const bool synced = !staged || sync_staged(w);
        w.phases.install += clock.lap();
        w.written.clear();
        w.refreshed.clear();
        for (pending_zone &p : batch) {
            const zone_outcome outcome = finish_zone(w, p, synced);
            p.written = outcome == ZONE_WRITTEN;
            if (w.record(outcome, *p.name) != 0)
                return -1;
            if (p.written && p.entry->type == ZONE_MASTER &&
                w.record_serial(*p.name, file_serial(*p.zone, p.serial)) != 0)
                return -1;
        }
        clock.lap();
        // Bookkeeping only: a failure is logged and the next write corrects it.
        update_sql_zones_written(w.db, w.written);
        update_sql_zones_timestamp(w.db, w.refreshed);
        for (const pending_zone &p : batch)
            if (p.zone && !p.zone->refused_rows.empty() && p.written)
                report_refused_rows(w, p);
        w.phases.install += clock.lap();
    }
    return 0;
}

} // namespace

void io_event(sql_conn *db, int event_level, const std::string &info, unsigned client_id) {
    (void)event_row(FACILITY_ZONEBUILD, LOG_ERR, "File system interaction (I/O problem)", "ER05")
        .info(info)
        .client(client_id)
        .write(db, event_level);
}

namespace {

int run_slice(build_job &job, const zone_keys &keys, writer_slice slice,
              const worker_files &files) {
    // The worker group made it obey SIGTERM at once, ignore the daemon's job signals and die
    // with the daemon.
    signal(SIGCHLD, SIG_DFL);
    if (job.stop.forget)
        job.stop.forget(); // the daemon's signal pipe and lock are the daemon's alone
    if (job.work.tmp_include)
        fclose(job.work.tmp_include);
    if (job.work.live_include)
        fclose(job.work.live_include);
    job.work.tmp_include = job.work.live_include = nullptr;
    fclose(stdin);
    bind9_worker_init();

    int status = 0;
    sql_handle db = zonebuildd_init_db(job.settings);
    if (!db) {
        LOGF(LOG_ERR, "Failed to reestablish database connection.");
        status = 1;
    }
    if (status == 0 && chunk_begin(files.chunk) != 0) {
        LOGF(LOG_ERR, "Failed to write chunk %d.", files.slot);
        status = 1;
    }
    worker w(job, files, db.get());
    if (status == 0) {
        if (work_slice(w, keys, slice) != 0)
            status = 1;
        char phases[128];
        const int len = snprintf(phases, sizeof phases, "%c%.6f %.6f %.6f %.6f", ZONE_TIMING,
                                 w.phases.load, w.phases.write, w.phases.check, w.phases.install);
        if (fwrite(phases, 1, static_cast<size_t>(len) + 1, files.results) !=
            static_cast<size_t>(len) + 1)
            status = 1;
    }
    if (chunk_finish(files.chunk, w.count) != 0 || fclose(files.chunk) != 0 ||
        fclose(files.results) != 0) {
        LOGF(LOG_ERR, "Failed to close the files of worker %d.", files.slot);
        status = 1;
    }
    return status;
}

} // namespace

int run_worker(build_job &job, const zone_keys &keys, writer_slice slice,
               const worker_files &files) {
    try {
        return run_slice(job, keys, slice, files);
    } catch (...) {
        FR_TRACE_EXCEPTION(0);
        LOGF(LOG_ERR, "Worker %d stopped by an unexpected error.", files.slot);
        return 1;
    }
}
