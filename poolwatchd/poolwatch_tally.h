// Record tallies: for every record under test in the current cycle, which polls must
// report on it, which have, and the verdict so far. A record may belong to several pools;
// it is switched only once every poll of the poll set that references it has reported.
//
// The table is shared by all poll workers and the refresher; every function here takes its
// lock itself. Workers never hold a tally across a script run: they keep the tally's serial
// and look it up again by record id when they report.
#pragma once

#include "poolwatch_pollset.h"
#include "sql.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

// A record of a pool, as the worker read it.
struct pool_record {
    int id = 0;
    std::string zone;
    std::string value;
    std::string type;
    int status = 0; // 1 enabled, 9 disabled
};

enum record_status { RECORD_ENABLED = 1, RECORD_DISABLED = 9 };
enum test_outcome { OUTCOME_UP = 0, OUTCOME_DOWN = 1 };

struct record_tally {
    pool_record record;        // as the latest registering worker read it
    std::map<int, bool> polls; // registered poll id -> has reported
    std::set<int> expected;    // polls of the poll set that reference the record
    int verdict = OUTCOME_UP;  // DOWN once any poll found the record unavailable
    uint64_t serial = 0;       // tells this tally from a later one of the same record
};

struct tally_table {
    std::mutex lock;
    std::unordered_map<int, record_tally> records; // by record id
    uint64_t next_serial = 1;
};

enum tally_step {
    TALLY_TEST,    // run the script for this record and report
    TALLY_SKIP,    // nothing to run (already reported or already found unavailable)
    TALLY_UNKNOWN, // no tally yet: find the expected polls, then poolwatch_tally_create
};

struct tally_registration {
    tally_step step = TALLY_SKIP;
    uint64_t serial = 0;
    // Set when this registration completed the tally: the verdict to apply to the record.
    std::optional<int> verdict;
};

// Registers `p` for the record's current tally (poolwatch_check_poll_record's decision).
tally_registration poolwatch_tally_register(tally_table &table, const pool_record &rec,
                                            const pool_poll &p);
// Creates the record's tally with the polls expected to report (the current one included)
// and registers `p`; when another worker created one meanwhile, registers with that one.
tally_registration poolwatch_tally_create(tally_table &table, const pool_record &rec,
                                          const pool_poll &p, std::set<int> expected);
// Reports `p`'s outcome to the tally registered under `serial`. A tally that has gone
// (reload, refresh) or a poll no longer registered ignores the report. Gives the verdict
// when this report completed the tally, which is then removed.
std::optional<int> poolwatch_tally_report(tally_table &table, const pool_record &rec,
                                          const pool_poll &p, uint64_t serial, int outcome);
// A completed tally: the record and the verdict to apply to it.
struct tally_decision {
    pool_record record;
    int verdict = OUTCOME_UP;
};

// Re-reads which polls expect each tally: `members` maps record ids to the active pools
// that reference them, `poll_ids` is the poll set. A tally no poll expects any longer is
// removed; registrations of polls that left are dropped. A tally whose remaining polls have
// all reported is complete: it is removed and returned.
std::vector<tally_decision>
poolwatch_tally_refresh(tally_table &table, const std::unordered_map<int, std::set<int>> &members,
                        const std::set<int> &poll_ids);
// Removes every tally (reload and shutdown).
void poolwatch_clear_poll_records(tally_table &table);

// The polls of `poll_ids` that reference the record through an active pool, plus
// `current` (which runs for it now); nullopt when the query failed.
std::optional<std::set<int>> poolwatch_expected_polls(sql_conn *db, int record_id,
                                                      const std::set<int> &poll_ids, int current);
// The refresher's upkeep: reloads the memberships of active pools, refreshes every tally
// and switches the records whose tallies that completed. 0, or -1 when the query failed
// (the tallies stay as they were).
int poolwatch_refresh_records(sql_conn *db, tally_table &table, const std::set<int> &poll_ids);
