// A worker's part of the write phase: the zone blocks of one chunk, each decided (client
// ownership and delegation, the client's rights and zone limit, the lock to an update
// source, a zone kept by the panel, a better idle feed), parsed, compared with what the
// database holds and written.
//
// The zones of a chunk are read in batches: one statement gives the stored rows of many
// zones, one their records, one their options, one their SOA values. A zone that needs no
// change sends nothing more; a zone that does is written in one transaction (records,
// options, SOA values, zone row and its `changes` row together, or nothing of it).
//
// Touches the zone, record, option, SOA, changes and event tables through the worker's own
// connection; reads only the chunk's text.
#pragma once

#include "feed_parse_report.h"
#include "feed_record.h"
#include "sql.h"

#include <functional>
#include <string_view>
#include <vector>

struct chunk_env {
    sql_conn *db = nullptr;          // the worker's connection (zone_write_session done)
    feed_reporter *report = nullptr; // events on that connection, with the failure cap
    const srv_names *srv = nullptr;
    int max_records = 1000;
    int event_level = 3;
    // A scheduled run's idle feeds: a better one of the same client keeps its zones.
    // nullptr when the run bypasses the schedule.
    const std::vector<idle_feed> *idle = nullptr;
    std::function<void()> progress; // called after each zone
};

// What became of a chunk's zones.
struct chunk_tally {
    int created = 0;
    int updated = 0;
    int unchanged = 0;
    int ignored = 0; // refused or left alone, as reported
    int dropped = 0; // the block could not be parsed whole
    int failed = 0;  // a statement failed: the zone's write was rolled back
};

// Writes the blocks of `text` (a chunk: whole blocks, the first header at its start;
// `line` is the number of the line before it) for `feed`. 0 when the chunk was read to its
// end; -1 when it stopped early (a line that is not a header, a header refused, a failed
// query while reading headers). A run of the feed is complete only with 0 and no failed
// zone.
int manage_chunk(chunk_env &env, feed_record &feed, std::string_view text, int line,
                 chunk_tally &tally);
