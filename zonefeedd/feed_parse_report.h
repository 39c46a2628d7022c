// What the feed passes know about the feed they read, and how they report what they find:
// event rows of the event log (facility REMOTE_UPDATE) with the feed's context, plus the
// diagnostic lines that go with them.
//
// Per-line failures (rejected records, syntax errors inside blocks, records in secondary
// zones) are capped: the first RECORD_FAILURE_CAP of them per feed and process are written
// as rows and lines; the rest are only counted, and flush_line_failures writes one summary
// row with that count. A worker process serves many chunks of a feed: it flushes before it
// exits (and a single-process caller after each feed).
#pragma once

#include "feed_record.h"
#include "sql.h"

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// Rows and lines per feed and process for per-line failures, before the summary takes over.
constexpr unsigned RECORD_FAILURE_CAP = 100;

// The summary row: code EPU04, level 4, info the number of failures not written one by one.
constexpr const char *FAILURE_SUMMARY_MESSAGE = "Further record failures not listed";

// One event as written (or due to be written) to the event log.
struct feed_event {
    int level = 0;
    std::string code, message, info;
    std::string zone_name; // empty: none
    unsigned zone_id = 0;
};

struct feed_reporter {
    sql_conn *db = nullptr; // nullptr: rows are not written (lines and observer still are)
    int max_level = 3;      // the event-log threshold of the run
    unsigned failure_cap = RECORD_FAILURE_CAP;
    // Sees every event that is due (level within max_level), written or not.
    std::function<void(const feed_event &)> observer;

    struct tally {
        unsigned reported = 0;
        unsigned suppressed = 0;
    };
    std::unordered_map<int, tally> failures; // by feed id
};

// One event row with the feed's client id, feed id and URL.
void feed_event_write(feed_reporter &report, const feed_record &feed, int level, const char *code,
                      const char *message, std::string_view info, std::string_view zone_name,
                      unsigned zone_id = 0);

// A per-line failure event, counted against the cap: true when it was written, false when
// only counted.
bool feed_line_failure(feed_reporter &report, const feed_record &feed, int level, const char *code,
                       const char *message, std::string_view info, std::string_view zone_name);

// The record-failure report of a rejected record: ERROR line "Failed to import record
// value ..." and event EPU04 with the message, info "field|line". Capped: true when it was
// written, false when only counted.
bool report_record_failure(feed_reporter &report, const feed_record &feed,
                           std::string_view zone_name, std::string_view field, int line,
                           const char *message);

// Writes the summary row of the failures of `feed` that were only counted, and starts the
// count afresh. The number of failures it summed up.
unsigned flush_line_failures(feed_reporter &report, const feed_record &feed);
