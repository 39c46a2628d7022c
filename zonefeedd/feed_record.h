// The records of one import run: a feed as selected from the database (its URL, credentials,
// the client's permissions and SOA defaults, the addresses its zones get), what its download
// left behind, and the settings of the `misc` table that a run reads first.
//
// Plain data; the modules that fill and read it say which fields they touch.
#pragma once

#include "dns_validator.h"

#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

// "ignore_other_urls" and "clean_url_zones" in `misc`: 0 or 1 decide for every client, 2
// lets each client's own preference decide.
constexpr int setting_per_client = 2;

// SOA parameters in the order the feed record keeps them.
enum soa_param { SOA_REFRESH, SOA_RETRY, SOA_EXPIRE, SOA_MIN_TTL, SOA_DEFAULT_TTL, SOA_SERIAL };
constexpr std::array<const char *, 6> soa_param_names = {"refresh", "retry",       "expire",
                                                         "min_ttl", "default_ttl", "serial"};

// The settings of the `misc` table, read at each job.
struct feed_globals {
    std::unordered_map<std::string, std::string> misc;
    int ignore_other_urls = setting_per_client;
    int clean_url_zones = setting_per_client;
    std::array<int64_t, 6> soa = {10800, 3600, 604800, 86400, 86400, 0};
    int event_level = 3; // 'log_level': the event-log threshold
};

// What the client may do and the defaults its zones get (client_prefs over the globals).
struct feed_perm {
    std::array<int64_t, 6> soa{};
    int forward_level = 30; // 10 or less: create/remove zones; 20 or less: change records
    int reverse_level = 40;
    int enum_level = 0;
    int max_zones = -1;     // -1: no limit
    int warn_threshold = 0; // above 0: failure mails for the client's feeds
    int ignore_other_urls = 0;
    int clean_url_zones = 0;
};

// Permission levels: at most this to change records, at most `level_add_remove` to create
// and remove zones.
constexpr int level_modify = 20;
constexpr int level_add_remove = 10;

struct feed_record {
    int id = 0;
    int client_id = 0;
    int count = 0; // runs recorded so far
    int priority = 0;
    std::string url;
    std::string username, password; // used only when both are non-empty
    std::string hash;               // MD5 of the last imported file (32 hex digits) or empty
    feed_perm perm;
    std::vector<std::string> transfer_list; // url_ip 'allow_transfer' addresses
    std::vector<std::string> master_list;   // url_ip 'master' addresses

    // Filled by the download.
    std::string local_path; // the downloaded file, empty until a transfer succeeded
    bool unchanged = false; // the file has the stored hash
    // Filled by the result thread: the header scan read the whole file, so the feed goes on
    // to the write phase.
    bool scanned = false;
    // The scan stopped on a failed query: neither written nor purged, and the run fails.
    bool scan_failed = false;
};

// A feed that is enabled but not due in this run (its zones still count as claimed).
struct idle_feed {
    int id = 0;
    int client_id = 0;
    int priority = 0;
};

// Known SRV service and protocol names, for the parser.
struct srv_names {
    srv_name_set services, protocols;
};
