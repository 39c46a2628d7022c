// The feed daemon's settings, selection and run-record statements: the `misc` settings, the
// SRV name lists, the queued custom imports, the feed list in its three modes with the
// client's permissions and the feed's addresses, and the record of a feed's run.
//
// Every function takes the connection it is to use (the caller holds it alone) and reports
// a failed statement through the SQL layer's log; values from the database and the panel go
// into statements only through the layer's escaping.
#pragma once

#include "feed_record.h"
#include "sql.h"

#include <memory>
#include <string>
#include <vector>

// Which feeds a run selects.
enum class selection_mode {
    scheduled, // enabled feeds of active clients that are due by their period
    all,       // every enabled feed of an active client
    custom,    // the enabled feeds of the active clients queued in custom_job_queue
};

// Fills `g` from the `misc` table (a fresh record of defaults first). 0 or -1.
[[nodiscard]] int get_settings(sql_conn *db, feed_globals &g);
// The SRV service and protocol names. 0 or -1.
[[nodiscard]] int get_sql_srv(sql_conn *db, srv_names &out);

// Takes the queued 'forceclient' requests: `client_list` becomes "'id1','id2'" (each value
// escaped), empty when none was queued, and the rows read are deleted. 0 or -1.
[[nodiscard]] int get_custom_urls(sql_conn *db, std::string &client_list);
// Drops every queued request of the feed daemon. 0 or -1.
[[nodiscard]] int clear_custom_urls(sql_conn *db);
// Forgets every feed's stored hash, so the next run imports every file. 0 or -1.
[[nodiscard]] int clear_zone_feed_hash(sql_conn *db);

// The client's preferences over the global settings. 0 or -1.
[[nodiscard]] int get_client_perm(sql_conn *db, int client_id, const feed_globals &g,
                                  feed_perm &perm);

struct feed_selection {
    std::vector<std::unique_ptr<feed_record>> feeds; // in feed id order
    std::vector<idle_feed> idle;                     // scheduled mode only
};
// Selects the feeds of a run. In custom mode the queued requests are taken first; with no
// client queued nothing is selected and the call fails. 0 or -1.
[[nodiscard]] int get_url_list(sql_conn *db, selection_mode mode, const feed_globals &g,
                               feed_selection &out);

// The URL of a feed, "-1" when there is no such feed (or the query failed).
std::string get_url_name(sql_conn *db, int feed_id);

// Records a feed's run: count + 1, last_update now, the hash (NULL when none). 0 or -1.
[[nodiscard]] int zone_feed_count(sql_conn *db, const feed_record *feed);
