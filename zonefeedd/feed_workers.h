// The write phase of an import run: the scanned feed files are cut into chunks (runs of
// blocks each feed owns, cut at block boundaries) and written by up to
// ZONEFEED_CONCURRENCY_LIMIT worker processes, each with its own database connection.
//
// Parent and workers talk through one socket pair per worker: the parent sends a chunk
// (feed, offsets, line), the worker answers with a beat after each zone and with the
// chunk's outcome. A worker that dies, or sends nothing for the stall limit while it holds
// a chunk (it is then killed), fails only the feed of that chunk. Workers die with the
// daemon (parent-death signal) and are stopped when a stop is asked for.
//
// A feed's run is recorded (count, last update, hash) only when every chunk of it was
// written; only then, and only when its file holds at least one zone, are the zones it no
// longer lists purged (clean_url_zones). Otherwise the hash stays and the next run tries
// again.
//
// Reads the feed files; writes through the workers' connections and, for purges and run
// records, through the connection given.
#pragma once

#include "daemon_settings.h"
#include "feed_record.h"
#include "feed_scan.h"
#include "sql.h"

#include <chrono>
#include <unordered_map>
#include <vector>

class signal_jobs;

struct write_settings {
    db_settings db;                        // the workers' connections
    int concurrency = 10;                  // ZONEFEED_CONCURRENCY_LIMIT
    std::chrono::seconds stall_limit{600}; // ZONEFEED_WORKER_STALL_LIMIT
    int max_records = 1000;                // MAX_RECORDS
    int event_level = 3;
};

struct write_run {
    std::vector<feed_record *> feeds; // the run's feeds; those not scanned are left alone
    zone_set *zones = nullptr;        // the purge takes out what ignore_other_urls gives up
    const std::vector<idle_feed> *idle = nullptr; // a scheduled run's idle feeds
    bool bypass_schedule = false; // "import all"/custom: unchanged files are written too
    const srv_names *srv = nullptr;
    long long largest_download = 0;
    signal_jobs *jobs = nullptr; // the daemon's queue: a stop ends the phase
};

// What the phase did with one feed.
struct feed_write_result {
    bool written = false;  // every chunk written
    bool recorded = false; // zone_feed_count done
    int chunks = 0;
    int zones_failed = 0;
};

// Runs the write phase. 0 when every scanned feed was written and recorded; -1 when a feed
// failed (not recorded), a stop was asked for, or no worker could be started. `results`
// (when given) receives one entry per feed id.
[[nodiscard]] int dump2sql(sql_conn *db, const write_settings &settings, write_run &run,
                           std::unordered_map<int, feed_write_result> *results = nullptr);
