#include "zone_writer.h"

#include "build_job.h"
#include "catalog_step.h"
#include "check_tool.h"
#include "dns_common.h"
#include "dns_log.h"
#include "event_row.h"
#include "files.h"
#include "liblog.h"
#include "logging.h"
#include "name_conflicts.h"
#include "worker_group.h"
#include "zone_file.h"
#include "zone_model.h"
#include "zone_serial.h"
#include "zone_worker.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

namespace {

struct worker_slot {
    std::string chunk_path, result_path;
    FILE *chunk = nullptr;
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

// What became of the job's zones, from the workers' result files.
struct job_outcome {
    std::unordered_set<std::string> consumed; // rows to delete: written, removed, reserved
    std::unordered_set<std::string> written;  // live with a new statement
    std::unordered_set<std::string> removed;  // files to remove
    std::unordered_set<std::string> skipped;  // previous statement kept
    std::unordered_map<std::string, std::string> serials; // written primaries: their file's serial
    size_t failed = 0;                                    // of those, zones the database failed
};

// Reads a worker's result file into the outcome sets.
int read_results(const std::string &path, job_outcome &out, job_timing &timing) {
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
            out.removed.insert(name);
            out.consumed.insert(std::move(name));
            break;
        case ZONE_WRITTEN:
            out.written.insert(name);
            out.consumed.insert(std::move(name));
            break;
        case ZONE_RESERVED:
            out.consumed.insert(std::move(name));
            break;
        case ZONE_SKIPPED:
            out.skipped.insert(std::move(name));
            break;
        case ZONE_FAILED:
            ++out.failed;
            out.skipped.insert(std::move(name));
            break;
        case ZONE_SERIAL: {
            const size_t space = name.find(' ');
            if (space == std::string::npos) {
                LOGF(LOG_ERR, "Malformed serial record in %s.", path.c_str());
                return -1;
            }
            out.serials[name.substr(space + 1)] = name.substr(0, space);
            break;
        }
        case ZONE_TIMING: {
            double load = 0, write = 0, check = 0, install = 0;
            if (sscanf(name.c_str(), "%lf %lf %lf %lf", &load, &write, &check, &install) == 4) {
                timing.load += load;
                timing.write += write;
                timing.check += check;
                timing.install += install;
            }
            break;
        }
        default:
            LOGF(LOG_ERR, "Unknown outcome in %s.", path.c_str());
            return -1;
        }
    }
    return 0;
}

// The workers' staging directory on the name server's file system (below the primary zones
// directory, so that a rename puts a file live); removed with whatever it still holds once
// the workers are gone.
struct stage_area {
    std::string dir;
    ~stage_area() {
        if (!dir.empty() && fr_rm(dir) != 0)
            LOGF(LOG_WARNING, "Failed to remove %s: %s", dir.c_str(), strerror(errno));
    }
    [[nodiscard]] int make(const zb_settings &s) {
        const std::string path =
            s.named_root + "/" + s.master_d + "/.zonebuildd-stage-" + std::to_string(getpid());
        if (fr_rm(path) != 0 || mkdir(path.c_str(), 0700) != 0) {
            LOGF(LOG_ERR, "Failed to create directory %s: %s", path.c_str(), strerror(errno));
            return -1;
        }
        dir = path;
        return 0;
    }
};

// Starts the workers, waits, merges. On success the temporary include file holds every
// statement and `out` says what became of each zone.
int run_workers(build_job &job, job_outcome &out) {
    zone_keys keys;
    keys.reserve(job.feed.changes.size());
    for (const auto &kv : job.feed.changes)
        keys.push_back(&kv);
    const size_t k = keys.size();
    if (k == 0)
        return 0;
    const size_t n = writer_count(k, job.settings.concurrency_limit);

    const std::string base = zb_work_dir(job.settings) + "/" + std::to_string(getpid());
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
        slots[i].chunk = open_new_file(slots[i].chunk_path, 0644);
        results[i] = open_new_file(slots[i].result_path, 0644);
        if (!slots[i].chunk || !results[i]) {
            LOGF(LOG_ERR, "Failed to open zone file %s.", slots[i].chunk_path.c_str());
            close_streams();
            return -1;
        }
    }
    stage_area stage;
    if (stage.make(job.settings) != 0) {
        close_streams();
        return -1;
    }

    // Nothing buffered may be written twice, and no worker may share our connection.
    fflush(job.work.tmp_include);
    fflush(stdout);
    fflush(stderr);
    job.use_connection(nullptr);

    worker_group group(std::chrono::seconds(std::max<time_t>(1, job.worker_stall_limit)),
                       job.stop.jobs);
    const stopwatch clock;
    int rc = 0;
    for (size_t i = 0; i < n && rc == 0; ++i) {
        const writer_slice slice = slice_of(k, n, i);
        const int slot = group.start([&, i, slice](worker_progress &progress) {
            worker_files files;
            files.slot = static_cast<int>(i);
            files.chunk = slots[i].chunk;
            files.results = results[i];
            files.progress = &progress;
            files.stage_dir = stage.dir;
            return run_worker(job, keys, slice, files);
        });
        if (slot < 0)
            rc = -1;
    }
    close_streams();
    if (rc == 0) {
        job.use_connection(zonebuildd_init_db(job.settings));
        if (!job.db) {
            LOGF(LOG_ERR, "Failed to reestablish database connection.");
            rc = -1;
        }
    }
    if (rc == 0)
        rc = group.wait();
    job.timing.workers = clock.seconds();
    if (rc != 0) {
        group.stop_all();
        return -1;
    }

    const stopwatch merge_clock;
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
        total = merge_namedconf(chunks, job.work.tmp_include, job.named);
        if (total < 0) {
            LOGF(LOG_ERR, "Failed to merge zone files.");
            rc = -1;
        }
    }
    for (FILE *f : chunks)
        fclose(f);
    job.timing.merge = merge_clock.seconds();
    for (size_t i = 0; rc == 0 && i < n; ++i)
        rc = read_results(slots[i].result_path, out, job.timing);
    if (rc != 0)
        return -1;
    LOGF(LOG_INFO, "Job processed %d zones.", total);
    (void)event_row(FACILITY_ZONEBUILD, LOG_INFO, "Zones processed", "ER08")
        .info(std::to_string(total))
        .write(job.db.get(), job.event_level);
    return 0;
}

// The zone names of `statements` by identity ("Example.com" and "example.com." are one).
std::unordered_map<std::string, const std::string *>
by_identity(const zone_statements &statements) {
    std::unordered_map<std::string, const std::string *> out;
    for (const auto &[name, text] : statements)
        out.emplace(zone_identity(name), &text);
    return out;
}

// The reload a changes job needs, or nullopt for a whole-server reload: a restore, a reload
// owed by an earlier job, or new statements that cannot be read back. `appended_from` is
// where the statements written by this job begin in the new include file.
std::optional<reload_plan> changes_reload(const build_job &job, const job_outcome &out,
                                          const zone_statements &replaced, long appended_from) {
    if (job.restore || job.reload_owed || appended_from < 0)
        return std::nullopt;
    zone_statements added;
    if (read_zone_entries(work_include_path(job.named.paths), appended_from, added, job.named) < 0)
        return std::nullopt;
    std::vector<std::string> rewritten;
    for (const std::string &name : out.written) {
        const auto it = job.feed.changes.find(name);
        if (it != job.feed.changes.end() && it->second.type == ZONE_MASTER)
            rewritten.push_back(name);
    }
    if (job.catalog.changed && !job.catalog.name.empty())
        rewritten.push_back(job.catalog.name);
    const reload_plan plan = plan_reload(replaced, added, rewritten, job.acl_changed);
    if (plan.whole)
        return std::nullopt;
    return plan;
}

// Whether the live include file is there and one the scanner reads (a pass that keeps
// nothing).
bool previous_statements_readable(const build_job &job) {
    const std::string live = zb_live_include(job.settings);
    if (!io_valid_file(live.c_str()))
        return false;
    FILE *sink = fopen("/dev/null", "we");
    if (!sink)
        return false;
    const int kept = copy_zone_entries(
        live, [](const std::string &) { return false; }, sink, job.named);
    fclose(sink);
    return kept >= 0;
}

// Zones checked after a reload: asking named costs one rndc run per zone and poll, so a job
// with more changed zones (a restore) is not checked zone by zone.
constexpr size_t load_check_limit = 32;
// How long named may take to load the changed zones after the reload returned.
constexpr double load_check_seconds = 5.0;

// The serial named serves for `zone` (from `rndc zonestatus`), or nullopt with rndc's text
// in `why` when it has not loaded the zone.
std::optional<std::string> served_serial(const named_ctx &ctx, const std::string &zone,
                                         std::string &why) {
    std::string text;
    const int code = run_rndc(ctx.paths.rndc_dir, {"zonestatus", zone}, &text);
    const size_t at = text.find("\nserial: ");
    if (code == 0 && at != std::string::npos) {
        const size_t start = at + 9;
        return text.substr(start, text.find('\n', start) - start);
    }
    // An answer without a serial says nothing either way: the zone is taken as loaded.
    if (code == 0) {
        why.clear();
        return std::nullopt;
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    why = text.empty() ? "rndc zonestatus exited with " + std::to_string(code) : text;
    return std::nullopt;
}

// After a reload: the primary zones the job wrote must be served with the serial written.
// Those named did not load get an event and their warning. Small jobs only (see above).
void report_unloaded_zones(const build_job &job, const job_outcome &out) {
    // The serial to expect is the one in the file, not the zone's revision: a zone with a
    // serial of its own publishes that one.
    std::vector<std::string> names;
    std::unordered_map<std::string, std::string> expected; // by identity
    for (const std::string &name : out.written) {
        const auto it = job.feed.changes.find(name);
        const auto serial = out.serials.find(name);
        if (it != job.feed.changes.end() && it->second.type == ZONE_MASTER &&
            serial != out.serials.end()) {
            names.push_back(name);
            expected.emplace(zone_identity(name), serial->second);
        }
    }
    if (names.empty() || names.size() > load_check_limit)
        return;
    std::string format = "SELECT name, client_id, id FROM zone WHERE name IN (";
    std::vector<sql_arg> args;
    for (size_t i = 0; i < names.size(); ++i) {
        format += i == 0 ? "'%s'" : ", '%s'";
        args.emplace_back(names[i]);
    }
    format += ")";
    struct pending {
        std::string name, serial, why;
        unsigned client_id, zone_id;
    };
    std::vector<pending> waiting;
    {
        sql_result res;
        if (fr_sql_query_args(job.db.get(), &res, format, args) != 0)
            return;
        while (sql_row row = fr_sql_fetchrow(res)) {
            const auto serial =
                row.is_null(0) ? expected.end() : expected.find(zone_identity(row.get(0)));
            if (serial != expected.end())
                waiting.push_back({row.get(0),
                                   serial->second,
                                   {},
                                   static_cast<unsigned>(strtoul(row.get(1), nullptr, 10)),
                                   static_cast<unsigned>(strtoul(row.get(2), nullptr, 10))});
        }
    }
    const stopwatch clock;
    while (!waiting.empty()) {
        std::erase_if(waiting, [&](pending &p) {
            std::string bare = p.name;
            try_rm_dot(bare);
            p.why = "not loaded";
            const auto serial = served_serial(job.named, bare, p.why);
            if (!serial)
                return p.why.empty();
            if (*serial != p.serial)
                p.why = "named serves serial " + *serial + ", the zone file has " + p.serial + ".";
            return *serial == p.serial;
        });
        if (waiting.empty() || clock.seconds() >= load_check_seconds)
            break;
        const timespec step{0, 100000000};
        nanosleep(&step, nullptr);
    }
    for (const pending &p : waiting) {
        const std::string why = "The name server did not load the zone: " + p.why;
        LOGF(LOG_ERR, "Zone %s: %s", p.name.c_str(), why.c_str());
        (void)event_row(FACILITY_ZONEBUILD, LOG_ERR, "Zone not loaded by the name server", "ES05")
            .info(why)
            .client(p.client_id)
            .zone(p.zone_id, p.name)
            .write(job.db.get(), job.event_level);
        update_sql_zone_warning(job.db.get(), p.name, 99, why);
    }
}

// After the installation: the name server reloads, then the rows of the zones that went
// live go and the files of removed zones go.
// 0, or -1 when the served rows could not be deleted.
int after_install(build_job &job, const job_outcome &out, const std::optional<reload_plan> &plan) {
    stopwatch clock;
    // The name server reads the new files at once; the sync below only guards the rows.
    if (plan && reload_changed(job.named, plan->reconfig, plan->zones) == 0) {
        job.reload_owed = false;
    } else {
        if (plan)
            LOGF(LOG_WARNING, "The name server did not take the changed zones one by one; "
                              "it reloads them all.");
        job.reload_owed = reload_named(job.named) != 0;
    }
    job.timing.reload = clock.lap();
    // Zone files and include file must be on disk before the rows that would rebuild them
    // after a crash go.
    const int fd = open(job.settings.named_root.empty() ? "/" : job.settings.named_root.c_str(),
                        O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || syncfs(fd) != 0)
        LOGF(LOG_WARNING, "Failed to sync %s: %s", job.settings.named_root.c_str(),
             strerror(errno));
    if (fd >= 0)
        close(fd);
    std::vector<uint32_t> ids = job.feed.garbage_ids;
    for (const std::string &name : out.consumed) {
        const auto it = job.feed.changes.find(name);
        if (it != job.feed.changes.end())
            ids.insert(ids.end(), it->second.change_ids.begin(), it->second.change_ids.end());
    }
    int rc = 0;
    if (!ids.empty() && delete_changes(job.db.get(), ids) < 0) {
        LOGF(LOG_ERR, "Failed to remove the served changes from the database; they are "
                      "served again by the next job.");
        rc = -1;
    }
    // The name server no longer has the removed zones: their files can go.
    for (const std::string &name : out.removed)
        remove_zone_file(job.zonefile, name, 3, 0);
    job.timing.finish = clock.lap();
    if (!job.reload_owed)
        report_unloaded_zones(job, out);
    job.timing.reload += clock.lap();
    return rc;
}

} // namespace

stopwatch::stopwatch() {
    clock_gettime(CLOCK_MONOTONIC, &start);
}

double stopwatch::seconds() const {
    return seconds_since(start);
}

double stopwatch::lap() {
    const double s = seconds_since(start);
    clock_gettime(CLOCK_MONOTONIC, &start);
    return s;
}

size_t writer_count(size_t zones, int limit) {
    const size_t n = limit < 1 ? 1 : static_cast<size_t>(limit);
    return zones < n ? 1 : n;
}

writer_slice slice_of(size_t zones, size_t n, size_t i) {
    const size_t step = zones / n;
    return {step * i, i + 1 < n ? step * (i + 1) : zones};
}

reload_plan plan_reload(const zone_statements &before, const zone_statements &after,
                        const std::vector<std::string> &rewritten, bool acl_changed) {
    const auto old_statements = by_identity(before);
    const auto new_statements = by_identity(after);
    reload_plan plan;
    plan.reconfig = acl_changed || old_statements.size() != new_statements.size();
    for (auto it = old_statements.begin(); !plan.reconfig && it != old_statements.end(); ++it) {
        const auto now = new_statements.find(it->first);
        plan.reconfig = now == new_statements.end() || *now->second != *it->second;
    }
    std::set<std::string> zones;
    for (const std::string &name : rewritten) {
        if (old_statements.count(zone_identity(name)) == 0)
            continue; // new: the reconfig loads it
        std::string bare = name;
        try_rm_dot(bare);
        zones.insert(std::move(bare));
    }
    if (zones.size() > zone_reload_limit) {
        plan.whole = true;
        plan.reconfig = false;
        return plan;
    }
    plan.zones.assign(zones.begin(), zones.end());
    return plan;
}

int write_and_install_zones(build_job &job, const zone_statements &replaced) {
    job_outcome out;
    // The statements this job writes follow the copied ones.
    const long appended_from = fflush(job.work.tmp_include) == 0 ? ftell(job.work.tmp_include) : -1;
    if (run_workers(job, out) != 0)
        return -1;
    const stopwatch clock;

    const named_ctx &ctx = job.named;
    const std::string live = zb_live_include(job.settings);
    // A zone that could not be written keeps its previous statement until a job writes it.
    // (When the live file cannot be read, a restore's workers wrote a statement for the
    // previous file of each such zone instead.)
    if (!out.skipped.empty() && !job.include_unreadable && io_valid_file(live.c_str())) {
        std::unordered_set<std::string> kept;
        for (const std::string &name : out.skipped)
            kept.insert(zone_identity(name));
        const auto wanted = [&](const std::string &name) {
            return kept.count(zone_identity(name)) > 0;
        };
        if (copy_zone_entries(live, wanted, job.work.tmp_include, ctx) < 0) {
            LOGF(LOG_ERR, "Failed to keep the previous entries of the skipped zones.");
            // A restore (it reads no live include) rebuilds the include file from the
            // database and must not be stopped by a live file that cannot be read.
            if (job.work.live_include)
                return -1;
            for (const std::string &name : out.skipped)
                LOGF(LOG_ERR, "Zone %s has no statement until a job writes it.", name.c_str());
        }
    }
    if (job_catalog_write(job, out.written, out.consumed) != 0)
        return -1;
    FILE *tmp = job.work.tmp_include;
    job.work.tmp_include = nullptr;
    if (fclose(tmp) != 0) {
        LOGF(LOG_ERR, "Failed to close file: %s.", job.settings.named_file_base.c_str());
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
    const std::optional<reload_plan> plan = changes_reload(job, out, replaced, appended_from);
    if (install_namedconf(ctx) != 0) {
        LOGF(LOG_ERR, "Failed to install new namedconf file.");
        return -1;
    }
    job_catalog_install(job);
    job.timing.merge += clock.seconds();
    int rc = after_install(job, out, plan);
    // Zones the database failed keep their statement and their rows; the job is not a success.
    if (out.failed > 0) {
        LOGF(LOG_ERR,
             "%zu zones could not be loaded for a database error; they are written by "
             "a later job.",
             out.failed);
        rc = -1;
    }
    return rc;
}

int write_zones(build_job &job) {
    const named_ctx &ctx = job.named;
    const stopwatch clock;
    std::string acl_before, acl_after;
    const std::string acl_path = live_acl_path(ctx.paths);
    const bool had_acl = read_file(acl_path, acl_before) == 0;
    const int acl = restore_acl(job.acl, ctx);
    // The addresses the panel gave would not reach the name server: the job is not done,
    // and nothing of it is written (the refusal's event says why).
    if (acl == ACL_REFUSED)
        return -1;
    if (acl < 0)
        LOGF(LOG_ERR, "Failed to restore global ACL.");
    job.acl_changed = !had_acl || read_file(acl_path, acl_after) != 0 || acl_before != acl_after;
    include_scan scan;
    scan.in = job.work.live_include;
    scan.out = job.work.tmp_include;
    zone_statements replaced;
    scan.left_out = &replaced;
    // Statements are matched by the zone's identity: "example.com" replaces the statement
    // written for "example.com." (the scanner gives names with their final dot).
    std::unordered_set<std::string> rewritten;
    for (const auto &[name, entry] : job.feed.changes)
        if (!entry.foreign_files)
            rewritten.insert(zone_identity(name));
    if (job_catalog_begin(job) != 0)
        return -1;
    const auto in_set = [&](const std::string &name) {
        return rewritten.count(zone_identity(name)) > 0 || job_catalog_replaces(job, name);
    };
    if (manage_namedconf(scan, in_set, ctx) != 0) {
        job.include_unreadable = scan.malformed;
        return -1;
    }
    // A restore reads no live include, but the zones it cannot write keep their previous
    // statements from it: the workers must know beforehand when that file cannot be read.
    if (job.restore)
        job.include_unreadable = !previous_statements_readable(job);
    job.timing.include = clock.seconds();
    fflush(stdout);
    fflush(stderr);
    if (write_and_install_zones(job, replaced) != 0) {
        LOGF(LOG_ERR, "Failed to process zone files.");
        return -1;
    }
    const job_timing &t = job.timing;
    LOGF(LOG_NOTICE,
         "Job timing (s): database read %.3f, ACL and include copy %.3f, workers %.3f "
         "(summed over the workers: load %.3f, write %.3f, check %.3f, install %.3f), merge "
         "and include installation %.3f, change rows and removals %.3f, reload %.3f.",
         t.read, t.include, t.workers, t.load, t.write, t.check, t.install, t.merge, t.finish,
         t.reload);
    return 0;
}
