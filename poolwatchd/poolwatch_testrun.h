// Test runs: what a pool's test script is given (path, one argument, environment) and the
// running of it in a child process with a time limit. The script runs in a process group
// of its own; when it ends, runs out of time or leaves processes behind, the whole group
// goes, and nothing of it outlives the run.
#pragma once

#include "poolwatch_pollset.h"
#include "poolwatch_tally.h"
#include "sql.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Longest "NAME=value" pair given to a script.
inline constexpr size_t POOLWATCH_ENV_PAIR_MAX = 512;
// Seconds a script may take to end after the time limit's SIGTERM before it is killed.
inline constexpr int POOLWATCH_KILL_GRACE = 5;

// The script's path: `dir`, a "/" unless `dir` ends in one, and `script`. -1 (logged) when
// `script` is not a plain file name inside `dir`: empty, ".", "..", or holding a "/".
int poolwatch_script_path(const std::string &dir, const std::string &script,
                          const std::string &protocol, std::string &path);

// The test URL with the first "$RR" (or, without one, the first "$rr") replaced by `value`.
std::string poolwatch_build_cmd_args(const std::string &test_url, const std::string &value);

// A name the daemon will put into a script's environment: a plain identifier that no shell,
// dynamic loader or interpreter reads as an instruction (the scripts run as root).
bool poolwatch_valid_env_name(std::string_view name);

// One row of `rrobin_protocol_options` (nullopt for NULL).
struct env_row {
    std::optional<std::string> name, value;
};

// The script's environment from the pool's options: "TIMEOUT=20" first (the pool's own
// TIMEOUT replaces it), then one "NAME=value" per usable row in order. Nothing else.
std::vector<std::string> poolwatch_build_environment(const std::vector<env_row> &rows,
                                                     const std::string &poll_name);

// Reads the pool's options and builds the environment. 0, or -1 when the query failed.
int poolwatch_fetch_poll_environment(sql_conn *db, const pool_poll &p,
                                     std::vector<std::string> &env);
// Reads the pool's records in query order, skipping incomplete rows. 0, or -1 when the query
// failed; an empty list (warned) when the pool has none left.
int poolwatch_fetch_poll_resource_records(sql_conn *db, const pool_poll &p,
                                          std::vector<pool_record> &records);

// How a script run ended.
enum script_end {
    SCRIPT_SIGNALLED = 0,   // ended by a signal other than the time limit's
    SCRIPT_EXITED = 1,      // exited on its own
    SCRIPT_TIMED_OUT = 2,   // still running at the time limit, then terminated
    SCRIPT_NOT_STARTED = 3, // no process could be created
    SCRIPT_EXEC_FAILED = 4, // the process could not become the script
};

struct script_limits {
    int timeout_s = 60;                 // SIGTERM to the script's group this long after the start
    int grace_s = POOLWATCH_KILL_GRACE; // then SIGKILL this long after the first SIGTERM
};

struct script_run {
    script_end end = SCRIPT_NOT_STARTED;
    int exit_code = -1; // SCRIPT_EXITED
    int signal = 0;     // SCRIPT_SIGNALLED, SCRIPT_TIMED_OUT: the signal that ended it
    int error = 0;      // SCRIPT_NOT_STARTED, SCRIPT_EXEC_FAILED: errno
};

// Runs `path` with argument zero `path`, argument one `arg` and exactly `env`; standard
// input and output are the null device. The script starts in a process group of its own with
// default signal dispositions, an empty signal mask and no descriptor beyond the standard
// three, whatever the calling thread has blocked or opened.
script_run poolwatch_run_script(const std::string &path, const std::string &arg,
                                const std::vector<std::string> &env, const script_limits &limits);

// The test outcome of a run: exit code 0 is UP; any other exit, the time limit and a failed
// start of the script are DOWN; a failed process creation and an end by another signal count
// as UP.
int poolwatch_run_outcome(const script_run &run);

// Makes this process the reaper of its orphaned descendants, so that what a script leaves
// behind comes back to the run that reaps it. 0 or -1.
int poolwatch_become_subreaper();

// One record's test (poolwatch_launch_record_testscript): runs the script with the
// diagnostics of a test run and gives the outcome.
int poolwatch_launch_record_testscript(const pool_poll &p, const std::string &path,
                                       const std::string &arg, const std::vector<std::string> &env,
                                       const pool_record &rec, const script_limits &limits);
