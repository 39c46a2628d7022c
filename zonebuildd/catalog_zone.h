// The catalog zone: one primary zone, named by ZONEBUILD_CATALOG_ZONE, that lists every
// primary zone this server serves in the format of RFC 9432 (schema version 2), so that a
// secondary configured once with `catalog-zones` adds and drops the hosted zones by itself.
//
// Text: SOA and NS with the RFC's placeholder name "invalid.", `version` TXT "2", and one
// PTR per member zone at <label>.zones. No member properties: a secondary needs nothing
// beyond the zone list and the primary it already knows from its `catalog-zones` block.
//
// Member labels stay the same for a zone for as long as it is a member, across jobs and
// restores. A zone's base label is derived from its name alone: the first 64 bits of the
// SHA-256 digest of the lower-cased name in DNS wire format, as 16 lower-case hex digits.
// Collisions are resolved so that no label ever moves: a zone already listed in the previous
// catalog keeps the label it had there; the other zones, in the order of their lower-cased
// names, take their base label when it is free and otherwise the first free one of
// "<base>-2", "<base>-3", ... Without a previous catalog the same rule gives the same labels
// (it only depends on the set of names).
//
// Members: after a job, the catalog lists the primary zones whose `zone` statement is in the
// new include file. A zone the job wrote as a primary zone is a member; a zone it removed,
// wrote as a secondary zone or refused as a reserved zone is not; a zone the job did not
// touch (or had to skip, keeping its previous statement) keeps what the previous catalog
// said. When there is no readable previous catalog, the panel's list of active primary zones
// stands in for it. The serial is newer (RFC 1982) than the previous catalog's at every
// change, in the configured ZONE_SERIAL form.
//
// Installation follows every other zone: written and checked with the BIND check in the
// work area, installed whole by rename into NAMED_D/MASTER_D/<letter>/<file name>, with a
// `zone` statement (the panel's template, transfer ACL common-allow-transfer) in the include
// file built by the same job. The file goes live right after that include file, so the name
// server never lists a zone it does not serve.
//
// Owns the catalog's zone file. Touches the job's include file (appends one statement), the
// work directory and the panel's `zone` table (read only).
#pragma once

#include "files.h"
#include "named_conf.h"
#include "zone_file.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

struct sql_conn;

// ---------------------------------------------------------------------------------------
// Text, labels, serial (pure)

// A zone name in the catalog's form: ASCII lower case, with its final dot.
std::string catalog_canonical_name(std::string_view zone_name);

// The base member label of a zone (see the head of this file): 16 lower-case hex digits.
std::string catalog_base_label(std::string_view zone_name);

struct catalog_member {
    std::string label; // below "zones."
    std::string name;  // canonical form
    bool operator==(const catalog_member &) const = default;
};

using catalog_label_fn = std::function<std::string(std::string_view canonical_name)>;

// Labels for the canonical names `names`: `previous` (a catalog's members) gives the labels
// that must not move. Sorted by name.
std::vector<catalog_member>
assign_member_labels(const std::set<std::string> &names,
                     const std::vector<catalog_member> &previous,
                     const catalog_label_fn &base_label = catalog_base_label);

// What an installed catalog file says.
struct catalog_contents {
    int64_t serial = -1; // -1: no SOA serial found
    std::vector<catalog_member> members;
};

// Reads a catalog file written by catalog_zone_text. 0, or -1 when the text is not such a
// catalog (no version "2", no serial); members with a malformed label are left out.
int parse_catalog_zone(std::string_view text, catalog_contents &out);

// The whole catalog zone file: `serial` and the members in the given order.
std::string catalog_zone_text(std::string_view serial, const std::vector<catalog_member> &members);

// The serial of a new catalog: newer than `previous` (-1: none), in the form `format`
// ("RFC" or "timestamp") at clock `now`.
std::string catalog_serial(int64_t previous, std::string_view format, time_t now);

// What one job did to its zones, by canonical name.
struct catalog_changes {
    std::set<std::string> primaries; // written as primary zones: members
    std::set<std::string> dropped;   // removed, written as secondary zones, reserved names
};

// The members after a job (see the head of this file): `served` holds the canonical names
// of the statements in the new include file, `before` the previous catalog's members (or the
// panel's active primary zones). The catalog's own name is never a member.
std::set<std::string> catalog_member_names(const std::set<std::string> &served,
                                           const std::set<std::string> &before,
                                           const catalog_changes &changes,
                                           const std::string &catalog_name);

// ---------------------------------------------------------------------------------------
// The catalog in a job

// The configured catalog name: a fully qualified domain name; nullopt (logged) otherwise.
std::optional<std::string> catalog_configured_name(const std::string &value);

struct catalog_env {
    named_ctx named;            // include/ACL paths, the job's connection, event level
    zonefile_env zonefile;      // named root, primary directory, owner of new directories
    std::string entry_template; // the panel's include-entry template
    std::string work_dir;       // TEMP_D/<work directory name>
    std::string serial_format;  // ZONE_SERIAL
    // The canonical names of the panel's active primary zones (used when there is no
    // readable previous catalog). 0 or -1.
    std::function<int(std::set<std::string> &)> active_primaries;
};

struct catalog_job {
    std::string name;        // canonical; empty: no catalog in this job
    std::string file_name;   // its zone file name
    bool changed = false;    // a new catalog file waits to be installed
    bool was_listed = false; // the live include file held the catalog's statement
    std::string dest;        // where it goes live
    std::unique_ptr<atomic_file> staged;
    size_t members = 0;
    double seconds = 0; // time the job spent on the catalog
};

// Job start: `configured` is the catalog name of the settings (empty: none). A name that is
// also a zone in the panel disables the catalog for the job (logged): the hosted zone wins.
// 0, or -1 on a query error.
int catalog_begin(catalog_job &cat, const std::string &configured, sql_conn *db);

// Whether `zone_name` (with its final dot) is the catalog's: its statement is rebuilt by
// every job that has a catalog, so the copy of the live include file leaves it out (and the
// job notes that the name server knows the catalog already).
bool catalog_statement(catalog_job &cat, const std::string &zone_name);

// Whether the name server must reread its whole configuration for the catalog: a new
// catalog file, or a statement it does not know yet.
bool catalog_needs_reload(const catalog_job &cat);

// After the workers' statements are in the include file being built (`include`, open for
// appending, its path in env.named): works out the members, writes, checks and stages a new
// catalog file when they changed (always with `rebuild`), and appends the catalog's `zone`
// statement. 0, or -1 (logged): the job must not install its include file.
int catalog_write(catalog_job &cat, const catalog_changes &changes, bool rebuild, FILE *include,
                  const catalog_env &env);

// Right after the include file went live: the staged catalog file goes live. 0 or -1.
int catalog_install(catalog_job &cat, const catalog_env &env);
