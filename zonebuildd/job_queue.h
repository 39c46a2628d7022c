// The daemon's job queue: the jobs that signals ask for, in the order they were asked for.
//
// A signal handler may not allocate or take locks, so it only writes the job kind as one
// byte into a self-pipe (`job_queue_signal`); the loop moves those bytes into the FIFO in
// normal context whenever it looks at the queue. A request of a kind that already waits in
// the queue is dropped (the waiting job serves it: it has not started yet), so the queue
// holds at most one job per kind, in the order their first requests came. The same pipe
// wakes the daemon's sleep, so a request or a stop that arrives at any moment (also between
// "is the queue empty?" and the sleep) ends the sleep at once.
//
// Owns the pipe and the FIFO; touches nothing else.
#pragma once

#include <csignal>
#include <ctime>
#include <deque>

enum job_kind {
    JOB_NONE = 0,    // queue empty (also the wake-up byte of a stop request)
    JOB_CHANGES = 1, // write the zones changed since the last run
    JOB_RESTORE = 2, // rewrite every zone, the include file and the ACL file
    JOB_REREAD = 3,  // reread the configuration
    JOB_CUSTOM = 4,  // serve the queued "writeacl" requests
};

struct job_queue {
    std::deque<int> jobs;
    int rd = -1; // self-pipe, both ends non-blocking and close-on-exec
    int wr = -1;
};

// Makes `q` empty and opens its pipe; the pipe becomes the target of job_queue_signal.
// 0, or -1 when the pipe cannot be made.
int init_daemon_job_list(job_queue &q);
// Drops every queued job and closes the pipe.
void destroy_daemon_job_list(job_queue &q);
// Appends a job unless one of that kind already waits (normal context).
void add_djob(job_queue &q, int kind);
// Async-signal-safe: records `kind` for the queue opened last (JOB_NONE only wakes the
// sleeper). errno is preserved. A full pipe drops the request (tens of thousands pending).
void job_queue_signal(int kind);
// Closes the pipe in a forked child without touching the parent's queue.
void job_queue_forget(job_queue &q);

// Takes the next job (the oldest waiting kind). JOB_NONE when the queue is empty.
int take_job(job_queue &q);
// Whether no job waits (after taking in what the signal handlers wrote).
bool job_queue_empty(job_queue &q);

// Sleeps up to `delay` unless a job is queued or `running` is cleared first. 0 when the
// whole delay passed, 1 when it ended early for a job or a stop request, -1 on an error.
int job_queue_sleep(job_queue &q, struct timespec delay, const volatile sig_atomic_t &running);
