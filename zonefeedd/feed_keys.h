// Record keys and deltas. Every record the parser accepts becomes a text key built exactly
// like the key the snapshot statement computes for a stored record, so that comparing the
// two sets gives the records to delete and the records to insert; an unchanged record is
// neither deleted nor inserted. The same holds for zone options ("A" / "M" + address).
//
// The row a record is inserted as is built here too (rr_insert_row), next to its key, so
// the two cannot drift apart.
#pragma once

#include "feed_parse_report.h"
#include "sql.h"

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// One accepted record. Empty texts are absent (SQL NULL, "NULL" in the key); the NAPTR
// regular expression (its pattern part) and the replacement are always present.
struct hashed_rr {
    int type = 0; // rr_type
    std::string host, value;
    unsigned priority = 0;       // MX/SRV priority, NAPTR order, NS primary flag (0 or 1)
    unsigned priority_minor = 0; // SRV weight, NAPTR preference
    unsigned port = 0;           // SRV port
    unsigned ttl = 0;            // SRV TTL
    std::string services, flag, regex_flag, regex, replacement;
};

using record_table = std::unordered_map<std::string, hashed_rr>;
// Zone options: "A" + transfer address, "M" + primary server address.
using option_table = std::unordered_set<std::string>;

// The key of a record (appended to `key`, which is cleared first).
void rr_key(const hashed_rr &rr, std::string &key);

// Enters the record under its key; an equal key adds nothing. 0 (or -1 out of memory).
int add_hashed_rr(record_table &table, hashed_rr &&rr);

// The snapshot statement: id and key of every stored record of a zone (argument: zone id).
// NAPTR keys carry the replacement as well, so an unchanged NAPTR record is kept too.
extern const char *const RR_SNAPSHOT_QUERY;
// The options snapshot: id, value, type (argument: zone id).
extern const char *const OPT_SNAPSHOT_QUERY;
// The same for many zones at once (argument: a list of zone ids), each row led by its zone
// id: zone id, id, key / zone id, id, value, type.
extern const char *const RR_SNAPSHOT_BATCH_QUERY;
extern const char *const OPT_SNAPSHOT_BATCH_QUERY;

// The insert statement's head, and one row of it for `rr` in zone `zone_id` (format text
// with its arguments appended; the row ends with ",").
extern const char *const RR_INSERT_HEAD;
void rr_insert_row(const hashed_rr &rr, int zone_id, std::string &format,
                   std::vector<sql_arg> &args);

struct snapshot_rr {
    std::string id;
    std::optional<std::string> key; // NULL when a stored column made the CONCAT NULL
};
struct snapshot_opt {
    std::string id, value, type;
};

// The records no longer wanted: a comma-separated id list ("" when none). Stored records
// that are still wanted are taken out of the table, which is left with what to insert.
std::string delta_rr_rows(const std::vector<snapshot_rr> &rows, record_table &table);
// The same over a snapshot result set. nullopt without a table; "" without a result.
std::optional<std::string> delta_rr_hash(const sql_result *snapshot, record_table *table);

// Options: "master" gives "M" + value, "allow_transfer" "A" + value (case ignored); other
// types are reported (ERROR "Unknown zone option type: %s") and left alone.
std::string delta_opts_rows(const std::vector<snapshot_opt> &rows, option_table &table);
std::optional<std::string> delta_opts_hash(const sql_result *snapshot, option_table *table);

// The feed's own transfer addresses, and for secondary zones its primary servers. 0.
int hash_global_opts(option_table &table, const feed_record &feed, int zone_type);
