// The zone record a worker process builds for one zone it writes: the owning client, the
// zone's revision (the serial last generated for it), its IPv4 reverse network, its SOA
// timers and serial, its option addresses (allow-transfer, primary servers) and, for a
// primary zone, its resource records sorted by type.
//
// This module owns the record and its load from the database (client, zone, zone_soa,
// client_prefs, misc, zone_opt_values, zone_dns_records). It writes exactly one thing: the
// zone's stored 'serial' row in zone_soa (and the one-shot serialgeneration switch-back).
// Everything runs on the caller's connection; nothing is kept between calls.
//
// Zones are loaded in batches: a handful of set-oriented statements read the data of every
// zone of the batch in zone order, so a job's round trips grow with its batches, not with
// its zones, and its memory with the zones in flight.
//
// Loading is defensive: a record row that cannot be used (NULL host or value, NULL or
// unknown type) is skipped with a warning and the rest of the zone is still read; a query
// error anywhere (SOA values included) fails the whole load, so a zone is never written
// with timers that merely failed to load.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dns_validator.h"

struct sql_conn;
struct sql_row;

// The record arrays of a zone, in the record set's order.
enum rec_slot {
    SLOT_NS = 0,
    SLOT_A,
    SLOT_AAAA,
    SLOT_CNAME,
    SLOT_MX,
    SLOT_SRV,
    SLOT_PTR,
    SLOT_TXT,
    SLOT_NAPTR,
    SLOT_COUNT
};

// One resource record as stored in zone_dns_records. A NULL numeric column reads as 0, a
// NULL optional text as absent.
struct zone_rec {
    std::string host;                       // owner name as stored
    std::string value;                      // address, target name, text ...
    int32_t priority = 0;                   // MX/SRV priority, NAPTR order
    uint32_t priority_minor = 0;            // SRV weight, NAPTR preference
    uint32_t port = 0;                      // SRV port
    uint32_t ttl = 0;                       // record TTL (written for SRV only)
    std::optional<std::string> services;    // NAPTR services
    std::optional<std::string> regex;       // NAPTR regular expression
    std::optional<std::string> flag;        // NAPTR flags
    std::optional<std::string> regex_flag;  // NAPTR regular-expression flags
    std::optional<std::string> replacement; // NAPTR replacement; an empty column gives "."
    bool origin_mark = false;               // NS: the priority column begins with "1"
};

// The nine record arrays, indexed by rec_slot.
struct dns_recs {
    std::array<std::vector<zone_rec>, SLOT_COUNT> slots;

    std::vector<zone_rec> &operator[](rec_slot s) { return slots[s]; }
    const std::vector<zone_rec> &operator[](rec_slot s) const { return slots[s]; }
};

// SOA values; 0 where no source gave one. A serial of 0 asks for a generated serial.
struct soa_values {
    int64_t refresh = 0;
    int64_t retry = 0;
    int64_t expire = 0;
    int64_t min_ttl = 0;
    int64_t default_ttl = 0;
    int64_t serial = 0;
};

struct zone_info {
    arpa_ipv4_net network; // IPv4 reverse zones: covered network (prefix 0 otherwise)
    int reverse_kind = 0;  // is_arpa_light_check of the name: 1 IPv4, 3 IPv6, 2 ENUM, 0
    uint32_t client_id = 0;
    std::string client_email; // owner's address, the SOA mailbox
    uint32_t zone_type = 0;   // 1 primary, 2 secondary
    std::string revision;     // the serial last generated for the zone ("" when none)
    dns_recs records;         // primary zones only
    // Option keys: "A<address>" allow-transfer, "M<address>" primary server; each key once,
    // in the order first added.
    std::vector<std::string> options;
    soa_values soa;
    // The zone's stored 'serial' row in zone_soa whatever its serial mode (0 when none or
    // not a number): the serial last published for the zone, which a generated serial must
    // move past.
    int64_t stored_serial = 0;
    // Record rows that were not taken, each with its reason (one line each).
    std::vector<std::string> refused_rows;
};

// Why a zone could not be loaded: the database failed (the zone must be retried), or the
// panel's data cannot make a zone (the zone is refused until it is changed).
struct zone_load_error {
    bool database = false;
    std::string refusal;
};

using zone_ptr = std::unique_ptr<zone_info>;

// A fresh, empty zone record (reverse kind 0, no records, no options). 0, or -1.
int init_zone_data(zone_ptr &out);

// Adds the option key for `address` by the first letter of `type_word` ("a..." gives "A",
// "m..." gives "M"). 0 when added (or already present), -1 for a missing or empty address
// or type word, and -1 with the error "Unknown zone option type: %c" for any other letter.
int add_zone_option(zone_info &zone, const char *address, const char *type_word);

// A record from the eleven columns host, value, priority, priority_minor, port, ttl,
// services, flag, regex_flag, regex, replacement of `row`, starting at column `first`.
// nullopt when host or value is NULL.
std::optional<zone_rec> record_from_row(const sql_row &row, unsigned first);

// The array of a record type, matched by its whole name (ignoring case): "A", "AAAA",
// "CNAME", "MX", "PTR", "SRV", "TXT", "NS", "NAPTR". -1 for any other type.
int rec_slot_of(std::string_view entry_type);

// Files a record in its array. The first NS record carrying the origin mark goes to the
// front of the NS array (the origin name server is then NS record 0); every other record is
// appended in arrival order.
void add_zone_rec(zone_info &zone, rec_slot slot, zone_rec rec);

// Drops the caller's zone record. Always 1 (the record is gone).
int release_zone_info(zone_ptr &zone);

// SOA parameters as the zone_soa, client_prefs and misc rows name them: the five timers,
// then the zone's stored serial.
enum soa_param {
    SOA_REFRESH = 0,
    SOA_RETRY,
    SOA_EXPIRE,
    SOA_MIN_TTL,
    SOA_DEFAULT_TTL,
    SOA_SERIAL,
    SOA_PARAMS,
    SOA_TIMERS = SOA_SERIAL
};

// The SOA value texts of one level (a zone's own rows, its client's preferences, the
// system-wide values), by soa_param: nullopt where there is no row or its value is NULL.
struct soa_texts {
    std::array<std::optional<std::string>, SOA_PARAMS> value;
    unsigned seen = 0; // parameters whose first row was taken
    // Takes a row of `param` (a soa_param, or -1 for another name); the first row of a
    // parameter decides, also when its value is NULL.
    void take(int param, const char *value);
};

// The soa_param of a parameter name, -1 for any other name.
int soa_param_of(std::string_view param);

// Fills zone.soa and zone.stored_serial. Each timer is the zone's own value, else the
// client's preference (each only when not 0), else the system-wide value (whatever it
// is), else 0; numbers read as by atoll. The serial is the stored one in serial modes 0 and
// 2 (`serial_mode`, the zone's serialgeneration), else 0 (generate one). Always 0.
int get_soa_options(const soa_texts &own, const soa_texts &client, const soa_texts &global,
                    long long serial_mode, zone_info &zone);

// One zone to load: its id, its type (1 primary, 2 secondary) and its name as the change
// set holds it (with its final dot).
struct zone_request {
    int id = 0;
    int type = 0;
    const std::string *name = nullptr;
};

// A loaded zone, or (zone nullptr) why it was not loaded.
struct zone_loaded {
    zone_ptr zone;
    zone_load_error error;
};

// Loads the zones of a batch with a fixed number of statements, whatever the number of
// zones: owners with revisions and serial modes, zone SOA rows, client preferences,
// system-wide values, options, records (primary zones), then the one-shot serial modes
// switched back. `out[i]` is the zone of `batch[i]`. The rows read, their order within a
// zone, the defaults, the precedence and the serial rules are those of get_sql_more_info.
// A zone without an owning client or with an IPv4 reverse name that denotes no network is
// refused; a query error fails every zone of the batch not refused before it
// (error.database), and their one-shot serial modes stay.
void load_zone_batch(sql_conn *db, const std::vector<zone_request> &batch,
                     std::vector<zone_loaded> &out);

// The number of enabled record rows of each primary zone of `batch` (0 for a secondary
// zone), in one statement: `counts[i]` belongs to `batch[i]`. 0, or -1 on a query error.
int count_zone_records(sql_conn *db, const std::vector<zone_request> &batch,
                       std::vector<size_t> &counts);

// Cuts a batch into load groups of consecutive zones holding at most `budget` records
// together (a zone above the budget is a group of its own): the end index of each group.
std::vector<size_t> record_groups(const std::vector<size_t> &counts, size_t budget);

// Loads the zone `id` of type `type` (1 primary, 2 secondary) named `name` (as the change
// set holds it, with its final dot) on `db`: load_zone_batch for one zone. nullptr when the
// zone cannot be loaded: a query error (logged with the database's text), a missing client,
// an IPv4 reverse name that does not denote a network. With `error`, why it was not loaded.
zone_ptr get_sql_more_info(sql_conn *db, int id, int type, const std::string &name,
                           zone_load_error *error = nullptr);

// Stores `serial` as the zone's 'serial' row in zone_soa. 0, or -1 (logged).
int set_sql_soa_serial(sql_conn *db, int id, const std::string &serial);
// The same for many zones (zone id, serial) in one statement. 0, or -1 (logged).
int set_sql_soa_serials(sql_conn *db, const std::vector<std::pair<int, std::string>> &serials);
