// Who may hold a zone that a feed names: a zone of another client is never taken, and a new
// zone below another client's zone is allowed only where that zone delegates it.
//
// Forward, ENUM and IPv6 reverse zones: every ancestor of the name is looked at, not only
// the immediate parent; the closest existing one decides (a zone of the same client, or
// none, allows; another client's must hold an active NS record for the name or for a name
// between the two). IPv4 reverse zones: every zone of another client whose network covers
// or lies inside the new zone's (classless siblings included, whatever their separator)
// must delegate the name, else the zone is refused.
//
// Reads the zone and record tables; writes nothing.
#pragma once

#include "feed_parse.h"
#include "sql.h"

#include <string>

// 1 when the zone exists for `client_id`, 0 when it does not exist, -1 when it belongs to
// another client or the query failed.
int check_zone_existence(sql_conn *db, const std::string &name, int client_id);
// A query of the checks below failed (the zone is neither allowed nor refused).
constexpr int OWNERSHIP_QUERY_FAILED = -2;

// 0 when zone `zone_id` holds an active NS record whose owner is one of `hosts`
// (a "', '"-joined list is built from them here), -1 otherwise, OWNERSHIP_QUERY_FAILED.
int check_zone_delegation(sql_conn *db, int zone_id, const std::vector<std::string> &hosts);
// 0 when `client_id` may hold `zone`, -1 when not (or a query failed).
int check_zone_ownership(sql_conn *db, const zone_header &zone, int client_id);
// The same for a zone known not to exist yet: 0 allowed, -1 refused (another client's zone
// covers it without delegating it), OWNERSHIP_QUERY_FAILED.
int check_new_zone_ownership(sql_conn *db, const zone_header &zone, int client_id);
