// One worker process of the zone writer: it writes, checks and installs the zone files of
// its slice of the change set, writes the zones' `zone` statements to its chunk file and the
// outcome of every zone (with the serial of each primary zone file it installed) to its
// result file.
//
// Zone files are written and checked in the work directory, then moved into a staging
// directory on the name server's file system; one file-system sync per batch makes them
// durable, and only then are they renamed into their letter directories. So an installed
// file is always complete (also after a crash), and a batch costs one sync instead of one
// per file.
//
// Owns its database connection, its BIND-check capture, its chunk and result files and the
// files it stages; touches the zone files of its zones and their bookkeeping columns.
#pragma once

#include "panel_db.h"
#include "zone_file.h"
#include "zone_writer.h"

#include <cstdio>
#include <string>
#include <vector>

struct build_job;
class worker_progress;

// What became of one zone in a worker (one byte in front of the name in the result file).
enum zone_outcome : char {
    ZONE_WRITTEN = 'W',  // live with its new statement: rows consumed
    ZONE_REMOVED = 'R',  // to be removed: statement dropped, files removed after installation
    ZONE_RESERVED = 'E', // a built-in empty zone: rows consumed, never served
    ZONE_SKIPPED = 'S',  // could not be written: previous statement and file kept, rows kept
    ZONE_FAILED = 'F',   // as skipped, because the database failed: the job fails
    ZONE_TIMING = 'T',   // not a zone: the worker's phase times, last in the file
    ZONE_SERIAL = 'N',   // not an outcome: "SERIAL NAME", the serial in a written primary's file
};

using zone_keys = std::vector<const change_set::value_type *>;

struct worker_files {
    int slot = 0;
    FILE *chunk = nullptr;
    FILE *results = nullptr;
    const worker_progress *progress = nullptr; // one beat per zone handled
    std::string stage_dir; // on the name server's file system, below the primary directory
};

// The worker's body, in the forked child (worker_group ends the process with the result):
// 0 when the slice was worked through, 1 when the worker had to stop early.
[[nodiscard]] int run_worker(build_job &job, const zone_keys &keys, writer_slice slice,
                             const worker_files &files);

// The ER05 "File system interaction (I/O problem)" event row.
void io_event(sql_conn *db, int event_level, const std::string &info, unsigned client_id);
