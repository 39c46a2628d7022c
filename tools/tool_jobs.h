// The command lines of `zonefeed` and `zonebuild` and the job requests they queue in
// `custom_job_queue` for requests a bare signal cannot carry.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct sql_conn;

enum class zonefeed_mode { check, import, import_all, client_import, reread, stop };
enum class zonebuild_mode { check, changes, restore, write_acl, reread, stop };

struct zonefeed_request {
    zonefeed_mode mode = zonefeed_mode::check;
    std::vector<std::string> client_ids; // client_import: decimal ids, each once
};

// Parse results: keep going, or end the program with this status.
constexpr int args_ok = -1;

// Parses the command line. args_ok to go on; 0 after --help or --version was served; 1 on
// an error (logged).
int zonefeed_parse_args(int argc, const char **argv, zonefeed_request &request);
int zonebuild_parse_args(int argc, const char **argv, zonebuild_mode &mode);

// Splits a client list on single spaces, skipping empty items. Every item must be a
// decimal client id (digits only, at most 4294967295); ids are given back in decimal
// without leading zeros, each once. 0, or -1 after the offending item was logged (also when
// no id remains).
int parse_client_ids(std::string_view text, std::vector<std::string> &ids);

// Queues one 'forceclient' row per id for zonefeedd. 0 or -1 (logged).
int queue_client_imports(sql_conn *db, const std::vector<std::string> &ids);
// Withdraws the queued 'forceclient' rows of these ids. 0 or -1 (logged).
int withdraw_client_imports(sql_conn *db, const std::vector<std::string> &ids);

// Queues the 'writeacl' request for zonebuildd. 0 or -1 (logged).
int queue_write_acl(sql_conn *db);
// Withdraws the queued 'writeacl' requests. 0 or -1 (logged).
int withdraw_write_acl(sql_conn *db);

extern const char *const zonefeed_usage;
extern const char *const zonebuild_usage;
