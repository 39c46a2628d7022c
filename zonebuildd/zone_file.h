// Zone files: the master-file text of a primary zone built from its zone record, the file
// name and letter directory of every zone, the installation of a checked file below the
// name server's root, and the removal of the files of deleted or retyped zones.
//
// This module owns the zone-file text and the layout NAMED_D/{MASTER_D,SECONDARY_D}/<letter>/
// <file name>. It touches only the paths in zonefile_env, the streams and paths it is given,
// and the database connection in zonefile_env (event rows, the stored serial).
//
// Zone text comes from the panel's database and is never trusted to be master-file syntax:
// TXT and NAPTR strings are written escaped inside their quotes, and a name (owner, target,
// address, SOA mailbox) that would break out of its field, start a directive or change the
// meaning of a line refuses the whole zone with a warning. Nothing is silently altered.
//
// Installing replaces a live file whole (temporary file in the destination directory,
// flushed, synced, closed with its result checked, renamed), so the name server never reads
// a partly written zone.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unordered_set>
#include <utility>
#include <vector>

struct sql_conn;
struct zone_info;
struct zone_serial;

// ENUM service names (the change feed's set of NAPTR services).
using enum_service_set = std::unordered_set<std::string>;

// What the caller fills from its settings, once per job (workers set `db` to their own
// connection).
struct zonefile_env {
    std::string named_root;      // NAMED_D
    std::string master_dir;      // MASTER_D, below the named root
    std::string secondary_dir;   // SECONDARY_D, below the named root
    uid_t named_uid = (uid_t)-1; // owner of created letter directories; -1 unknown
    gid_t named_gid = (gid_t)-1; // group of created letter directories; -1 unknown
    sql_conn *db = nullptr;      // event rows and the stored serial; nullptr writes none
    // When set, a generated serial to store is queued here (zone id, serial) for one
    // statement per batch (set_sql_soa_serials) instead of being stored at once.
    std::vector<std::pair<int, std::string>> *serial_queue = nullptr;
    int event_level = 3;                             // event-log threshold of the job
    const enum_service_set *enum_services = nullptr; // nullptr: no ENUM services known
    // Letter directories known to exist (asked once per process and job, not per zone).
    mutable std::unordered_set<std::string> letter_dirs;
};

// "master" 1, "slave" 2, any other word 0, nullptr -1. Exact, case-sensitive.
int get_zone_type_code(const char *word);

// Replaces every "/" of `name` by "_".
void replace_slashes(std::string &name);

// The zone file name of a zone: the name with "/" replaced by "_" and one final "." removed
// (0/25.2.0.192.in-addr.arpa. gives 0_25.2.0.192.in-addr.arpa). -1 (logged) for a name that
// cannot be a file name: empty, "." or "..", or holding control characters, blanks, quotes
// or backslashes.
int zone_file_name(std::string_view zone_name, std::string &out);

// Makes sure the letter directory of `file_name` exists below the named root (primary zones
// directory for type 1, secondary for type 2), creating it when missing. With `full` the
// directory path NAMED_D/<dir>/<letter>, else the letter alone. nullopt (logged) when the
// letter is not alphanumeric, the type is unknown or the directory cannot be made. A
// directory found or made once is not looked for again with the same `env`.
std::optional<std::string> zone_letter_dir(const zonefile_env &env, const std::string &file_name,
                                           int type, int full);

// The SOA mailbox of an e-mail address, without the final ".": dots of the local part
// escaped, the first "@" turned into ".", master-file special characters escaped.
// nullopt for an absent address, one without "@", or one with an empty local part or
// domain.
std::optional<std::string> form_soa_mail(const char *address);

// The SOA serial the zone file of `zone` carries: the zone's own serial when it has one,
// else the generated `serial`.
std::string file_serial(const zone_info &zone, const zone_serial &serial);

// The whole zone-file text of primary zone `zone_name` (with its final dot) into `out`.
// 0, or -1 when the zone must not be written (no usable SOA mailbox, no origin name server,
// a name that is not safe in a zone file); `problem` then says why (also logged).
int format_zone_text(std::string_view zone_name, const zone_info &zone, const zone_serial &serial,
                     const enum_service_set *enum_services, std::string &out,
                     std::string *problem = nullptr);

// Writes the zone file of `zone_name` to `stream` (open and empty). When the file carries
// the generated serial, that serial is stored as the zone's serial (zone id `zone_id`)
// before the file is written. 0 when the whole file was written, -1 otherwise (the stream
// may then hold part of it; the caller discards it).
int edit_zone_file(FILE *stream, const std::string &zone_name, const zone_info &zone, int zone_id,
                   const zone_serial &serial, const zonefile_env &env,
                   std::string *problem = nullptr);

// edit_zone_file into a new file at `path` (the work copy), written whole through a
// temporary file beside it; on failure nothing is left at `path`. 0 or -1.
int write_zone_file(const std::string &path, const std::string &zone_name, const zone_info &zone,
                    int zone_id, const zone_serial &serial, const zonefile_env &env,
                    std::string *problem = nullptr);

// Installs the checked file `source` as NAMED_D/MASTER_D/<letter>/<file_name> (whole, by
// rename; the source stays). ER07 "Zone file created" on success, ER05 on failure. 0 or -1.
int copy_zone_file(const zonefile_env &env, const std::string &source, const std::string &file_name,
                   unsigned client_id);

// Removes the installed files of `zone_name`: `which` bit 1 the primary file, bit 2 the
// secondary file. A missing file is no error. ER07 "Zone file removed" per removed file.
// -1 for a name that gives no file name or a path that would leave the zones directory,
// else 0.
int remove_zone_file(const zonefile_env &env, std::string_view zone_name, int which,
                     unsigned client_id);
