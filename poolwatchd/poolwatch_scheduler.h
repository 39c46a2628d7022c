// The round-robin scheduler: one thread that starts a worker per poll whenever the poll's
// monitoring interval has passed, never more than POOLWATCH_CONCURRENCY at once. A due poll
// that finds every worker busy is postponed by POOLWATCH_DRIFT seconds, or starts as soon as
// a worker ends, whichever comes first; waiting polls take freed workers in the order they
// fell due. The worker pool's table and count change only under its lock; worker threads
// are joined by the scheduler, never left running at shutdown.
#pragma once

#include "poolwatch_pollset.h"

#include <condition_variable>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

struct worker_pool {
    std::mutex lock;
    std::condition_variable cv;         // signalled whenever a worker ends
    int count = 0;                      // workers that run
    std::map<int, std::thread> running; // poll id -> its worker
    std::vector<std::thread> finished;  // workers that ended, to be joined
};

// What a scheduler pass may do with the workers.
struct spawn_context {
    int limit = 4;                                // POOLWATCH_CONCURRENCY
    int drift = 7;                                // POOLWATCH_DRIFT
    std::function<int()> workers;                 // how many run now
    std::function<bool(int)> is_running;          // whether a worker runs for this poll id
    std::function<void(const pool_poll &)> start; // starts a worker for the poll
};

// Seconds the scheduler sleeps when there is no poll at all.
inline constexpr int POOLWATCH_IDLE_SLEEP = 60;
// Longest sleep between two passes.
inline constexpr int POOLWATCH_MAX_SLEEP = 3600;

// One pass (caller holds the poll table's lock): starts every poll whose next run has come
// and every postponed poll while workers are free, the longest waiting first, reschedules
// them, and gives the number of seconds until the next poll falls due.
int poolwatch_spawn(std::map<int, poll_entry> &entries, time_t now, const spawn_context &ctx);
// Lists, at DEBUG level, the polls that fall due after `sleep` seconds.
void poolwatch_schedule(const std::map<int, poll_entry> &entries, int sleep);
// Restarts every poll's schedule from `now` (after a reload).
void poolwatch_reset_rrsched(std::map<int, poll_entry> &entries, time_t now);

// Starts a worker thread for a copy of the poll. 0 or -1.
int poolwatch_create_thread(const pool_poll &p);
// Called by a worker as its last act on shared state: leaves the pool and wakes the waiters.
void poolwatch_worker_done(int poll_id);
// Joins the workers that have ended.
void poolwatch_reap_workers();
// Waits until no worker runs, then joins them all.
void poolwatch_wait_workers();

// The scheduler thread.
void poolwatch_schedule_pollset();
