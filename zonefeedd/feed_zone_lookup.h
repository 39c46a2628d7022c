// The two zone lookups the feed parser and the header scan make: a classless reverse zone's
// stored separator, and the feed that owns a zone.
#pragma once

#include "sql.h"

#include <string_view>

// The stored separator code of zone `name` (0 "/", 1 "-", 2 "."), looked up among the
// zones of feed `feed_id` and those with a url_id below -1; -1 in `*code` when there is no
// such zone. 0, or -1 when the query failed.
[[nodiscard]] int get_zone_separator(sql_conn *db, std::string_view name, int feed_id, int *code);

// The id of the feed that owns zone `name` (-1 for a zone kept in the panel); -2 when no
// such zone exists; -3 when the query failed or no name was given.
int get_zone_ownerurl(sql_conn *db, std::string_view name);
