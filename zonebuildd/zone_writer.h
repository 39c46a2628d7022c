// The second half of a changes or restore job: the ACL file, the copy of the `zone`
// statements that stay, the zone files written by worker processes, the new include file,
// the consumed change rows and the name server's reload.
//
// The change set is split into slices, one per worker process (ZONEBUILD_CONCURRENCY_LIMIT,
// one worker when there are fewer zones than that). Each worker has its own database
// connection and its own BIND-check capture; it loads, writes, checks and installs the
// files of its zones, writes their `zone` statements to its chunk file and the outcome of
// every zone to its result file. The parent merges the chunks into the new include file,
// adds back the previous statement of every zone a worker had to skip, installs the include
// file, has the name server reload, and only then deletes the change rows of the zones that
// went live and removes the files of removed zones.
//
// A job that fails at any point before the installation leaves the live include file and
// every change row as they were; zone files already installed by workers are complete files
// (written whole, by rename).
//
// Owns: the chunk and result files in the work directory, the worker processes.
#pragma once

#include "named_conf.h"

#include <cstddef>
#include <ctime>
#include <string>
#include <vector>

struct build_job;

// ACL file, include copy, write_and_install_zones. 0 or -1.
[[nodiscard]] int write_zones(build_job &job);

// Workers, merge, installation, row deletion, reload (the change set must not be empty for
// a changes job; a restore may have no zone at all). `replaced`: the statements the copy of
// the live include file left out. 0 or -1.
[[nodiscard]] int write_and_install_zones(build_job &job, const zone_statements &replaced);

// How the name server learns about a changes job's work. A whole-server reload rereads the
// configuration and checks every zone file, which takes long with many zones; a reconfig
// rereads only the configuration (it loads new zones and drops removed ones), and a zone
// whose data changed is reloaded by name.
struct reload_plan {
    bool whole = false;             // "rndc reload"
    bool reconfig = false;          // "rndc reconfig"
    std::vector<std::string> zones; // "rndc reload ZONE" each, names without their final dot
};

// Zones reloaded one by one at most; with more, one whole-server reload is cheaper.
inline constexpr size_t zone_reload_limit = 32;

// `before`: the statements the job took out of the live include file; `after`: those it put
// into the new one; `rewritten`: the zones (names as the change set holds them) whose zone
// file it replaced; `acl_changed`: the ACL file has a new content. A zone rewritten without
// a statement before is new: the reconfig loads it.
reload_plan plan_reload(const zone_statements &before, const zone_statements &after,
                        const std::vector<std::string> &rewritten, bool acl_changed);

// How many workers write `zones` zones under the configured limit: the limit, or one when
// there are fewer zones than that (for this job only).
size_t writer_count(size_t zones, int limit);

// The key indexes [begin, end) of worker `i` of `n`: equal slices, the last one takes the
// remainder.
struct writer_slice {
    size_t begin, end;
};
writer_slice slice_of(size_t zones, size_t n, size_t i);

// Elapsed wall time, for the job's timing line.
struct stopwatch {
    stopwatch();
    // Seconds since the start (or the last lap).
    double seconds() const;
    double lap();
    struct timespec start;
};
