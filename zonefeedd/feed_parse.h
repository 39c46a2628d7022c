// The zone text parser: zone headers and block bodies of a feed file, checked line by line
// before anything reaches the database, a zone file or the name server's include file.
//
// A body line is split at "|"; the odd fields (1, 3, 5, ...) carry data, the even ones are
// placeholders. Field 1 is the directive or record type, field 3 the host or the
// directive's value, field 5 the record value, fields 7 to 19 the type's parameters. Each
// rejected record is reported (feed_parse_report.h) and dropped; parsing goes on.
#pragma once

#include "dns_validator.h"
#include "feed_keys.h"
#include "feed_parse_lines.h"
#include "feed_parse_report.h"
#include "sql.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// Zone kinds, as is_arpa_light_check classifies a name.
enum zone_kind { KIND_FORWARD = 0, KIND_REVERSE4 = 1, KIND_ENUM = 2, KIND_REVERSE6 = 3 };

// A zone block's header and what the block sets for the zone as a whole.
struct zone_header {
    std::string name; // canonical, with its final dot
    int kind = KIND_FORWARD;
    int type = 1; // 1 primary, 2 secondary
    arpa_ipv4_net net4;
    arpa_ipv6_net net6;
    char separator = 0; // classless separator '/', '-' or '.'; 0 while unknown
    // SOA values given by the block; 0 when not given.
    int64_t serial = 0, refresh = 0, retry = 0, expire = 0, min_ttl = 0, default_ttl = 0;
    bool has_origin_ns = false;
    std::string origin_ns; // value of the first origin NS record
    // Stored zone data, filled by the ownership checks before the block is parsed.
    int zone_id = -1;
    int client_id = 0;
    int url_id = -1;
    int last_feed_id = -1;
    int stored_type = 0;
    int status = 1;
    bool is_new = true;
};

// Results of resolve_header.
enum {
    HEADER_OK = 0,
    HEADER_BAD = -1,       // syntax error: empty or invalid name, unknown type, bad network
    HEADER_DUPLICATE = -2, // marked as a duplicate by the header scan
    HEADER_DB_FAILED = -3, // the separator query failed
};

// Reads a header (text without "{"): name, optional "|" and type ("", "master", "slave").
// With `validate` the name must pass the validator of its kind, and a classless reverse
// zone's separator is looked up in the database when the name does not show it (`db` may be
// nullptr: the separator then stays unknown). Without it the name is classified, split and
// put in canonical form only.
int resolve_header(std::string_view text, zone_header &header, int validate, sql_conn *db,
                   int feed_id);

// Canonical form of a name of a zone of kind `kind`: forward names in lower case; reverse
// and ENUM names with lower-case labels and the tail in upper case (".IN-ADDR.ARPA",
// ".IP6.ARPA", ".E164.ARPA"), and, when `separator` is '/' or '-', every other classless
// separator in front of the tail replaced by it.
void be_canonical_zone(std::string &name, int kind, char separator);

// 1 when `text` holds `ch` in front of its ".IN-ADDR.ARPA" or ".IP6.ARPA" tail.
int has_char_(std::string_view text, char ch);

// A name made only of letters, digits, "-", "_", "/" and dots, labels of 1 to 63, at most
// 255 in all, "*" only as a whole first label: nothing that could break out of a zone file,
// the include file or a statement.
bool safe_name(std::string_view name);

// What a block parse needs besides the block.
struct parse_env {
    feed_record &feed;
    feed_reporter &report;
    const srv_name_set *services = nullptr; // known SRV service names
    const srv_name_set *protocols = nullptr;
    int max_records = 1000; // MAX_RECORDS
};

// Parses one block body from the reader (which stands behind the header line) up to its
// closing line. Accepted records go to `records`, options to `options`, SOA values and the
// origin-NS flag to the header. 0 when the block was read (with or without rejected
// lines); -1 when the block must be dropped whole: it holds more than `max_records` records
// (event EPU06; the zone must stay as it is), or it is a primary zone new in the database
// that received no record (the caller deletes the zone it created for it). Either way the
// reader stands behind the block.
int parse_import_entries(feed_reader &reader, zone_header &header, parse_env &env,
                         record_table &records, option_table &options);
