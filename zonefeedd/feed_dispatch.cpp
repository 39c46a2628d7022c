#include "feed_dispatch.h"

#include "logging.h"

#include <cstring>
#include <mysql.h>

namespace {

struct downloader_start {
    feed_run *run;
    feed_record *first;
};

feed_record *take_download(feed_run &run) {
    std::lock_guard<std::mutex> lock(run.download_lock);
    if (run.download_queue.empty())
        return nullptr;
    feed_record *feed = run.download_queue.front();
    run.download_queue.pop_front();
    return feed;
}

void fetch_one(feed_run &run, CURL *handle, feed_record &feed) {
    download_outcome outcome;
    if (download_url(handle, feed, run.options, run.work_dir, outcome) != 0) {
        LOGF(LOG_INFO, "Download of %s failed with cURL code %d. Skipping...", feed.url.c_str(),
             outcome.code);
        if (!outcome.error.empty())
            LOGF(LOG_DEBUG, "%s: %s", feed.url.c_str(), outcome.error.c_str());
        if (run.on_failure)
            run.on_failure(feed, outcome);
        return;
    }
    if (url_content_changed(feed, outcome.hash) == 0)
        feed.unchanged = true;
    long long seen = run.largest_download.load();
    while (outcome.size > seen && !run.largest_download.compare_exchange_weak(seen, outcome.size)) {
    }
    {
        std::lock_guard<std::mutex> lock(run.result_lock);
        run.result_queue.push_back(&feed);
    }
    run.result_ready.notify_one();
}

extern "C" void *downloader(void *arg) {
    const downloader_start start = *static_cast<downloader_start *>(arg);
    delete static_cast<downloader_start *>(arg);
    feed_run &run = *start.run;
    mysql_thread_init();
    transfer_handle handle = make_transfer_handle();
    for (feed_record *feed = start.first; feed; feed = take_download(run)) {
        try {
            fetch_one(run, handle.get(), *feed);
        } catch (const std::exception &e) {
            LOGF(LOG_ERR, "Download of %s failed: %s", feed->url.c_str(), e.what());
        }
    }
    handle.reset();
    mysql_thread_end();
    remove_tid(run.threads, pthread_self());
    return nullptr;
}

extern "C" void *result_thread(void *arg) {
    feed_run &run = *static_cast<feed_run *>(arg);
    mysql_thread_init();
    for (;;) {
        std::deque<feed_record *> batch;
        {
            std::unique_lock<std::mutex> lock(run.result_lock);
            run.result_ready.wait(
                lock, [&] { return !run.result_queue.empty() || !run.downloads_running; });
            if (run.result_queue.empty())
                break;
            batch.swap(run.result_queue);
        }
        for (feed_record *feed : batch) {
            try {
                if (run.on_result)
                    run.on_result(*feed);
            } catch (const std::exception &e) {
                LOGF(LOG_ERR, "Processing the file of %s failed: %s", feed->url.c_str(), e.what());
            }
        }
    }
    mysql_thread_end();
    return nullptr;
}

int default_create(pthread_t *t, void *(*fn)(void *), void *arg) {
    signals_blocked blocked;
    return pthread_create(t, nullptr, fn, arg);
}

// Waits for every downloader to end.
void join_all(thread_list &tl) {
    std::unique_lock<std::mutex> lock(tl.lock);
    for (;;) {
        main_join(tl);
        if (tl.current == 0)
            return;
        tl.changed.wait(lock);
    }
}

// The dispatch loop: starts a downloader per feed while the list has room. -1 when feeds
// were left because no thread could be started.
int dispatch(feed_run &run) {
    thread_list &tl = run.threads;
    feed_record *held = nullptr;
    std::unique_lock<std::mutex> lock(tl.lock);
    for (;;) {
        main_join(tl);
        if (tl.current >= tl.max) {
            tl.changed.wait(lock);
            continue;
        }
        if (!held && !(held = take_download(run)))
            return 0;
        auto *start = new downloader_start{&run, held};
        pthread_t id;
        const int err = tl.create(&id, downloader, start);
        if (err == 0) {
            add_tid(tl, id);
            held = nullptr;
            continue;
        }
        delete start;
        main_join(tl);
        if (tl.current == 0) {
            LOGF(LOG_ERR,
                 "Cannot create a necessary thread (max: %d, current: %d) "
                 "(pthread_create(): %s)",
                 tl.max, tl.current, strerror(err));
            return -1;
        }
        lower_max_th(tl);
    }
}

} // namespace

signals_blocked::signals_blocked() {
    sigset_t all;
    sigfillset(&all);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP})
        sigdelset(&all, sig);
    pthread_sigmask(SIG_BLOCK, &all, &old);
}

signals_blocked::~signals_blocked() {
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void init_tid_list(thread_list &tl, int max) {
    std::lock_guard<std::mutex> lock(tl.lock);
    tl.entries.clear();
    tl.max = max > 0 ? max : 1;
    tl.current = 0;
    tl.peak = 0;
    if (!tl.create)
        tl.create = default_create;
}

int add_tid(thread_list &tl, pthread_t id) {
    if (tl.current >= tl.max)
        return -1;
    tl.entries.push_back({id, false});
    ++tl.current;
    tl.peak = std::max(tl.peak, tl.current);
    return 0;
}

int remove_tid(thread_list &tl, pthread_t id) {
    int rc = -1;
    {
        std::lock_guard<std::mutex> lock(tl.lock);
        for (auto &e : tl.entries)
            if (pthread_equal(e.id, id)) {
                e.finished = true;
                rc = 0;
                break;
            }
    }
    tl.changed.notify_all();
    return rc;
}

void main_join(thread_list &tl) {
    for (auto it = tl.entries.begin(); it != tl.entries.end();) {
        if (!it->finished) {
            ++it;
            continue;
        }
        pthread_join(it->id, nullptr);
        it = tl.entries.erase(it);
        --tl.current;
    }
}

void lower_max_th(thread_list &tl) {
    tl.max = tl.current;
}

int run_downloads(feed_run &run, int max_threads) {
    init_tid_list(run.threads, max_threads);
    {
        std::lock_guard<std::mutex> lock(run.result_lock);
        run.downloads_running = true;
    }
    pthread_t results;
    int err;
    {
        signals_blocked blocked;
        err = pthread_create(&results, nullptr, result_thread, &run);
    }
    if (err != 0) {
        LOGF(LOG_ERR, "Failed to create result processing thread.");
        return -1;
    }
    const int rc = dispatch(run);
    join_all(run.threads);
    {
        std::lock_guard<std::mutex> lock(run.result_lock);
        run.downloads_running = false;
    }
    run.result_ready.notify_all();
    pthread_join(results, nullptr);
    return rc;
}
