// The event log: notable events as rows of the `logs` table, which the panel shows.
// Texts are passed as they should be stored; the query layer escapes them.
#pragma once

#include "sql.h"

enum log_facility { FACILITY_REMOTE_UPDATE = 1, FACILITY_ZONEBUILD = 2 };

// Writes one row when `db` is given and `level` <= `max_level`. Absent texts (nullptr)
// and ids of 0 are stored as NULL. 0 on success or when nothing was due, -1 when the
// facility is unknown or the insert failed (reported through the library log).
int sql_log(sql_conn *db, int facility, int level, const char *message, const char *info_code,
            const char *info, unsigned client_id, unsigned zone_feed_id, unsigned zone_id,
            const char *zone_feed_url, const char *zone_name, int max_level);

// The program's event-log threshold from the `misc` parameter 'log_level': a value whose
// first character is '0'..'7' gives that level, anything else (or no row) 3. -1 in
// `*status` when the query failed.
int read_db_log_level(sql_conn *db, int *status);
