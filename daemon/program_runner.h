// Running a child program (rndc, the mail program, test scripts) without a shell: an
// explicit argument vector and environment, a time limit after which the program's whole
// process group gets SIGTERM and, after a grace period, SIGKILL, and the exit status.
// Standard input is the given text or the null device; standard output and error are
// captured up to a limit or go to the null device.
//
// The program starts in a process group of its own with default signal dispositions, an
// empty signal mask and no descriptor beyond the standard three, whatever the calling
// thread has blocked or opened; it may be given an account to run under and a descriptor
// that ends it early. When it ends, whatever it left in its group is killed; a process that
// called run_become_subreaper() also reaps the orphans the program left.
//
// Owns the child and the pipes; touches nothing else. Safe to call from several threads.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// An account to run a program under (the caller must be root to switch to it).
struct run_account {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups; // supplementary groups
};

struct program_run {
    std::string path;              // the program (absolute, or relative to the working dir)
    std::vector<std::string> argv; // argv[0] first; empty: just the path
    // nullopt: this process's environment.
    std::optional<std::vector<std::string>> env;
    std::optional<std::string> input; // standard input; nullopt: the null device
    bool capture = false;             // standard output and error into run_result::output
    size_t capture_limit = 64 * 1024; // bytes kept; the rest is read and dropped
    std::chrono::milliseconds limit{std::chrono::seconds(60)}; // then SIGTERM to the group
    std::chrono::milliseconds grace{std::chrono::seconds(5)};  // then SIGKILL
    // Groups, gid and uid the program gets before the exec; nullopt: ours.
    std::optional<run_account> account;
    // A descriptor that becomes readable when the caller wants the program ended before its
    // limit (a daemon going down): it is then stopped as at the limit, and ends RUN_STOPPED.
    int stop_fd = -1;
};

enum run_end {
    RUN_EXITED = 0,  // exited on its own: exit_code
    RUN_SIGNALLED,   // ended by a signal that was not ours: signal
    RUN_TIMED_OUT,   // still running at the limit, then stopped by us
    RUN_NOT_STARTED, // no process could be created: error
    RUN_EXEC_FAILED, // the process could not become the program: error
    RUN_STOPPED,     // ended by us early, when stop_fd became readable
};

struct run_result {
    run_end end = RUN_NOT_STARTED;
    int exit_code = -1;
    int signal = 0;
    int error = 0;
    std::string output;
    bool truncated = false; // output beyond capture_limit was dropped

    bool succeeded() const { return end == RUN_EXITED && exit_code == 0; }
};

[[nodiscard]] run_result run_child_program(const program_run &run);

// A short text for a diagnostic line: "exit code 3", "signal 9", "timed out", ...
std::string run_result_text(const run_result &r);

// Makes this process the reaper of its orphaned descendants, so that what a program leaves
// behind comes back to the run that reaps it. 0 or -1.
[[nodiscard]] int run_become_subreaper();

// Reaps every ended child that is not a program under way in run_child_program: the orphans
// a reaper inherits, such as descendants that left their program's process group. Only for
// a process whose every other child is such an orphan (it would take the exit status of a
// child it did not start through the runner).
void run_reap_orphans();
