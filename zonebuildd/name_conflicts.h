// One zone, one name. The name server knows a zone by its name alone, with or without a
// final dot and in any letter case; the panel's rows may still hold "example.com" and
// "example.com." side by side (the database's unique key compares case-insensitively, but
// not with and without the dot). Both would be written to the same file and the same
// `zone` statement.
//
// A zone's identity is its name with a final dot, ASCII letters in lower case. Of the
// active rows that share an identity one is served: the first (lowest id) that a job has
// written before, else the first; every other one is refused for the job with an event
// and its `warning` set, and its change rows stay. A removal whose identity is served by an
// active row of another name removes nothing of that zone.
//
// Reads `zone`; writes event rows and the refused zones' warning columns.
#pragma once

#include "panel_db.h"

#include <string>
#include <string_view>

// "Example.COM" and "example.com." give "example.com.".
std::string zone_identity(std::string_view name);

// Takes the refused rows out of `feed` and marks removals that would touch another active
// zone's files. 0, or -1 on a query error.
[[nodiscard]] int refuse_name_conflicts(sql_conn *db, change_feed &feed, int event_level);
