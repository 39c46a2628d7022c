// The catalog zone's steps in a changes or restore job (the catalog itself: catalog_zone.h).
// At the start the job learns whether it keeps a catalog; the copy of the live include file
// leaves the catalog's statement out; after the workers the catalog is brought up to date and
// its statement appended to the new include file; right after that include file went live,
// the new catalog file does.
#pragma once

#include <string>
#include <unordered_set>

struct build_job;

// Job start, before the live include file is copied. 0, or -1 (query error).
[[nodiscard]] int job_catalog_begin(build_job &job);

// Whether the copy of the live include file leaves out the statement of `zone_name`.
bool job_catalog_replaces(build_job &job, const std::string &zone_name);

// After the workers: `written` names the zones now live with a new statement, `consumed`
// those plus the removed and the reserved ones (names as the change set holds them).
// 0, or -1: the job must not install its include file.
[[nodiscard]] int job_catalog_write(build_job &job, const std::unordered_set<std::string> &written,
                                    const std::unordered_set<std::string> &consumed);

// Right after the include file went live. A failure is logged; the next change to the zone
// list writes the catalog again.
void job_catalog_install(build_job &job);
