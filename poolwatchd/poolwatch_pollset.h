// The poll set: the active pools ("polls") held in memory and refreshed from `rrobin_pool`
// every POOLWATCH_POOLING_INTERVAL seconds, and the protocol table that maps a protocol
// code to the file name of its test script. The refresher owns the poll table's contents;
// the scheduler reads and reschedules entries under the table's lock.
#pragma once

#include "sql.h"

#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>

struct pool_poll {
    int id = 0;
    std::string name;
    int zone_id = 0;
    std::string protocol_code;
    int monit_interval = 0; // seconds, always positive
    std::string test_url;   // may hold the placeholder "$RR" or "$rr"
};

enum poll_age { POLL_SEEN = 1, POLL_STALE = 2 };

struct poll_entry {
    int state = POLL_SEEN;
    bool postponed = false; // due, but every worker was busy
    time_t next_run = 0;    // when the poll is next due
    time_t due_since = 0;   // when a postponed poll fell due
    int wait = 0;           // distance to the next run as of the latest scheduler pass
    pool_poll poll;
};

struct poll_table {
    std::mutex lock;
    std::map<int, poll_entry> entries; // by poll id
};

struct protocol_table {
    std::mutex lock;
    std::unordered_map<std::string, std::string> scripts; // protocol code -> script name
};

// One row of the poll query, columns as the database gave them (nullopt for NULL).
struct poll_row {
    std::optional<std::string> id, name, zone_id, protocol_code, monit_interval, test_url;
};

// Marks every entry stale (caller holds the table's lock).
void poolwatch_aging_polls(std::map<int, poll_entry> &entries);
// Enters or refreshes one poll from a row (caller holds the lock); `now` is the time the
// refresh started. A new poll is first due one interval after `now`; a known one keeps its
// schedule. A row that cannot make a poll leaves a new id out and drops a known one when
// its protocol code, test URL or interval became unusable.
void poolwatch_apply_poll_row(std::map<int, poll_entry> &entries, const poll_row &row, time_t now);
// Removes every entry still stale after a refresh (caller holds the lock).
void poolwatch_sync(std::map<int, poll_entry> &entries);

// Loads the active polls into the table (caller holds the lock): marks every entry stale,
// applies each row. 0, or -1 when the query failed (nothing changed then).
int poolwatch_fetch_polls(sql_conn *db, std::map<int, poll_entry> &entries);

// The ids of the polls in the table (takes the table's lock).
std::set<int> poolwatch_poll_ids(poll_table &table);

// Loads every protocol at start-up. 0, or -1 when the query failed or gave no usable row.
int poolwatch_fetch_jobs(sql_conn *db, protocol_table &table);
// Looks one protocol code up in the database and adds it to the table. 0 with the script
// name in `script`, -1 when there is none.
int poolwatch_add_job(sql_conn *db, protocol_table &table, const std::string &code,
                      std::string &script);
// The script name for `code`: from the table, else loaded with poolwatch_add_job.
std::optional<std::string> poolwatch_protocol_script(sql_conn *db, protocol_table &table,
                                                     const std::string &code);

// The poll-set refresher: runs on the start-up thread until the daemon terminates.
void poolwatch_update_pollset(sql_handle &db);
