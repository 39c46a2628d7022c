// The pool monitor's process-wide state, gathered in one place: run mode, daemon state,
// exit code, configuration, the shared tables, the worker pool and the locks that order a
// reload against the scheduler, the refresher and a second reload.
//
// The daemon state is written by the signal thread and read by every other thread at its
// next wake-up; the configuration is replaced only during a reload, when no worker runs,
// and read through poolwatch_config_copy.
#pragma once

#include "daemon_detach.h"
#include "pid_file.h"
#include "poolwatch_config.h"
#include "poolwatch_pollset.h"
#include "poolwatch_scheduler.h"
#include "poolwatch_tally.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <semaphore>
#include <thread>

enum run_mode { RUN_DETACH = 1, RUN_FOREGROUND = 2 };
enum daemon_state { STATE_RUNNING = 0, STATE_RELOADING = 1, STATE_TERMINATING = 2 };

enum poolwatch_exit {
    EXIT_OK = 0,
    EXIT_TOO_MANY_ARGS = 1,
    EXIT_UNKNOWN_OPTION = 2,
    EXIT_DB_CONNECT = 3,
    EXIT_DB_SELECT = 4,
    EXIT_DB_CONFIG = 5,
    EXIT_NO_PROTOCOL = 6,
    EXIT_PID_FILE = 7,
    EXIT_NOT_RUNNING = 8,
    EXIT_LOCKED = 9,
    EXIT_DAEMONIZE = 10, // detaching, signal set-up or the first thread failed
    EXIT_RESOURCES = 11,
    EXIT_SCRIPT_USER = 12, // POOLWATCH_SCRIPT_USER names no account
};

// A timed sleep that a stop, a reload or a freed worker can cut short. A kick that comes
// while nobody sleeps ends the next sleep at once, so none is lost.
struct wakeup {
    std::mutex lock;
    std::condition_variable cv;
    bool kicked = false;

    void kick();
    void sleep_until(std::chrono::system_clock::time_point deadline);
    void sleep_for(std::chrono::seconds length);
};

struct poolwatch_daemon {
    int run_mode = RUN_DETACH;
    std::atomic<int> state{STATE_RUNNING};
    std::atomic<int> exit_code{EXIT_OK};
    std::atomic<int> db_log_level{3}; // event-log threshold
    pid_file pid;                     // held locked while the daemon runs
    starter_link *starter = nullptr;  // detached: told when the start-up is done

    std::mutex config_lock;
    poolwatch_config config;

    poll_table polls;
    protocol_table protocols;
    tally_table records;
    worker_pool workers;

    // Locks that may be released by another thread than the one that took them.
    std::binary_semaphore scheduler_sem{1};
    std::binary_semaphore reload_sem{1};
    std::binary_semaphore refresh_sem{1};
    std::atomic<bool> refresher_reconnect{false};

    wakeup scheduler_wake;
    wakeup refresher_wake;

    std::mutex stop_lock;
    std::condition_variable stop_cv;
    bool stop = false;

    std::thread main_thread, scheduler_thread, signal_thread;
    int signal_fd = -1;       // the signals the signal thread takes
    int wake_fd = -1;         // wakes the signal thread when the daemon stops on its own
    int scripts_stop_fd = -1; // readable once the daemon stops: running scripts are ended
};

poolwatch_daemon &pw();
poolwatch_config poolwatch_config_copy();
void poolwatch_set_config(const poolwatch_config &cfg);
