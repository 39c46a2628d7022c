#include "feed_workers.h"

#include "event_row.h"
#include "feed_chunk_write.h"
#include "feed_chunks.h"
#include "feed_db.h"
#include "feed_parse.h"
#include "feed_parse_lines.h"
#include "feed_zone_db.h"
#include "feed_zone_rights.h"
#include "files.h"
#include "logging.h"
#include "signal_jobs.h"
#include "worker_group.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using steady = std::chrono::steady_clock;

// Parent to worker: one chunk.
struct chunk_message {
    int32_t feed = 0; // index into write_run::feeds
    int32_t line = 0;
    uint64_t start = 0, end = 0;
};

// Worker to parent: a beat after each zone, or the chunk's outcome.
struct worker_message {
    enum : int32_t { BEAT = 0, CHUNK_DONE = 1 };
    int32_t kind = BEAT;
    int32_t complete = 0; // CHUNK_DONE: the chunk was read to its end without a failed zone
    int32_t failed = 0;   // zones whose write failed
};

struct chunk {
    int feed = 0; // index into write_run::feeds
    work_item item;
};

// The parent's view of a feed during the phase.
struct feed_state {
    bool writing = false;    // scanned, changed or the schedule bypassed: chunks go out
    bool holds_zone = false; // the file has at least one zone header
    bool failed = false;
    int chunks = 0;
    int chunks_done = 0;
    int zones_failed = 0;
};

// Closes a descriptor when it goes out of scope.
struct fd_guard {
    int fd = -1;
    ~fd_guard() {
        if (fd >= 0)
            close(fd);
    }
};

// The bytes [start, end) of a file. false when they cannot be read whole.
bool read_range(const std::string &path, uint64_t start, uint64_t end, std::string &out) {
    fd_guard fd{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (fd.fd < 0 || end < start)
        return false;
    out.resize(end - start);
    size_t got = 0;
    while (got < out.size()) {
        const ssize_t n =
            pread(fd.fd, out.data() + got, out.size() - got, static_cast<off_t>(start + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

// A file holds a zone when one of its blocks has a header that names one. A file without
// any (an empty body, comments only) must never empty the feed's zones.
bool holds_zone(std::string_view text, int feed_id) {
    feed_reader reader{text};
    feed_block block;
    while (next_block(reader, block) == 0) {
        zone_header header;
        const int rc = resolve_header(block.header, header, 0, nullptr, feed_id);
        if (rc == HEADER_OK || rc == HEADER_DUPLICATE)
            return true;
    }
    return false;
}

// Cuts the feed's file into chunks. false when the file cannot be read or cut whole.
bool cut_chunks(sql_conn *db, const write_run &run, int index, size_t chunk_size, feed_state &state,
                std::deque<chunk> &out) {
    const feed_record &feed = *run.feeds[index];
    std::string text;
    if (read_file(feed.local_path, text) != 0) {
        LOGF(LOG_ERR, "Error opening file: %s", feed.local_path.c_str());
        return false;
    }
    state.holds_zone = holds_zone(text, feed.id);
    if (!state.writing)
        return true;
    feed_reader reader{text};
    for (;;) {
        chunk c{index, {}};
        const int rc = get_chunk_bounds(reader, feed, *run.zones, chunk_size, c.item, db);
        if (rc == 1)
            return true;
        if (rc < 0)
            return false;
        out.push_back(c);
        ++state.chunks;
    }
}

// --- the worker ---------------------------------------------------------------------------

void send_message(int fd, const worker_message &m, bool wait) {
    while (send(fd, &m, sizeof m, MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT)) < 0 && errno == EINTR) {
    }
}

sql_handle open_worker_db(const write_settings &settings) {
    std::string error;
    sql_handle db = open_database(settings.db, error);
    if (!db) {
        LOGF(LOG_ERR, "%s", error.c_str());
        LOGF(LOG_ERR, "Failed to reestablish database connection.");
        return nullptr;
    }
    if (zone_write_session(db.get()) != 0)
        return nullptr;
    return db;
}

// A worker's body: chunks until the parent closes its side. The exit status.
int child_parsing(int fd, const write_settings &settings, write_run &run,
                  worker_progress &progress) {
    sql_handle db = open_worker_db(settings);
    if (!db)
        return 1;
    send_message(fd, worker_message{}, true); // ready
    feed_reporter report;
    report.db = db.get();
    report.max_level = settings.event_level;
    std::vector<feed_record *> served;
    for (;;) {
        chunk_message m;
        const ssize_t n = recv(fd, &m, sizeof m, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n != static_cast<ssize_t>(sizeof m))
            break; // the parent has no more work (or is gone)
        feed_record &feed = *run.feeds.at(static_cast<size_t>(m.feed));
        if (std::find(served.begin(), served.end(), &feed) == served.end())
            served.push_back(&feed);
        worker_message done{worker_message::CHUNK_DONE, 0, 0};
        std::string text;
        if (!read_range(feed.local_path, m.start, m.end, text)) {
            LOGF(LOG_ERR, "Error opening file: %s", feed.local_path.c_str());
        } else {
            chunk_env env;
            env.db = db.get();
            env.report = &report;
            env.srv = run.srv;
            env.max_records = settings.max_records;
            env.event_level = settings.event_level;
            env.idle = run.bypass_schedule ? nullptr : run.idle;
            env.progress = [&] {
                send_message(fd, worker_message{}, false);
                progress.beat();
            };
            chunk_tally tally;
            const int rc = manage_chunk(env, feed, text, m.line, tally);
            done.complete = rc == 0 && tally.failed == 0;
            done.failed = tally.failed;
        }
        send_message(fd, done, true);
        // A lost connection is opened again for the next chunk; without one, stop.
        if (!done.complete && mysql_ping(fr_sql_mysql(db.get())) != 0) {
            db = open_worker_db(settings);
            if (!db)
                return 1;
            report.db = db.get();
        }
    }
    for (feed_record *feed : served)
        flush_line_failures(report, *feed);
    return 0;
}

// --- the parent ---------------------------------------------------------------------------

struct worker_link {
    int fd = -1;         // the parent's end of the socket pair
    int slot = -1;       // in the worker group
    int chunk_feed = -1; // the feed of the chunk it holds, -1 when idle
    bool ready = false;  // it said it has its connection
    steady::time_point last;
};

class dispatcher {
  public:
    dispatcher(const write_settings &settings, write_run &run, std::vector<feed_state> &states)
        : settings_(settings), run_(run), states_(states), group_(settings.stall_limit, run.jobs) {}
    ~dispatcher() {
        for (worker_link &w : workers_)
            close_link(w);
    }

    // Sends every chunk out and waits for the outcomes. A first stop request lets the import
    // finish (the daemon stops after its job); -1 when a second one gives the write phase up.
    int run(std::deque<chunk> &chunks) {
        while (!chunks.empty() || busy() > 0) {
            if (run_.jobs && run_.jobs->abandoning()) {
                LOGF(LOG_ERR, "Stop requested again: the write phase ends.");
                group_.stop_all();
                for (worker_link &w : workers_)
                    lose_chunk(w);
                for (const chunk &c : chunks)
                    states_[c.feed].failed = true;
                return -1;
            }
            hand_out(chunks);
            if (live() == 0 && !chunks.empty()) {
                LOGF(LOG_ERR, "No worker left to write %zu chunks.", chunks.size());
                for (const chunk &c : chunks)
                    states_[c.feed].failed = true;
                chunks.clear();
                break;
            }
            wait_for_messages();
        }
        finish();
        return 0;
    }

  private:
    size_t busy() const {
        return std::count_if(workers_.begin(), workers_.end(),
                             [](const worker_link &w) { return w.fd >= 0 && w.chunk_feed >= 0; });
    }
    size_t live() const {
        return std::count_if(workers_.begin(), workers_.end(),
                             [](const worker_link &w) { return w.fd >= 0; });
    }

    void close_link(worker_link &w) {
        if (w.fd >= 0)
            close(w.fd);
        w.fd = -1;
    }
    // The worker is gone or given up: the feed of the chunk it held fails.
    void lose_chunk(worker_link &w) {
        if (w.chunk_feed >= 0)
            states_[w.chunk_feed].failed = true;
        if (w.fd >= 0 && !w.ready)
            ++futile_;
        w.chunk_feed = -1;
        close_link(w);
    }

    // Starts a worker. false when it could not be started.
    bool start_worker() {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
            LOGF(LOG_ERR, "Cannot create a worker's channel: %s", strerror(errno));
            return false;
        }
        std::vector<int> parent_ends;
        for (const worker_link &w : workers_)
            if (w.fd >= 0)
                parent_ends.push_back(w.fd);
        parent_ends.push_back(pair[0]);
        const int child_end = pair[1];
        const write_settings &settings = settings_;
        write_run &run = run_;
        const int slot = group_.start([&](worker_progress &progress) {
            for (int fd : parent_ends)
                close(fd);
            return child_parsing(child_end, settings, run, progress);
        });
        close(pair[1]);
        if (slot < 0) {
            close(pair[0]);
            return false;
        }
        worker_link w;
        w.fd = pair[0];
        w.slot = slot;
        w.last = steady::now();
        workers_.push_back(w);
        return true;
    }

    void hand_out(std::deque<chunk> &chunks) {
        while (!chunks.empty()) {
            auto idle = std::find_if(workers_.begin(), workers_.end(), [](const worker_link &w) {
                return w.fd >= 0 && w.chunk_feed < 0;
            });
            if (idle == workers_.end()) {
                // Workers that end before they have a connection are not replaced without
                // end: after as many as may run at once, none is.
                if (live() >= static_cast<size_t>(settings_.concurrency) ||
                    futile_ >= settings_.concurrency || !start_worker())
                    return;
                continue;
            }
            const chunk &c = chunks.front();
            const chunk_message m{c.feed, c.item.line, c.item.start, c.item.end};
            ssize_t n;
            while ((n = send(idle->fd, &m, sizeof m, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
            }
            if (n != static_cast<ssize_t>(sizeof m)) { // the worker is gone; the chunk stays
                close_link(*idle);
                continue;
            }
            idle->chunk_feed = c.feed;
            idle->last = steady::now();
            chunks.pop_front();
        }
    }

    // Reads what a worker sent. false when it is gone.
    bool take_messages(worker_link &w) {
        for (;;) {
            worker_message m;
            const ssize_t n = recv(w.fd, &m, sizeof m, MSG_DONTWAIT);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return true;
            if (n != static_cast<ssize_t>(sizeof m))
                return false;
            w.last = steady::now();
            w.ready = true;
            if (m.kind != worker_message::CHUNK_DONE || w.chunk_feed < 0)
                continue;
            feed_state &state = states_[w.chunk_feed];
            ++state.chunks_done;
            state.zones_failed += m.failed;
            if (!m.complete)
                state.failed = true;
            w.chunk_feed = -1;
        }
    }

    // Waits for messages (up to a second, or until a busy worker's stall limit).
    void wait_for_messages() {
        std::vector<pollfd> fds;
        std::vector<worker_link *> links;
        auto timeout = std::chrono::milliseconds(1000);
        const auto now = steady::now();
        for (worker_link &w : workers_) {
            if (w.fd < 0)
                continue;
            if (w.chunk_feed >= 0) {
                const auto idle = now - w.last;
                if (idle >= settings_.stall_limit) {
                    LOGF(LOG_ERR, "Child[%d] made no progress for %ld seconds: stopping it.",
                         group_.pid(w.slot), static_cast<long>(settings_.stall_limit.count()));
                    if (const pid_t pid = group_.pid(w.slot); pid > 0)
                        kill(pid, SIGKILL);
                    lose_chunk(w);
                    continue;
                }
                timeout = std::min(timeout, std::chrono::ceil<std::chrono::milliseconds>(
                                                settings_.stall_limit - idle));
            }
            fds.push_back({w.fd, POLLIN, 0});
            links.push_back(&w);
        }
        if (run_.jobs && run_.jobs->wake_fd() >= 0) {
            run_.jobs->empty(); // takes in wake-up bytes; queued jobs stay queued
            fds.push_back({run_.jobs->wake_fd(), POLLIN, 0});
        }
        if (fds.empty())
            return;
        const timespec ts{static_cast<time_t>(timeout.count() / 1000),
                          static_cast<long>(timeout.count() % 1000) * 1000000L};
        if (ppoll(fds.data(), fds.size(), &ts, nullptr) <= 0)
            return;
        for (size_t i = 0; i < links.size(); ++i) {
            if (fds[i].revents == 0)
                continue;
            worker_link &w = *links[i];
            if (!take_messages(w)) {
                if (w.chunk_feed >= 0)
                    LOGF(LOG_ERR, "Child[%d] ended while it wrote a chunk of %s.",
                         group_.pid(w.slot), run_.feeds[w.chunk_feed]->url.c_str());
                lose_chunk(w);
            }
        }
    }

    // No more work: every worker reads the end of its channel, flushes and exits.
    void finish() {
        for (worker_link &w : workers_)
            if (w.fd >= 0)
                shutdown(w.fd, SHUT_WR);
        const auto give_up = steady::now() + settings_.stall_limit;
        while (live() > 0 && steady::now() < give_up) {
            std::vector<pollfd> fds;
            for (const worker_link &w : workers_)
                if (w.fd >= 0)
                    fds.push_back({w.fd, POLLIN, 0});
            const timespec ts{1, 0};
            if (ppoll(fds.data(), fds.size(), &ts, nullptr) <= 0)
                continue;
            for (worker_link &w : workers_)
                if (w.fd >= 0 && !take_messages(w))
                    close_link(w);
        }
        if (group_.wait() != 0)
            group_.stop_all();
    }

    const write_settings &settings_;
    write_run &run_;
    std::vector<feed_state> &states_;
    worker_group group_;
    std::vector<worker_link> workers_;
    int futile_ = 0; // workers that ended before they had a connection
};

// The purge and the run record of a feed whose chunks were all written. false on failure.
bool record_feed(sql_conn *db, const write_run &run, feed_record &feed, const feed_state &state,
                 const std::unordered_map<int, int> &feed_clients) {
    if (feed.perm.clean_url_zones && state.holds_zone) {
        if (purge_sql_zones(db, feed, *run.zones, feed_clients) != 0) {
            LOGF(LOG_ERR, "Removing the zones no longer in the file from %s failed.",
                 feed.url.c_str());
            return false;
        }
    } else if (feed.perm.clean_url_zones) {
        LOGF(LOG_WARNING, "The file from %s holds no zone: its zones are kept.", feed.url.c_str());
    }
    if (zone_feed_count(db, &feed) != 0) {
        LOGF(LOG_ERR, "Cannot record the run of %s.", feed.url.c_str());
        return false;
    }
    return true;
}

} // namespace

int dump2sql(sql_conn *db, const write_settings &settings, write_run &run,
             std::unordered_map<int, feed_write_result> *results) {
    std::vector<feed_state> states(run.feeds.size());
    std::unordered_map<int, int> feed_clients;
    for (const feed_record *feed : run.feeds)
        feed_clients[feed->id] = feed->client_id;
    if (run.idle)
        for (const idle_feed &f : *run.idle)
            feed_clients[f.id] = f.client_id;

    const int concurrency = std::max(1, settings.concurrency);
    const size_t chunk_size =
        static_cast<size_t>(std::max(1LL, run.largest_download / concurrency));
    std::deque<chunk> chunks;
    for (size_t i = 0; i < run.feeds.size(); ++i) {
        feed_record &feed = *run.feeds[i];
        feed_state &state = states[i];
        if (!feed.scanned)
            continue;
        state.writing = run.bypass_schedule || !feed.unchanged;
        if (!state.writing) {
            std::lock_guard<std::mutex> lock(fr_sql_lock(db));
            (void)event_row(FACILITY_REMOTE_UPDATE, LOG_NOTICE,
                            "Event importing file. Dump file hasn't changed", "EPU01")
                .client(feed.client_id)
                .feed(feed.id, feed.url)
                .write(db, settings.event_level);
        }
        if (!cut_chunks(db, run, static_cast<int>(i), chunk_size, state, chunks))
            state.failed = true;
    }

    bool stopped = false;
    if (!chunks.empty()) {
        dispatcher d(settings, run, states);
        stopped = d.run(chunks) != 0;
    }
    int rc = stopped ? -1 : 0;

    for (size_t i = 0; i < run.feeds.size(); ++i) {
        feed_record &feed = *run.feeds[i];
        feed_state &state = states[i];
        if (!feed.scanned)
            continue;
        if (state.chunks_done != state.chunks)
            state.failed = true;
        feed_write_result r;
        r.chunks = state.chunks;
        r.zones_failed = state.zones_failed;
        r.written = !state.failed;
        if (r.written && !stopped)
            r.recorded = record_feed(db, run, feed, state, feed_clients);
        if (!r.recorded) {
            LOGF(LOG_ERR,
                 "The file from %s was not written whole (%d zones failed): its run is "
                 "not recorded and the next run tries again.",
                 feed.url.c_str(), state.zones_failed);
            rc = -1;
        }
        if (results)
            (*results)[feed.id] = r;
    }
    return rc;
}
