// One job of the zone builder (changes, restore, custom): everything the job works with,
// made once when the job starts and released when it ends.
//
// The job holds a snapshot of the settings, its own database connection, the name-server
// and zone-file contexts built from both, the work area, the change feed and its timing.
// The writer and its worker processes take the job and its stop token; they never see the
// daemon's state, so nothing in them reaches back into the frame (zonebuildd.h). The frame
// makes the job, hands it what it learned from earlier jobs (a reload still owed, the ENUM
// services), and reads the outcome back when the job ends.
//
// Owns: the connection, the work area (directory and include streams, removed by the
// destructor), the feed. Touches nothing else.
#pragma once

#include "catalog_zone.h"
#include "named_conf.h"
#include "panel_db.h"
#include "signal_jobs.h"
#include "sql.h"
#include "zb_config.h"
#include "zone_file.h"

#include <csignal>
#include <ctime>
#include <functional>
#include <string>

// Where a job's time went, in seconds (logged at its end). The worker phases are summed over
// all workers, so with N workers they add up to about N times their share of the wall time.
struct job_timing {
    double read = 0;    // change list or zone list from the database
    double include = 0; // ACL file and copy of the unchanged statements
    double workers = 0; // from the first fork to the last worker's end
    double load = 0;    // workers: zone records from the database
    double write = 0;   // workers: serials and zone files in the work area
    double check = 0;   // workers: the BIND check
    double install = 0; // workers: installing files, statements, bookkeeping columns
    double merge = 0;   // chunks merged, skipped zones' statements, include file installed
    double finish = 0;  // served change rows deleted, removed zones' files removed
    double reload = 0;  // rndc reload
};

// How a job learns that the daemon was asked to stop, and what a forked worker must let go
// of. Given by the frame; the job only asks it.
struct stop_token {
    signal_jobs *jobs = nullptr;  // the daemon's signal queue (stop requests, wake-ups)
    std::function<void()> forget; // in a forked worker: let go of the daemon's pid file
    bool stop_requested() const { return jobs != nullptr && jobs->stopping(); }
};

struct build_job {
    build_job() = default;
    build_job(const build_job &) = delete;
    build_job &operator=(const build_job &) = delete;

    zb_settings settings; // as they stood when the job started
    sql_handle db;        // the job's connection (reopened around the workers' fork)
    int event_level = 3;  // event-log threshold, read from the database per job
    named_ctx named;      // the name-server paths and the connection
    zonefile_env zonefile;
    enum_services enums; // the ENUM services known at the job's start
    stop_token stop;
    time_t worker_stall_limit = 600; // a worker without progress (one zone) this long is hung

    change_feed feed;           // the zones to write or remove
    acl_set acl;                // global transfer addresses
    std::string entry_template; // the panel's include-entry template
    work_area work;             // work directory and include streams
    job_timing timing;
    bool acl_changed = true;         // the job rewrote the ACL file with a new content
    bool reload_owed = false;        // in: a previous reload failed; out: this job's reload failed
    bool include_unreadable = false; // out: the live include file is not one the scanner reads
    bool restore = false; // a restore: the include file and the catalog are rebuilt whole
    catalog_job catalog;  // the catalog zone (catalog_step.h)

    // Makes `fresh` the job's connection and points the contexts at it.
    void use_connection(sql_handle fresh);
};

// The name-server paths of `s` with the connection and threshold given.
named_ctx make_named_ctx(const zb_settings &s, sql_conn *db, int event_level);

// A new job on `s`: the contexts built on `db` (which the job takes over).
void init_build_job(build_job &job, const zb_settings &s, sql_handle db, int event_level);
