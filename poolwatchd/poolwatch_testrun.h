// Test runs: what a pool's test script is given (path, one argument, environment, account,
// time limit) and what its run means. The script runs through the shared program runner, in
// a process group of its own; when it ends, runs out of time or leaves processes behind, the
// whole group goes, and nothing of it outlives the run.
#pragma once

#include "poolwatch_config.h"
#include "poolwatch_pollset.h"
#include "poolwatch_tally.h"
#include "program_runner.h"
#include "sql.h"

#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
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

// A name the daemon will put into a script's environment: a plain identifier (letters,
// digits, "_", not starting with a digit) that nothing a script may start reads at start-up
// as code, a library or a configuration to load. Pool options are written by the panel's
// users; the names refused, compared without regard to case ("*" ends a prefix):
//   C library and loader: LD_*, MALLOC_*, GLIBC_TUNABLES, GCONV_PATH, LOCPATH, NLSPATH,
//     HOSTALIASES, LOCALDOMAIN, RES_OPTIONS, RESOLV_*, TZDIR, GETCONF_DIR, MEMUSAGE_*,
//     SEGFAULT_*, LIBC_FATAL_STDERR_
//   shells: PATH, IFS, ENV, BASH_ENV, BASH_*, SHELLOPTS, BASHOPTS, CDPATH, GLOBIGNORE,
//     PS1 to PS4, PROMPT_COMMAND, HISTFILE, INPUTRC, ZDOTDIR, HOME
//   Perl: PERL*; Python: PYTHON*, BROWSER; Node.js: NODE_*, NPM_CONFIG_*; Ruby: RUBY*, GEM_*,
//     BUNDLE_*; PHP: PHPRC, PHP_*; Java: JAVA_TOOL_OPTIONS, _JAVA_OPTIONS, JDK_JAVA_OPTIONS,
//     CLASSPATH; Tcl: TCL*; Lua: LUA_*
//   tools a script may call: OPENSSL_*, CURL_HOME, WGETRC, GIT_*, XDG_*
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
[[nodiscard]] int poolwatch_fetch_poll_environment(sql_conn *db, const pool_poll &p,
                                                   std::vector<std::string> &env);
// Reads the pool's records in query order, skipping incomplete rows and records that are not
// the pool's to switch (another zone's, or in a zone that is not active). 0, or -1 when the
// query failed; an empty list (warned) when the pool has none left.
[[nodiscard]] int poolwatch_fetch_poll_resource_records(sql_conn *db, const pool_poll &p,
                                                        std::vector<pool_record> &records);

struct script_limits {
    int timeout_s = 60;                 // SIGTERM to the script's group this long after the start
    int grace_s = POOLWATCH_KILL_GRACE; // then SIGKILL this long after the first SIGTERM
    // A descriptor that becomes readable when the daemon stops (-1: none): the script is then
    // ended at once, as at its time limit, and the run is RUN_STOPPED.
    int stop_fd = -1;
};

// The run of a script (for run_child_program): `path` with argument zero `path`, argument one
// `arg` and exactly `env`, under `account`, standard streams on the null device.
program_run poolwatch_script_run(const std::string &path, const std::string &arg,
                                 const std::vector<std::string> &env, const script_limits &limits,
                                 const script_account &account = {});

// The test outcome of a run. Only the script's exit status (0 UP, anything else DOWN) and
// the daemon's own time limit (DOWN) are answers; a run that could not start, could not
// become the script, was ended by a signal from elsewhere or stopped because the daemon goes
// down is OUTCOME_NONE.
int poolwatch_run_outcome(const run_result &run);
// Why a run gave no answer, for the event row: "no process could be created: ...", ...
std::string poolwatch_run_failure(const run_result &run);

// One record's test (poolwatch_launch_record_testscript): runs the script with the
// diagnostics of a test run and gives how it ended.
run_result poolwatch_launch_record_testscript(const pool_poll &p, const std::string &path,
                                              const std::string &arg,
                                              const std::vector<std::string> &env,
                                              const pool_record &rec, const script_limits &limits,
                                              const script_account &account);
