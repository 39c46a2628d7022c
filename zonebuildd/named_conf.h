// The name server's view of the hosted zones: the include file (one `zone` statement per
// zone, built from the panel's entry template), the global ACL file
// (`acl common-allow-transfer`), and the reload request sent through rndc.
//
// This module owns the text of both files and the chunk-file format that the worker
// processes fill. It touches only what it is given: the paths in named_paths, the streams
// passed in, the database connection in named_ctx (event rows and the two template/ACL
// reads) and the rndc program in the rndc directory. It reads no configuration itself.
//
// Installing: the live include file and the live ACL file are only ever replaced whole, by
// a rename of a complete, flushed and synced file written in the destination's directory;
// the directory is synced after the rename.
//
// What the caller fills (from its settings record, once per job; workers copy it and set
// `db` to their own connection):
//
//   named_paths  - NAMED_D, NAMED_FILE and its base name, NAMED_ACL_FILE and its base name,
//                  MASTER_D, SECONDARY_D, TEMP_D, the work directory name ("tmp_<pid>") and
//                  RNDC_BIN_D, all as normalised by the configuration load.
//   named_ctx    - the paths, the job's database connection (nullptr: no event rows) and the
//                  job's event-log threshold.
//   entry_template - the text get_sql_template() read.
//   zone_entry   - a zone's type code and its option addresses (prefix "A" allow-transfer,
//                  prefix "M" primary servers) in the order the zone's option set yields them;
//                  add_zone_entry_option() files an option key by its prefix.
//   letter_dir_fn - the zone-file module's letter-directory maker: given the zone file name
//                  and the zone type, it makes sure the letter directory exists below the
//                  named root and gives the letter ("a", "0", ...) or nullopt on failure.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct sql_conn;

struct named_paths {
    std::string named_root;    // NAMED_D
    std::string include_file;  // NAMED_FILE, below the named root
    std::string include_base;  // last component of include_file
    std::string acl_file;      // NAMED_ACL_FILE, below the named root
    std::string acl_base;      // last component of acl_file
    std::string master_dir;    // MASTER_D (the name server's working directory)
    std::string secondary_dir; // SECONDARY_D
    std::string temp_dir;      // TEMP_D
    std::string work_name;     // the job's work directory name below TEMP_D
    std::string rndc_dir;      // RNDC_BIN_D, the directory holding `rndc`
};

// named_root + "/" + include_file: the live include file.
std::string live_include_path(const named_paths &paths);
// temp_dir + "/" + work_name + "/" + include_base: the include file being built.
std::string work_include_path(const named_paths &paths);
// named_root + "/" + acl_file: the live ACL file.
std::string live_acl_path(const named_paths &paths);
// The last path component ("a/b/c" gives "c", "c" gives "c").
std::string path_base_name(const std::string &path);

struct named_ctx {
    named_paths paths;
    sql_conn *db = nullptr; // event rows go here; nullptr writes none
    int event_level = 3;    // event-log threshold of the job
};

// ---------------------------------------------------------------------------------------
// Include-file editing

// Answers whether a zone name (with its final dot) is in the job's change set.
using zone_name_pred = std::function<bool(const std::string &zone_name)>;

// `zone` statements by zone name (with its final dot, as the file spells it), each as the
// scanner writes it back: `zone "NAME"` and the rest up to and including its ";".
using zone_statements = std::unordered_map<std::string, std::string>;

// The scanner's state for one pass: the line counter starts at 1 for every job and runs
// through the pass; it only serves messages.
struct include_scan {
    FILE *in = nullptr;  // live include file; nullptr reads as empty (restore job)
    FILE *out = nullptr; // include file being built
    int line = 1;
    bool malformed = false;              // set when the pass ended on a syntax error of the input
    zone_statements *left_out = nullptr; // when set: receives every statement left out
};

// Copies `scan.in` to `scan.out`, leaving out the `zone` statements of the zones for which
// `in_change_set` answers true; everything else passes through. A kept statement is written
// back as `zone "NAME"` (name without its final dot) followed by the rest as it stood.
// Every file named reads is read (statements end with "};", "} ;" or a comment between
// brace and semicolon; comments of any length; names quoted or not). 0 when the whole input
// was passed, -1 on a syntax error (EP01 event row, `scan.malformed` set), a failed read or
// a failed write (ER05 event row).
int manage_namedconf(include_scan &scan, const zone_name_pred &in_change_set, const named_ctx &ctx);

// Copies, from the live include file at `live_path`, the `zone` statements of the zones
// for which `wanted` answers true (names given with their final dot) to `out`, each ending
// in a newline; nothing else of the file is copied. Used to keep the previous statement of
// a zone that a job had to skip. The number of statements copied, or -1 (unreadable file,
// syntax error, failed write; logged).
int copy_zone_entries(const std::string &live_path, const zone_name_pred &wanted, FILE *out,
                      const named_ctx &ctx);
// The same for one zone (name with or without its final dot): 1 copied, 0 not present, -1.
int copy_zone_entry(const std::string &live_path, const std::string &zone_name, FILE *out,
                    const named_ctx &ctx);
// Reads every `zone` statement of the include file at `path` from byte `offset` on (a
// statement boundary) into `out`. The number read, or -1 (unreadable file, syntax error).
int read_zone_entries(const std::string &path, long offset, zone_statements &out,
                      const named_ctx &ctx);

// ---------------------------------------------------------------------------------------
// Zone entries

// Reads the panel's 'zonaris.include' template into `entry_template`. -1 on a query error,
// when there is no template, and when the template is empty or lacks "[zone_name]" (an
// include file built from it would hold no usable zone); `entry_template` is then unchanged.
int get_sql_template(sql_conn *db, std::string &entry_template);

struct zone_entry {
    int type = 0;                            // 1 primary, 2 secondary
    std::vector<std::string> allow_transfer; // option keys "A<address>", prefix removed
    std::vector<std::string> masters;        // option keys "M<address>", prefix removed
};
// Files an option key by its prefix letter (a key already filed is not repeated). 0, or
// -1 for a key without an address or with another prefix.
int add_zone_entry_option(zone_entry &zone, std::string_view key);
// A zone_entry of `type` with every option key of `option_keys` filed (keys with another
// prefix are left out).
zone_entry make_zone_entry(int type, const std::vector<std::string> &option_keys);

using letter_dir_fn =
    std::function<std::optional<std::string>(const std::string &zone_file_name, int type)>;

// Writes the `zone` statement of one zone to `stream` (a worker's chunk file). `zone_name`
// is without its final dot, `zone_file_name` the zone's file name. Addresses that are not
// valid for the name server are left out with an error; a zone name that is not a valid
// zone name, an unknown type or a secondary zone without a valid primary address writes
// nothing and gives -1. An empty template writes nothing and gives 0. 0 or -1.
int generate_zone_entry(FILE *stream, const std::string &zone_name,
                        const std::string &zone_file_name, const zone_entry &zone,
                        const std::string &entry_template, const letter_dir_fn &make_letter,
                        const named_ctx &ctx);

// An entry of an address-match list (ACL or allow-transfer): an address as the name server
// reads it, or a network without host bits; a network written with "-" comes back with "/".
// nullopt for anything else.
std::optional<std::string> acl_entry_text(std::string_view text);

// ---------------------------------------------------------------------------------------
// Chunk files: a 4-byte count of the zones a worker finished (native byte order), then the
// text of the entries it wrote.

// temp_dir/work_name/<daemon_pid>_chunk_<worker>: where worker `worker` writes its chunk.
std::string chunk_file_path(const named_paths &paths, int daemon_pid, int worker);
// Writes the count placeholder 0 at the start of a fresh chunk. 0 or -1.
int chunk_begin(FILE *chunk);
// Writes `count` over the placeholder and flushes. 0 or -1.
int chunk_finish(FILE *chunk, int count);

// Appends the entries of every chunk (each open for reading at its start, in worker order)
// to `include_out`. The sum of the counts, or -1 (a chunk without its count, a negative
// count, a failed read or write; logged).
int merge_namedconf(const std::vector<FILE *> &chunks, FILE *include_out, const named_ctx &ctx);

// Installs the include file built in the work directory as the live include file (whole,
// by rename), once BIND's configuration parser accepted it after the live ACL file (a file
// named would refuse is never installed: EP02 event). The caller has closed its streams of
// both files. ER07 event on success. 0, or -1 with the live file unchanged.
int install_namedconf(const named_ctx &ctx);

// ---------------------------------------------------------------------------------------
// Global ACL

// The global transfer addresses; each occurs once, written in the set's order.
using acl_set = std::set<std::string>;

// Adds the `ip` of every `global_transfer_ips` row to `acl`. 0 or -1 (query error).
int get_sql_acl(sql_conn *db, acl_set &acl);

// The result of restore_acl and install_acl_text when BIND's configuration parser refused
// the new text (EP02 event): the previous file stays, and a job must not go on as if the
// name server had the addresses it was given.
inline constexpr int ACL_REFUSED = -2;

// The ACL file's text for `acl`. Addresses that are not valid ACL entries are left out with
// an error.
std::string acl_file_text(const acl_set &acl);
// Installs `text` as the live ACL file (whole, by rename) once BIND's configuration parser
// accepted it. ER07 event on success. 0, -1 when it could not be written, ACL_REFUSED (the
// previous file stays in both cases).
[[nodiscard]] int install_acl_text(const std::string &text, const named_ctx &ctx);
// install_acl_text(acl_file_text(acl)).
int restore_acl(const acl_set &acl, const named_ctx &ctx);

// ---------------------------------------------------------------------------------------
// Name server control

// rndc answers within its own time-out (60 s); a name server that holds it longer is hung.
inline constexpr std::chrono::seconds rndc_time_limit{120};

// Runs "<rndc_dir>/rndc ARGS..." as a child program (no shell, at most rndc_time_limit).
// Its exit status (0..255; 255 when the program cannot be executed), or -1 when it could
// not be started, was killed by a signal or ran out of time. With `output`, what it wrote
// to its standard output and error.
int run_rndc(const std::string &rndc_dir, const std::vector<std::string> &args,
             std::string *output = nullptr);
// run_rndc with "reload".
int notify_named(const std::string &rndc_dir);

// notify_named, then the info line "`rndc reload` terminated with code %d." and the event
// row "Named restart attempt" (ER02): "ok|<code>" at level 5 on success, "fail|<code>" at
// level 3 otherwise. 0 when the reload succeeded, -1 when it did not: the caller keeps the
// reload pending and calls this again at its next job.
int reload_named(const named_ctx &ctx);
// The name server told about a job's work without rereading every zone: "rndc reconfig"
// when `reconfig` (new and removed zones, changed statements or ACL), then "rndc reload ZONE"
// for each of `zones` (names without their final dot) whose data changed. One "Named
// restart attempt" row (ER02) with the first failing code, or "ok|0". 0 when every call
// succeeded; -1 at the first failure (the rest are not run: the caller reloads the whole
// server instead).
int reload_changed(const named_ctx &ctx, bool reconfig, const std::vector<std::string> &zones);
