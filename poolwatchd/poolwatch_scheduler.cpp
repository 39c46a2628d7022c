#include "poolwatch_scheduler.h"

#include "logging.h"
#include "poolwatch_state.h"
#include "poolwatch_worker.h"

#include <algorithm>
#include <system_error>

int poolwatch_spawn(std::map<int, poll_entry> &entries, time_t now, const spawn_context &ctx) {
    if (entries.empty()) {
        LOGF(LOG_WARNING, "No poll, no script to be spawned.");
        return POOLWATCH_IDLE_SLEEP;
    }
    int sleep = POOLWATCH_MAX_SLEEP;
    // The polls that may start now, longest waiting first: while workers are scarce, a poll
    // kept waiting must not lose its turn to one that fell due after it.
    std::vector<poll_entry *> due;
    for (auto &[id, e] : entries) {
        if (e.postponed || e.next_run <= now) {
            if (!e.postponed)
                e.due_since = e.next_run;
            due.push_back(&e);
            continue;
        }
        e.wait = static_cast<int>(e.next_run - now);
        sleep = std::min(sleep, e.wait);
    }
    std::stable_sort(due.begin(), due.end(), [](const poll_entry *a, const poll_entry *b) {
        return a->due_since < b->due_since;
    });
    for (poll_entry *e : due) {
        const int busy = ctx.workers();
        if (busy < ctx.limit) {
            e->postponed = false;
            e->next_run = now + e->poll.monit_interval;
            e->wait = e->poll.monit_interval;
            sleep = std::min(sleep, e->wait);
            if (ctx.is_running(e->poll.id))
                LOGF(LOG_WARNING, "Test script for poll: \"%s\" is already running.",
                     e->poll.protocol_code.c_str());
            else
                ctx.start(e->poll);
            continue;
        }
        // Every worker is busy: the poll starts when one is freed, at the latest after the
        // drift. A poll that waits already is not pushed further back until then.
        if (!e->postponed || e->next_run <= now) {
            LOGF(LOG_WARNING, "Maximum number of threads has been reached: %d", busy);
            e->next_run = now + ctx.drift;
        }
        e->postponed = true;
        e->wait = static_cast<int>(e->next_run - now);
        sleep = std::min(sleep, e->wait);
    }
    LOGF(LOG_DEBUG, "Scheduler will wake up again after: %d seconds had passed.", sleep);
    return sleep;
}

void poolwatch_schedule(const std::map<int, poll_entry> &entries, int sleep) {
    if (entries.empty() || get_log_level() < LOG_DEBUG)
        return;
    LOGF(LOG_DEBUG,
         "Set of polls that will be started after %d seconds, contains following polls:", sleep);
    for (const auto &[id, e] : entries) {
        if (e.wait == sleep)
            LOGF(LOG_DEBUG, "\"%s\"", e.poll.name.c_str());
    }
}

void poolwatch_reset_rrsched(std::map<int, poll_entry> &entries, time_t now) {
    for (auto &[id, e] : entries) {
        e.postponed = false;
        e.next_run = now + e.poll.monit_interval;
        e.wait = e.poll.monit_interval;
    }
}

int poolwatch_create_thread(const pool_poll &p) {
    worker_pool &w = pw().workers;
    std::lock_guard guard(w.lock);
    try {
        // Entered under the lock: the worker cannot leave the table before it is in it.
        w.running.emplace(p.id, std::thread(poolwatch_launch_poll, p));
    } catch (const std::system_error &) {
        LOGF(LOG_ERR, "Internal error: system lacked the necessary resources to create another "
                      "thread(poll test thread).");
        return -1;
    } catch (const std::bad_alloc &) {
        LOGF(LOG_ERR, "Internal error: not enough memory, aborting poll: \"%s\".", p.name.c_str());
        return -1;
    }
    ++w.count;
    return 0;
}

void poolwatch_worker_done(int poll_id) {
    poolwatch_daemon &d = pw();
    {
        std::lock_guard guard(d.workers.lock);
        auto it = d.workers.running.find(poll_id);
        if (it != d.workers.running.end()) {
            d.workers.finished.push_back(std::move(it->second));
            d.workers.running.erase(it);
        }
        --d.workers.count;
        d.workers.cv.notify_all();
    }
    // A postponed poll may take the freed worker at once.
    d.scheduler_wake.kick();
}

void poolwatch_reap_workers() {
    std::vector<std::thread> done;
    {
        worker_pool &w = pw().workers;
        std::lock_guard guard(w.lock);
        done.swap(w.finished);
    }
    for (std::thread &t : done)
        t.join();
}

void poolwatch_wait_workers() {
    worker_pool &w = pw().workers;
    LOGF(LOG_NOTICE, "Waiting running polls to end.");
    {
        std::unique_lock guard(w.lock);
        w.cv.wait(guard, [&] { return w.count == 0; });
    }
    poolwatch_reap_workers();
    LOGF(LOG_NOTICE, "Running polls were stopped.");
}

namespace {

spawn_context daemon_spawn_context() {
    const poolwatch_config cfg = poolwatch_config_copy();
    spawn_context ctx;
    ctx.limit = cfg.concurrency;
    ctx.drift = cfg.drift;
    ctx.workers = [] {
        worker_pool &w = pw().workers;
        std::lock_guard guard(w.lock);
        return w.count;
    };
    ctx.is_running = [](int id) {
        worker_pool &w = pw().workers;
        std::lock_guard guard(w.lock);
        return w.running.count(id) > 0;
    };
    ctx.start = [](const pool_poll &p) { poolwatch_create_thread(p); };
    return ctx;
}

} // namespace

void poolwatch_schedule_pollset() {
    poolwatch_daemon &d = pw();
    d.scheduler_sem.acquire();
    int sleep = 0;
    bool reset = false;
    while (true) {
        poolwatch_reap_workers();
        const int state = d.state;
        if (state == STATE_TERMINATING)
            break;
        if (state == STATE_RELOADING) {
            LOGF(LOG_NOTICE, "Preparing to re-read configuration file.");
            poolwatch_wait_workers();
            d.scheduler_sem.release();
            d.reload_sem.acquire(); // held by the reload until it is done
            d.reload_sem.release();
            reset = true;
            d.scheduler_sem.acquire();
            continue;
        }

        const time_t now = time(nullptr);
        try {
            std::lock_guard guard(d.polls.lock);
            if (reset) {
                LOGF(LOG_NOTICE, "Round robin scheduler reset done.");
                poolwatch_reset_rrsched(d.polls.entries, now);
                reset = false;
            }
            sleep = poolwatch_spawn(d.polls.entries, now, daemon_spawn_context());
            poolwatch_schedule(d.polls.entries, sleep);
        } catch (const std::exception &e) {
            LOGF(LOG_DEBUG, "Scheduler pass abandoned: %s", e.what());
            sleep = 1;
        }
        d.scheduler_wake.sleep_until(std::chrono::system_clock::from_time_t(now + sleep));
    }
    LOGF(LOG_NOTICE, "Preparing to halt.");
    poolwatch_wait_workers();
    d.scheduler_sem.release();
}
