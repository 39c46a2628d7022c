// A group of forked worker processes that share one job: each reports progress through a
// pipe, a worker that reports nothing for the stall limit is taken as hung, and the group
// is stopped with SIGTERM, a short grace, then SIGKILL. Every worker is reaped before the
// group is gone.
//
//   worker_group group(std::chrono::seconds(120));
//   for (...) if (group.start([&](worker_progress &p) { ...; p.beat(); ...; return 0; }) < 0) ...
//   if (group.wait() != 0) group.stop_all();
//
// The parent's diagnostics ("Child[%d] was signaled with %d.", "Child[%d] exited with code
// %d.", "Child[%d] made no progress for %ld seconds: stopping it.") are logged here.
// Owns the worker processes and the progress pipe; in a child it touches only what the
// worker's body does (plus the signal queue given, which the child forgets).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <sys/types.h>
#include <vector>

class signal_jobs;

// A worker's side of the progress pipe.
class worker_progress {
  public:
    worker_progress(int fd, uint32_t slot) : fd_(fd), slot_(slot) {}
    // One unit of work done (a full pipe only loses a beat).
    void beat() const;
    uint32_t slot() const { return slot_; }

  private:
    int fd_;
    uint32_t slot_;
};

class worker_group {
  public:
    // `jobs`: the daemon's signal queue, which a child forgets (may be nullptr).
    explicit worker_group(std::chrono::seconds stall_limit, signal_jobs *jobs = nullptr);
    worker_group(const worker_group &) = delete;
    worker_group &operator=(const worker_group &) = delete;
    // Stops and reaps what still runs.
    ~worker_group();

    // Forks the next worker (slots are numbered from 0 in start order). The child forgets
    // the signal queue, dies with the parent (PR_SET_PDEATHSIG), runs `body` and ends with
    // its result as exit status (1 when it throws); it never returns here. The standard
    // streams are flushed before the fork. The slot, or -1 when the pipe or the fork failed.
    [[nodiscard]] int start(const std::function<int(worker_progress &)> &body);

    // Waits until every worker has ended. 0 when all exited with 0; -1 as soon as one was
    // signalled or exited otherwise, made no progress for the stall limit, or a second stop
    // request came through `jobs` (those still running are left to stop_all()). The first
    // stop request lets the workers finish: the daemon stops once its job is done.
    [[nodiscard]] int wait();

    // SIGTERM to every worker still running, up to `grace` for them to end, then SIGKILL;
    // every worker is reaped before this returns.
    void stop_all(std::chrono::milliseconds grace = std::chrono::seconds(1));

    // Workers started and not yet reaped.
    size_t running() const;
    // The pid of a slot's worker (0 once reaped).
    pid_t pid(int slot) const;

  private:
    struct worker {
        pid_t pid = 0;
        int pidfd = -1;
        std::chrono::steady_clock::time_point last_progress;
    };
    void drain_progress();
    // Reaps the worker of slot `i` if it ended: 1 reaped (its status in `status`), 0 still
    // running, -1 lost.
    int try_reap(worker &w, int &status);
    std::chrono::seconds stall_limit_;
    signal_jobs *jobs_;
    std::vector<worker> workers_;
    int progress_rd_ = -1, progress_wr_ = -1;
};
