// The zone statements of the write phase: a zone's stored data, its creation and removal,
// the snapshots of its records and options, the deltas applied to them, its SOA values and
// zone row, and the `changes` row that hands it to the zone builder.
//
// A zone is written inside one transaction (zone_write_begin .. zone_write_commit): its
// records, options, SOA values, zone row and `changes` row commit together or not at all.
// Every value goes through the query layer's escaping; id lists are built from ids the
// database gave.
#pragma once

#include "feed_keys.h"
#include "feed_parse.h"
#include "feed_record.h"
#include "sql.h"

#include <string>

// Transaction of one zone's write. 0 or -1.
[[nodiscard]] int zone_write_begin(sql_conn *db);
[[nodiscard]] int zone_write_commit(sql_conn *db);
void zone_write_rollback(sql_conn *db);

// Fills the stored fields of `zone` (id, client, owning and last feed, stored type,
// status); a zone without a row is new (id -1, status 1). 0, or -1 when the query failed.
[[nodiscard]] int get_zone_data(sql_conn *db, zone_header &zone);

// Creates the zone for `feed` (owner and last updater, the feed's client) and keeps its new
// id in `zone`. 0, or -1 when the insert failed.
[[nodiscard]] int create_sql_zone(sql_conn *db, zone_header &zone, const feed_record &feed);

// Removes a zone by its id, or (without an id) by its name within one client's zones;
// never by name alone. 0 or -1.
[[nodiscard]] int delete_sql_zone(sql_conn *db, int zone_id, const std::string &name,
                                  int client_id);

// Queues a zone for the zone builder: kind 1 update ("u"), 2 delete ("d"). 0 or -1.
[[nodiscard]] int update_changes(sql_conn *db, const std::string &zone_name, int kind);

// The stored records (id, key) and options (id, value, type) of a zone. 0 or -1.
[[nodiscard]] int get_sql_rr_snapshot(sql_conn *db, int zone_id, sql_result &out);
[[nodiscard]] int get_sql_opt_snapshot(sql_conn *db, int zone_id, sql_result &out);

// Deletes the listed record / option ids (a comma-separated list the delta built); nothing
// is sent for an empty list. 0 or -1.
[[nodiscard]] int purge_sql_old_recs(sql_conn *db, const std::string &ids);
[[nodiscard]] int purge_sql_old_opt(sql_conn *db, const std::string &ids);

// Inserts the records of `table` (51 rows per statement) / the options (50 per statement).
// The number of rows, or -1 when a statement failed.
int insert_imported_recs(sql_conn *db, const zone_header &zone, const record_table &table);
int insert_imported_opts(sql_conn *db, const zone_header &zone, const option_table &table);

// The zone's SOA values and zone row (type, owning feed, last updater, separator); an owner
// change writes event ES01. `changed` is set when the zone's served data changed. 0 or -1.
[[nodiscard]] int update_tables(sql_conn *db, const zone_header &zone, const feed_record &feed,
                                int event_level, bool &changed);
