#include "catalog_step.h"

#include "build_job.h"
#include "dns_common.h"
#include "logging.h"
#include "panel_db.h"
#include "zone_writer.h"

namespace {

catalog_env env_of(const build_job &job) {
    catalog_env env;
    env.named = job.named;
    env.zonefile = job.zonefile;
    env.entry_template = job.entry_template;
    env.work_dir = job.work.dir;
    env.serial_format = job.settings.serial_format;
    sql_conn *db = job.db.get();
    const int level = job.event_level;
    env.active_primaries = [db, level](std::set<std::string> &out) {
        change_feed all;
        if (get_sql_client(db, all, 1, level) != 0)
            return -1;
        for (const auto &[name, zone] : all.changes)
            if (zone.id >= 1 && zone.type == ZONE_MASTER)
                out.insert(catalog_canonical_name(name));
        return 0;
    };
    return env;
}

} // namespace

int job_catalog_begin(build_job &job) {
    if (catalog_begin(job.catalog, job.settings.catalog_zone, job.db.get()) != 0)
        return -1;
    // A change row of the catalog's name (a panel zone of that name was deleted): the job
    // removes that zone's file and statement, which are the catalog's; the next job writes the
    // catalog again.
    for (const auto &kv : job.feed.changes) {
        if (!job.catalog.name.empty() && catalog_canonical_name(kv.first) == job.catalog.name) {
            LOGF(LOG_ERR,
                 "Zone %s of the panel has the catalog zone's name: no catalog in this "
                 "job.",
                 kv.first.c_str());
            job.catalog = catalog_job{};
        }
    }
    return 0;
}

bool job_catalog_replaces(build_job &job, const std::string &zone_name) {
    return catalog_statement(job.catalog, zone_name);
}

int job_catalog_write(build_job &job, const std::unordered_set<std::string> &written,
                      const std::unordered_set<std::string> &consumed) {
    if (job.catalog.name.empty())
        return 0;
    catalog_changes changes;
    for (const std::string &name : consumed) {
        const auto it = job.feed.changes.find(name);
        if (it != job.feed.changes.end() && it->second.foreign_files)
            continue; // only rows consumed: the zone itself is another row's, still served
        const bool primary =
            written.count(name) && it != job.feed.changes.end() && it->second.type == ZONE_MASTER;
        (primary ? changes.primaries : changes.dropped).insert(catalog_canonical_name(name));
    }
    const stopwatch clock;
    const int rc =
        catalog_write(job.catalog, changes, job.restore, job.work.tmp_include, env_of(job));
    job.catalog.seconds += clock.seconds();
    if (rc != 0) {
        LOGF(LOG_ERR, "Failed to write the catalog zone %s.", job.settings.catalog_zone.c_str());
        return -1;
    }
    return 0;
}

void job_catalog_install(build_job &job) {
    if (job.catalog.name.empty())
        return;
    const stopwatch clock;
    const bool changed = job.catalog.changed;
    if (catalog_install(job.catalog, env_of(job)) != 0)
        LOGF(LOG_ERR, "The catalog zone %s was not updated: it still lists the previous zones.",
             job.settings.catalog_zone.c_str());
    job.catalog.seconds += clock.seconds();
    std::string bare = job.settings.catalog_zone;
    try_rm_dot(bare);
    LOGF(LOG_NOTICE, "Catalog zone %s: %zu zones, %s, %.3f s.", bare.c_str(), job.catalog.members,
         changed ? "rewritten" : "unchanged", job.catalog.seconds);
}
