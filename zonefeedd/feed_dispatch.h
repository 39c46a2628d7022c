// The threaded phase of an import run: up to MAX_DOWNLOAD_THREADS downloader threads take
// feeds from the download queue one after the other, and one result thread takes every
// downloaded feed from the result queue as it arrives.
//
// The thread list bounds the downloaders alive; when the system refuses a new thread the
// bound drops to the threads that run, and with none running the run stops dispatching.
// Threads are never cancelled: each transfer ends by its own time limits, so a stalled feed
// holds only its own downloader for that long and the others go on.
//
// Owns the thread list, the two queues and the threads; what happens to a failed download
// and to a downloaded feed is the caller's (the two callbacks of feed_run).
#pragma once

#include "feed_download.h"
#include "feed_record.h"

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <pthread.h>
#include <vector>

// While it lives, the calling thread blocks the asynchronous signals, so that threads
// started meanwhile inherit a mask that leaves the daemon's signals to the main thread.
struct signals_blocked {
    sigset_t old;
    signals_blocked();
    ~signals_blocked();
    signals_blocked(const signals_blocked &) = delete;
    signals_blocked &operator=(const signals_blocked &) = delete;
};

struct thread_list {
    struct entry {
        pthread_t id;
        bool finished = false;
    };
    std::mutex lock;
    std::condition_variable changed; // a downloader finished
    std::list<entry> entries;
    int max = 20;
    int current = 0;
    int peak = 0; // most downloaders alive at once in this run
    // Starts a thread (pthread_create; tests put a failing one here).
    std::function<int(pthread_t *, void *(*)(void *), void *)> create;
};

void init_tid_list(thread_list &tl, int max);
// Under tl.lock: appends a started thread. -1 when the list is full.
int add_tid(thread_list &tl, pthread_t id);
// A downloader marks itself finished as it ends. -1 when it is not listed.
int remove_tid(thread_list &tl, pthread_t id);
// Under tl.lock: joins every finished thread and drops its entry.
void main_join(thread_list &tl);
// Under tl.lock: the maximum becomes the number of threads alive.
void lower_max_th(thread_list &tl);

struct feed_run {
    download_options options;
    std::string work_dir;

    // Download queue: the feeds not yet taken by a downloader.
    std::mutex download_lock;
    std::deque<feed_record *> download_queue;
    // Result queue: downloaded feeds waiting for the result thread.
    std::mutex result_lock;
    std::condition_variable result_ready;
    std::deque<feed_record *> result_queue;
    bool downloads_running = true; // under result_lock

    std::atomic<long long> largest_download{0};
    thread_list threads;

    // Runs on the downloader thread after a failed transfer.
    std::function<void(feed_record &, const download_outcome &)> on_failure;
    // Runs on the result thread for each downloaded feed, in the order they arrived.
    std::function<void(feed_record &)> on_result;
};

// Downloads every queued feed with at most `max_threads` downloaders while the result thread
// handles the results, and returns once every thread has ended. 0, or -1 when no downloader
// could be started for feeds that were left (they are not downloaded).
[[nodiscard]] int run_downloads(feed_run &run, int max_threads);
