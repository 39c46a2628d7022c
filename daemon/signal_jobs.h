// Signals turned into a queue of jobs for a daemon's loop.
//
// A handler may not allocate or take locks, so it only writes the job kind as one byte into
// a self-pipe (a stop signal also sets a flag); the loop moves those bytes into the queue in
// normal context whenever it looks at it. Kinds keep the order in which they were asked for,
// and a request of a kind that already waits is not queued again (the waiting job will
// serve it: it has not started yet). The same pipe wakes the loop's sleep, so a request or
// a stop that arrives at any moment (also between "is the queue empty?" and the sleep) ends
// the sleep at once.
//
//   signal_jobs jobs;
//   jobs.open();
//   jobs.install({{SIGUSR1, 1}, {SIGUSR2, 2}, {SIGHUP, 3}, {SIGTTIN, 4}}, {SIGTERM, SIGINT});
//   while (!jobs.stopping()) { int kind = jobs.take(); if (!kind) jobs.sleep(...); ... }
//
// One queue per process receives the signals (the one opened last). Owns the pipe, the
// queue and the handlers of the signals it was given; touches nothing else.
#pragma once

#include <csignal>
#include <ctime>
#include <deque>
#include <initializer_list>

struct signal_job {
    int signal;
    int kind; // 1..255; 0 is "no job"
};

// How requests of one kind collapse.
enum collapse_rule {
    COLLAPSE_WAITING,     // not queued when the same kind already waits anywhere in the queue
    COLLAPSE_CONSECUTIVE, // not queued when the last queued job is of the same kind
};

class signal_jobs {
  public:
    explicit signal_jobs(collapse_rule rule = COLLAPSE_WAITING);
    signal_jobs(const signal_jobs &) = delete;
    signal_jobs &operator=(const signal_jobs &) = delete;
    // Closes the pipe; the handlers stay but write nowhere.
    ~signal_jobs();

    // Empties the queue, clears a stop request, opens the pipe and makes this the queue the
    // handlers write to. 0 or -1.
    [[nodiscard]] int open();
    // Installs the handlers (SA_RESTART; all the given signals blocked while one runs):
    // each signal of `map` queues its kind, each of `stop` requests a stop. 0 or -1.
    [[nodiscard]] int install(std::initializer_list<signal_job> map,
                              std::initializer_list<int> stop);

    // Queues a job from normal context (collapsing as the rule says).
    void add(int kind);
    // The next job kind, 0 when none waits.
    int take();
    bool empty();
    // The waiting kinds, first to last (for tests and diagnostics).
    std::deque<int> waiting();

    // Asks the loop to stop (as a stop signal does) and wakes its sleep.
    void request_stop();
    bool stopping() const { return stop_flag() != 0; }
    // Stop requests since open() (counting stops at a few): the first lets the job in
    // progress finish, a further one may abandon it.
    int stop_requests() const { return stop_flag(); }
    // A stop was asked for again while a job ran: the job may be given up.
    bool abandoning() const { return stop_requests() >= 2; }

    // Sleeps up to `delay` unless a job waits or a stop is asked for first. 0 when the whole
    // delay passed, 1 when it ended early for a job or a stop, -1 on an error.
    [[nodiscard]] int sleep(struct timespec delay);

    // Readable when a signal arrived: poll it beside other descriptors, then call empty()
    // or take() to take the bytes in.
    int wake_fd() const { return rd_; }

    // In a forked child: closes the pipe without touching the parent's queue; the job
    // signals are ignored from then on, SIGTERM takes its default action (a worker ends at
    // once when the parent stops it) and the other stop signals are ignored (an interrupt
    // typed at the terminal reaches the whole process group; the parent decides whether
    // its workers finish).
    void forget();

    // Async-signal-safe: queues `kind` (0 only wakes the sleeper) for the open queue.
    static void signal_kind(int kind);
    // The stop requests the stop signals count (also for loops that read it directly:
    // non-zero means stop).
    static volatile sig_atomic_t &stop_flag();

  private:
    void take_in();
    void push(int kind);
    collapse_rule rule_;
    sigset_t job_signals_{}, stop_signals_{};
    std::deque<int> jobs_;
    int rd_ = -1, wr_ = -1;
};
