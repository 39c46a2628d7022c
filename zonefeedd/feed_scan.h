// The header scan: once per downloaded feed file, before anything is written, it checks the
// line endings, reads every zone header, checks the client's permission for the zone's
// kind, limits the zones per file and claims each zone for the feed with the best priority
// in the run-wide zone set. Block bodies are skipped with the same reader the parser uses.
#pragma once

#include "feed_parse.h"
#include "feed_parse_lines.h"
#include "feed_parse_report.h"
#include "sql.h"

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// Who holds a zone in this run. A smaller priority number wins; feed id 0 marks a reserved
// zone that no feed may claim.
struct zone_claim {
    int feed_id = 0;
    int priority = 0;
};

// The run-wide zone set. Names are compared without regard to case, as the database does.
struct zone_set {
    std::unordered_map<std::string, zone_claim> claims; // by zone_set_key
};
std::string zone_set_key(std::string_view name);
const zone_claim *zone_set_find(const zone_set &set, std::string_view name);
void zone_set_put(zone_set &set, std::string_view name, zone_claim claim);
bool zone_set_erase(zone_set &set, std::string_view name);

// A downloaded feed file as the passes read it.
struct feed_file {
    std::string path;
    std::string text;
    int line_end = LINE_END_BAD;
};

// Results of dump2hash besides 0 and a positive line number (syntax error at that line).
enum {
    SCAN_CANNOT_OPEN = -1,
    SCAN_BAD_LINE_END = -2,
    SCAN_DB_FAILED = -3, // a query failed: the file is neither written nor purged
};

struct scan_env {
    feed_reporter &report;
    zone_set &zones;
    sql_conn *db = nullptr; // separators and zone owners (nullptr: no lookups)
    int max_zones = 5000;   // MAX_ZONES_PERFILE
};

// Scans the file at `path` for `feed`. 0 when the whole file was scanned (or the zone budget
// ended it): `file` then holds the text, with duplicate blocks marked by a "|" in front of
// their header both in `file.text` and on disk. Any other result switches the feed's
// clean_url_zones off and leaves `file.text` empty.
int dump2hash(feed_record &feed, const std::string &path, feed_file &file, scan_env &env);

// The scan of a text already in `file.text` (line endings checked by the caller): 0 or the
// number of the line of a syntax error, or SCAN_DB_FAILED. Duplicate headers are marked in
// `file.text`; their offsets go to `marks` when given.
int scan_feed_text(feed_record &feed, feed_file &file, scan_env &env,
                   std::vector<size_t> *marks = nullptr);
