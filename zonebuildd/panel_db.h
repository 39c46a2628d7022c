// The zone builder's reads and small writes of the panel database: the change feed (which
// zones a job writes or removes), the list of every active zone for a restore, the
// event-log level, the served change rows, the queued "writeacl" requests, the per-zone
// bookkeeping columns and the set of known ENUM services.
//
// Every operation runs on the connection it is given; a failed statement is reported with
// the server's text through the library log (warning level). Nothing here touches files.
//
// Change rows are consumed by id: a job remembers exactly which rows it read for each zone
// and deletes those (and only those) once the zone is live, so a change recorded while a job
// runs, even within the same second, is always served by a later job.
#pragma once

#include "sql.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// A zone of the job: id -1 removes the zone (its files and its `zone` statement).
struct zone_change {
    int32_t id = -1;
    int32_t type = 0;                 // 1 primary, 2 secondary; not used for a removal
    std::vector<uint32_t> change_ids; // the `changes` rows this entry serves
    // A removal whose zone name another active zone row serves (the same name but for the
    // final dot or letter case): the files and the statement are that zone's, so the
    // removal only consumes its rows.
    bool foreign_files = false;
};

// Keyed by the zone name as the panel stores it (with its final dot).
using change_set = std::unordered_map<std::string, zone_change>;
using zone_id_set = std::unordered_set<uint32_t>;

// What a job learns from the database about the zones to write.
struct change_feed {
    change_set changes;
    zone_id_set ns_complete;  // primary zones with an active origin NS record
    zone_id_set master_known; // secondary zones with a primary server address
    uint64_t feed_time = 0;   // database time at which the change list was read
    // Rows of zones that no longer exist, read with the change list; deleted once the job's
    // include file is installed.
    std::vector<uint32_t> garbage_ids;
};

// The event-log level from the `misc` parameter 'log_level' ('0'..'7', anything else 3),
// also given to the library log. 0, or -1 on a query error (the level is then 3).
int get_sql_loglvl(sql_conn *db, int &event_level);

// Fills `feed` from the `changes` table (the newest row of a zone decides). A row that
// cannot be used (unknown zone type, NULL column) is logged and skipped; zones that cannot
// be served (no origin NS, no primary address) and inactive zones become removals.
// 0, or -1 on a query error.
int get_sql_changes(sql_conn *db, change_feed &feed, int event_level);

// Fills `feed` with every active zone (restore job; `all` must be 1), plus removals for
// the deleted or deactivated zones that have change rows. 0, or -1.
int get_sql_client(sql_conn *db, change_feed &feed, int all, int event_level);

// Origin name servers / primary addresses: mode 0 every zone, mode 1 the zones of the
// clients in `list`, mode 2 the zones named in `list` (an SQL list in parentheses, built
// from escaped values). Ids go to `out`. 0, or -1.
int get_ns_correct_zones(sql_conn *db, int mode, const std::string *list, zone_id_set &out);
int get_opt_correct_zones(sql_conn *db, int mode, const std::string *list, zone_id_set &out);

// Reads the ids of change rows whose zone no longer exists into feed.garbage_ids; a
// deletion row is only taken when the change list of this job read it. 0, or -1.
int collect_changes_garbage(sql_conn *db, change_feed &feed);

// Deletes the change rows with the given ids in one statement. The number deleted, or -1
// on a query error.
long long delete_changes(sql_conn *db, const std::vector<uint32_t> &ids);

// Whether a "writeacl" request waits: 1 (with the highest id waiting in `max_id`), 0 when
// none does, -1 on a query error.
int get_sql_customjob(sql_conn *db, uint32_t &max_id);
// Deletes the "writeacl" requests up to `max_id`, once they were served (a request queued
// meanwhile stays for the next turn). 0, or -1 when the delete failed.
int delete_sql_customjob(sql_conn *db, uint32_t max_id);
// Drops every queued request of this service (daemon start).
void clear_custom_zonebuild(sql_conn *db);

// Bookkeeping after a zone was handled. 0 or -1.
int update_sql_zone_serial(sql_conn *db, const std::string &zone_name, const std::string &serial,
                           const std::string &timestamp);
int update_sql_zone_timestamp(sql_conn *db, const std::string &zone_name);
int update_sql_zone_warning(sql_conn *db, const std::string &zone_name, unsigned warning,
                            const std::string &text);

// A zone the job refuses (its name, its type or its data cannot make a zone): the event row
// "Zone refused" (ES05) saying why, and the zone's warning 99 with the same text.
void report_zone_refusal(sql_conn *db, int event_level, const std::string &zone_name,
                         unsigned client_id, unsigned zone_id, const std::string &why);

// The same for many zones in one statement each: primary zones get their revision and
// revise time and their warning cleared (their file passed the check); secondary zones get
// the current time as revise time. 0 or -1.
struct written_zone {
    std::string name;
    std::string serial;    // the serial just published
    std::string timestamp; // seconds since the epoch of the write
};
int update_sql_zones_written(sql_conn *db, const std::vector<written_zone> &zones);
int update_sql_zones_timestamp(sql_conn *db, const std::vector<std::string> &names);

// Known ENUM service names (record_type 'NAPTR'), refreshed at most every 600 seconds.
struct enum_services {
    std::unordered_set<std::string> names;
    time_t refreshed = 0;
};
// 0 when the set is current (refreshed now or less than 600 s ago), -1 when a due refresh
// failed (the previous set stays).
int update_enum_services_set(sql_conn *db, enum_services &set, time_t now);
