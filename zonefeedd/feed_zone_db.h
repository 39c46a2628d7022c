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

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A writing connection's session: each statement sees what other workers committed (a zone
// count taken after waiting for the client's lock includes the zone the holder created).
// Once per connection, before its first zone. 0 or -1.
[[nodiscard]] int zone_write_session(sql_conn *db);
// Transaction of one zone's write. 0 or -1.
[[nodiscard]] int zone_write_begin(sql_conn *db);
[[nodiscard]] int zone_write_commit(sql_conn *db);
void zone_write_rollback(sql_conn *db);

// Fills the stored fields of `zone` (id, client, owning and last feed, stored type,
// status); a zone without a row is new (id -1, status 1). 0, or -1 when the query failed.
[[nodiscard]] int get_zone_data(sql_conn *db, zone_header &zone);
// The stored fields from a row whose first columns are those get_zone_data reads (id,
// client_id, url_id, last_zone_feed_id, type, status).
void zone_data_from_row(zone_header &zone, const sql_row &row);

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

// What a zone's SOA values and zone row hold in the database.
struct zone_stored_state {
    std::array<std::optional<int64_t>, 6> soa; // by soa_param; nullopt: no row
    int type = 0;                              // get_zone_type of the stored word
    int url_id = -1;
    int last_feed_id = -1;
    int separator = 0; // stored code: 0 for "/", 1 otherwise
};
// The stored SOA values and zone row of one zone. 0, or -1 (query failed, no such zone).
[[nodiscard]] int read_zone_state(sql_conn *db, int zone_id, zone_stored_state &out);

// What the block asks of the SOA values and the zone row, compared with the stored state.
struct zone_tables_plan {
    std::vector<int> soa_new, soa_update, soa_remove; // soa_param indexes
    bool retype = false;                              // the zone type changes
    bool move = false;                                // the zone passes to this feed (event ES01)
    bool touch = false; // last updater or separator differ: the row is written
    // The served zone changes: a new type or owner, or SOA values written by a block that
    // gives a serial (timers alone do not make the zone builder rewrite the zone).
    bool changed = false;
    bool writes() const;
};
zone_tables_plan plan_zone_tables(const zone_header &zone, const feed_record &feed,
                                  const zone_stored_state &stored);
// Carries out the plan (nothing is sent for what is as stored); an owner change writes
// event ES01. 0 or -1.
[[nodiscard]] int apply_zone_tables(sql_conn *db, const zone_header &zone, const feed_record &feed,
                                    const zone_stored_state &stored, const zone_tables_plan &plan,
                                    int event_level);

// The zone's SOA values and zone row (type, owning feed, last updater, separator), read and
// then written where they differ; an owner change writes event ES01. `changed` is set when
// the zone's served data changed. 0 or -1.
[[nodiscard]] int update_tables(sql_conn *db, const zone_header &zone, const feed_record &feed,
                                int event_level, bool &changed);

// The separator code stored in the zone row for a block's separator.
int separator_code(char separator);
