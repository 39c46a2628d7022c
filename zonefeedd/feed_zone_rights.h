// Whether a feed may write a zone it names: creating a new zone (the client's right for the
// zone's kind and its zone limit), writing an existing one of the same client (the lock to
// an update source, a change of zone type), never a zone of another client; and whether a
// better feed of the same client, idle in this run, owns the zone.
//
// The zone limit is counted under a lock on the client's row, so workers creating zones for
// one client at the same time cannot pass it together: call these inside the zone's
// transaction (zone_write_begin), which keeps the lock until the zone is committed. The
// refusal events go through the same connection: commit after a refusal to keep them.
//
// Reads the zone and client tables, creates the zone row, writes ES02/ES03/EPU07 events.
#pragma once

#include "feed_parse.h"
#include "feed_record.h"
#include "feed_scan.h"
#include "sql.h"

#include <unordered_map>
#include <vector>

// 1 when `client_id` may create `zone` (right for its kind, below its zone limit), 0 when
// not (reported), -1 when a query failed.
int can_create_zone(sql_conn *db, const feed_record &feed, const zone_header &zone,
                    int event_level);
// Fills the zone's stored data and creates it when new. 0 when the feed may write the zone,
// -1 when the zone must be ignored (reported) or a query failed.
int create_zone(sql_conn *db, const feed_record &feed, zone_header &zone, int event_level);
// The checks of create_zone for a zone whose stored data `zone` already holds (not new):
// another client's zone is refused (ES02 "Modify other's zone"), the lock to an update
// source (EPU07), a change of type needs the add/remove right. 0 or -1 (reported).
int may_write_existing_zone(sql_conn *db, const feed_record &feed, const zone_header &zone,
                            int event_level);
// The add/remove right for the zone's kind; a refusal writes ES02. true when granted.
bool may_add_remove(sql_conn *db, const feed_record &feed, const zone_header &zone,
                    int event_level);
// Reports a zone the feed's client may not touch because it is, or lies inside, another
// client's zone (ES02 "Modify other's zone"); `owner_client` 0 when the zone itself is new.
void refuse_other_clients_zone(sql_conn *db, const feed_record &feed, const zone_header &zone,
                               int owner_client, int event_level);
// 1 when the idle feeds of the run hold feed `feed_id` of client `client_id` with a priority
// number not above `priority` (a feed of another client never counts).
int higherprio_url_owner(const std::vector<idle_feed> &idle, int client_id, int feed_id,
                         int priority);

// Removes the zones of `feed` that its file no longer holds (run it only after the feed's
// writes succeeded, and never for a file without zones). A zone the run gives to this feed
// is kept; one another feed of the same client claims is removed (that feed creates it);
// one a feed of another client claims is kept (priorities never decide between clients);
// a zone of a kind the client may not remove is kept. Each removal queues a 'd' change.
// `feed_clients` maps every feed id of the run (idle ones included) to its client.
// 0, or -1 when a statement failed (the purge stops there).
[[nodiscard]] int purge_sql_zones(sql_conn *db, const feed_record &feed, zone_set &zones,
                                  const std::unordered_map<int, int> &feed_clients);
