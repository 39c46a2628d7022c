// Record tallies: for every record under test, which polls reference it, which are testing
// it now and the latest answer of each. A record may belong to several pools; every pool
// tests it in each of its own runs, and a verdict is taken whenever a report leaves no other
// poll testing the record: DOWN when any poll's latest answer is DOWN, else UP. A verdict
// waits only for the polls testing the record now, never for one that is not running (a
// longer interval) or cannot run (no usable script; its earlier answers are dropped). A run
// that gave no answer (OUTCOME_NONE) takes that poll's earlier answer back and decides
// nothing. Optional damping asks for several verdicts in a row before a switch.
//
// The table is shared by all poll workers and the refresher; every function here takes its
// lock itself. Workers never hold a tally across a script run: they look it up again by
// record id when they report.
#pragma once

#include "poolwatch_pollset.h"
#include "sql.h"

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
// OUTCOME_NONE: the test could not be run or did not finish; it decides nothing.
enum test_outcome { OUTCOME_UP = 0, OUTCOME_DOWN = 1, OUTCOME_NONE = 2 };

// How verdicts become switches (POOLWATCH_RISE, POOLWATCH_FALL, POOLWATCH_KEEP_ONE_UP). The
// defaults switch on every verdict, as the monitor always did.
struct verdict_rules {
    int rise = 1;             // UP verdicts in a row that switch a disabled record on
    int fall = 1;             // DOWN verdicts in a row that switch an enabled record off
    bool keep_one_up = false; // never switch off the last enabled record of a name and type
};

struct record_tally {
    pool_record record;         // as last read; its status follows our switches
    std::set<int> expected;     // polls of the poll set that reference the record
    std::set<int> testing;      // polls running a test of it now
    std::map<int, int> answers; // poll id -> its latest answer, UP or DOWN
    std::set<int> silent;       // polls whose latest run gave no answer
    int against = 0;            // verdicts in a row against the record's status
};

struct tally_table {
    std::mutex lock;
    std::unordered_map<int, record_tally> records; // by record id
    std::set<int> cannot_test;                     // polls without a usable script
    verdict_rules rules;
};

enum tally_step {
    TALLY_TEST,    // run the script for this record and report
    TALLY_SKIP,    // nothing to run
    TALLY_UNKNOWN, // no tally yet: find the expected polls, then poolwatch_tally_create
};

// Registers `p` as testing the record now (poolwatch_check_poll_record's decision).
tally_step poolwatch_tally_register(tally_table &table, const pool_record &rec, const pool_poll &p);
// Creates the record's tally with the polls expected to test it (the current one included)
// and registers `p`; when another worker created one meanwhile, registers with that one.
tally_step poolwatch_tally_create(tally_table &table, const pool_record &rec, const pool_poll &p,
                                  std::set<int> expected);
// Reports `p`'s outcome. A poll that is not registered as testing the record (the tally
// went with a reload or refresh) is ignored. Gives the verdict to apply when this report
// decided one.
std::optional<int> poolwatch_tally_report(tally_table &table, const pool_record &rec,
                                          const pool_poll &p, int outcome);
// Whether `p`'s latest run on the record gave no answer either.
bool poolwatch_tally_silent(tally_table &table, int record_id, int poll_id);
// `p` gives up its test of the record without an answer (the daemon is going down).
void poolwatch_tally_withdraw(tally_table &table, const pool_record &rec, const pool_poll &p);
// The record's status after a switch.
void poolwatch_tally_switched(tally_table &table, int record_id, int status);
// Marks a poll as unable to test (its protocol has no usable script): its earlier answers
// are dropped; or as able again.
void poolwatch_tally_cannot_test(tally_table &table, int poll_id, bool cannot);
void poolwatch_tally_set_rules(tally_table &table, const verdict_rules &rules);

// A verdict decided outside a report: the record and the verdict to apply to it.
struct tally_decision {
    pool_record record;
    int verdict = OUTCOME_UP;
};

// Re-reads which polls expect each tally: `members` maps record ids to the active pools
// that reference them, `poll_ids` is the poll set. A tally no poll expects any longer is
// removed; what polls that left had registered or answered is dropped. A tally whose polls
// changed and that no poll is testing now is decided again; its verdicts are returned.
std::vector<tally_decision>
poolwatch_tally_refresh(tally_table &table, const std::unordered_map<int, std::set<int>> &members,
                        const std::set<int> &poll_ids);
// Removes every tally (reload and shutdown).
void poolwatch_clear_poll_records(tally_table &table);

// The polls of `poll_ids` whose active pool references the record and belongs to the
// record's zone, plus `current` (which runs for it now); empty when `current` does not
// reference it (any longer); nullopt when the query failed.
std::optional<std::set<int>> poolwatch_expected_polls(sql_conn *db, int record_id,
                                                      const std::set<int> &poll_ids, int current);
// Applies a verdict to the record (poolwatch_poll_checkup_update) and keeps the tally's
// status in step with a switch.
void poolwatch_apply_verdict(sql_conn *db, tally_table &table, const pool_record &rec, int verdict);
// The refresher's upkeep: reloads the memberships of active pools, refreshes every tally
// and applies the verdicts that gives. 0, or -1 when the query failed (the tallies stay as
// they were).
[[nodiscard]] int poolwatch_refresh_records(sql_conn *db, tally_table &table,
                                            const std::set<int> &poll_ids);
