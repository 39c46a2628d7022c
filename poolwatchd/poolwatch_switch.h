// Switching a record on (status 1) or off (status 9) once its tally is complete, together
// with the `changes` row that has the zone builder rewrite the zone.
//
// Connections given here must report found rows as affected rows (CLIENT_FOUND_ROWS), so
// that refreshing a `changes` row stamped in the same second still counts as found.
#pragma once

#include "poolwatch_tally.h"
#include "sql.h"

// Result of a switch attempt.
enum switch_result {
    SWITCH_DONE = 0,      // status changed and the zone queued, both committed
    SWITCH_UNCHANGED = 1, // nothing to do: the status already matches the verdict
    SWITCH_REFUSED = 2,   // the zone is being deleted or not active, or the record changed
    SWITCH_KEPT = 3,      // left on as the last enabled record of its name and type
    SWITCH_FAILED = -1,   // a statement failed; the record is left as it was
};

// Applies a verdict: switches an enabled record found unavailable off and a disabled record
// found available on; otherwise reports it unchanged. With `keep_one_up`, the last enabled
// record of a name and type in its zone stays on (with an event saying so).
[[nodiscard]] switch_result poolwatch_poll_checkup_update(sql_conn *db, const pool_record &rec,
                                                          int verdict, bool keep_one_up = false);

// Sets the record's status and queues its zone in one transaction. The status changes only
// when it is still the one the record was read with and its zone is active; no row of
// `changes` is written without the status change, nor the status changed without it.
[[nodiscard]] switch_result poolwatch_poll_record_real_update(sql_conn *db, const pool_record &rec,
                                                              int status, bool keep_one_up = false);
