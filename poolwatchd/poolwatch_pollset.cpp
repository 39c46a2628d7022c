#include "poolwatch_pollset.h"

#include "logging.h"
#include "numbers.h"
#include "poolwatch_db.h"
#include "poolwatch_state.h"
#include "poolwatch_tally.h"

#include <chrono>

namespace {

// A usable monitoring interval, or nullopt: a missing or non-positive one would have the
// scheduler start the poll in a busy loop.
std::optional<int> usable_interval(const std::optional<std::string> &text) {
    if (!text)
        return std::nullopt;
    const int32_t v = str_toint32(*text);
    if (v <= 0)
        return std::nullopt;
    return v;
}

// poolwatch_update_poll_data: a known poll seen again.
void update_poll(std::map<int, poll_entry> &entries, poll_entry &e, const poll_row &row) {
    if (!row.name || !row.protocol_code || !row.test_url) {
        LOGF(LOG_WARNING,
             "Some fields may be empty in table 'poolwatch_pool', poll with id:%d will not be "
             "considered.",
             e.poll.id);
        return; // stays stale and leaves at the end of the refresh
    }
    if (row.protocol_code->empty()) {
        LOGF(LOG_WARNING,
             "Protocol code is required for every poll, poll:\"%s\" update will not be considered.",
             row.name->c_str());
        entries.erase(e.poll.id);
        return;
    }
    if (row.test_url->empty()) {
        LOGF(LOG_WARNING, "Test URL is required, poll:\"%s\" will not be considered.",
             row.name->c_str());
        entries.erase(e.poll.id);
        return;
    }
    const std::optional<int> interval = usable_interval(row.monit_interval);
    if (!interval) {
        LOGF(LOG_WARNING,
             "Monitoring interval must be a positive number of seconds, poll:\"%s\" will not be "
             "considered.",
             row.name->c_str());
        entries.erase(e.poll.id);
        return;
    }
    e.poll.name = *row.name;
    e.poll.protocol_code = *row.protocol_code;
    e.poll.test_url = *row.test_url;
    e.poll.monit_interval = *interval;
    e.state = POLL_SEEN;
}

// poolwatch_process_poll_data: a poll not in the table yet.
void add_poll(std::map<int, poll_entry> &entries, int id, const poll_row &row, time_t now) {
    if (!row.name || !row.zone_id || !row.test_url) {
        LOGF(LOG_WARNING,
             "Some fields may be empty in table 'poolwatch_pool', poll with id:%d will not be "
             "considered.",
             id);
        return;
    }
    if (!row.protocol_code || row.protocol_code->empty()) {
        LOGF(LOG_WARNING, "Protocol code is required, poll:\"%s\" will not be considered.",
             row.name->c_str());
        return;
    }
    if (row.test_url->empty()) {
        LOGF(LOG_WARNING, "Test URL is required, poll:\"%s\" will not be considered.",
             row.name->c_str());
        return;
    }
    const std::optional<int> interval = usable_interval(row.monit_interval);
    if (!interval) {
        LOGF(LOG_WARNING,
             "Monitoring interval must be a positive number of seconds, poll:\"%s\" will not be "
             "considered.",
             row.name->c_str());
        return;
    }
    poll_entry e;
    e.state = POLL_SEEN;
    e.next_run = now + *interval;
    e.wait = *interval;
    e.poll.id = id;
    e.poll.name = *row.name;
    e.poll.zone_id = str_toint32(*row.zone_id);
    e.poll.protocol_code = *row.protocol_code;
    e.poll.monit_interval = *interval;
    e.poll.test_url = *row.test_url;
    entries.emplace(id, std::move(e));
}

} // namespace

void poolwatch_aging_polls(std::map<int, poll_entry> &entries) {
    for (auto &[id, e] : entries)
        e.state = POLL_STALE;
}

void poolwatch_apply_poll_row(std::map<int, poll_entry> &entries, const poll_row &row, time_t now) {
    if (!row.id)
        return;
    const int id = str_toint32(*row.id);
    auto it = entries.find(id);
    if (it != entries.end())
        update_poll(entries, it->second, row);
    else
        add_poll(entries, id, row, now);
}

void poolwatch_sync(std::map<int, poll_entry> &entries) {
    std::erase_if(entries, [](const auto &kv) { return kv.second.state == POLL_STALE; });
}

int poolwatch_fetch_polls(sql_conn *db, std::map<int, poll_entry> &entries) {
    sql_result res;
    if (fr_sql_query(db, &res,
                     " SELECT rp.id, rp.name, rp.zone_id, rp.protocol_code, rp.monit_interval, "
                     "rp.test_url  FROM rrobin_pool AS rp, zone AS z  WHERE rp.status = 1  \tAND "
                     "z.status = 1 AND rp.zone_id = z.id  \tAND 0 < ( SELECT COUNT(*) FROM "
                     "rrobin_pool_records  WHERE rrobin_pool_id = rp.id ) ") != 0) {
        LOGF(LOG_ERR, "Cannot read the active polls (%s).", fr_sql_error(db).c_str());
        return -1;
    }
    poolwatch_aging_polls(entries);
    if (fr_sql_numrows(res) == 0) {
        LOGF(LOG_WARNING,
             "Table 'rrobin_pool' is empty or does not contain any poll having 'status' = 1");
        return 0;
    }
    const time_t now = time(nullptr);
    while (sql_row row = fr_sql_fetchrow(res)) {
        poolwatch_apply_poll_row(
            entries, {row.text(0), row.text(1), row.text(2), row.text(3), row.text(4), row.text(5)},
            now);
    }
    return 0;
}

std::set<int> poolwatch_poll_ids(poll_table &table) {
    std::set<int> ids;
    std::lock_guard guard(table.lock);
    for (const auto &[id, e] : table.entries)
        ids.insert(id);
    return ids;
}

int poolwatch_fetch_jobs(sql_conn *db, protocol_table &table) {
    sql_result res;
    if (fr_sql_query(db, &res, " SELECT code, script FROM rrobin_protocols") != 0) {
        LOGF(LOG_ERR, "Cannot read the test protocols (%s).", fr_sql_error(db).c_str());
        return -1;
    }
    if (fr_sql_numrows(res) == 0)
        return -1;
    std::lock_guard guard(table.lock);
    while (sql_row row = fr_sql_fetchrow(res)) {
        const std::string code(row.view(0)), script(row.view(1));
        if (code.empty()) {
            LOGF(LOG_WARNING, "Protocol code must be specified, ignoring protocol data.");
            continue;
        }
        if (script.empty()) {
            LOGF(LOG_WARNING,
                 "Test script associated with protocol code:'%s' must be specified, ignoring "
                 "protocol data.",
                 code.c_str());
            continue;
        }
        table.scripts[code] = script;
    }
    return table.scripts.empty() ? -1 : 0;
}

int poolwatch_add_job(sql_conn *db, protocol_table &table, const std::string &code,
                      std::string &script) {
    sql_result res;
    if (fr_sql_query(db, &res, " SELECT script FROM rrobin_protocols WHERE code = \"%s\" ", code) !=
        0) {
        LOGF(LOG_ERR, "Cannot read the test protocol:'%s' (%s).", code.c_str(),
             fr_sql_error(db).c_str());
        return -1;
    }
    sql_row row = fr_sql_fetchrow(res);
    if (!row) {
        LOGF(LOG_WARNING,
             "Table 'rrobin_protocols'contains no record for protocol code:'%s', ignoring.",
             code.c_str());
        return -1;
    }
    if (row.view(0).empty()) {
        LOGF(LOG_WARNING,
             "Test script associated with protocol code:'%s' must be specified, ignoring.",
             code.c_str());
        return -1;
    }
    script = std::string(row.view(0));
    std::lock_guard guard(table.lock);
    table.scripts[code] = script;
    return 0;
}

std::optional<std::string> poolwatch_protocol_script(sql_conn *db, protocol_table &table,
                                                     const std::string &code) {
    {
        std::lock_guard guard(table.lock);
        auto it = table.scripts.find(code);
        if (it != table.scripts.end())
            return it->second;
    }
    std::string script;
    if (poolwatch_add_job(db, table, code, script) != 0)
        return std::nullopt;
    return script;
}

namespace {

// poolwatch_db_reconnect: a fresh connection in place of the old one.
int db_reconnect(sql_handle &db) {
    if (db)
        db_disconnect(db);
    if (db_connect(poolwatch_config_copy(), db, CLIENT_FOUND_ROWS) != 0) {
        LOGF(LOG_WARNING, "Cannot reconnect to database.");
        return -1;
    }
    return 0;
}

} // namespace

void poolwatch_update_pollset(sql_handle &db) {
    poolwatch_daemon &d = pw();
    // The period is taken once: a reload changes it only for a new daemon.
    const int period = poolwatch_config_copy().pooling_interval;
    while (true) {
        d.refresher_wake.sleep_for(std::chrono::seconds(period));
        if (d.state == STATE_TERMINATING)
            break;

        d.refresh_sem.acquire();
        // A reload asks for a fresh connection; so does a refresh that failed, since the
        // server may have gone away under the old one.
        if (d.refresher_reconnect.exchange(false) || !db) {
            if (db_reconnect(db) != 0)
                LOGF(
                    LOG_ERR,
                    "Cannot synchronize database from now on, will try again at the next refresh.");
        }
        if (db) {
            try {
                std::lock_guard guard(d.polls.lock);
                LOGF(LOG_NOTICE, "Reloading active polls from database.");
                int rc = poolwatch_fetch_polls(db.get(), d.polls.entries);
                poolwatch_sync(d.polls.entries);
                std::set<int> ids;
                for (const auto &[id, e] : d.polls.entries)
                    ids.insert(id);
                if (rc == 0)
                    rc = poolwatch_refresh_records(db.get(), d.records, ids);
                if (rc != 0)
                    d.refresher_reconnect = true;
            } catch (const std::exception &e) {
                LOGF(LOG_DEBUG, "Poll set refresh abandoned: %s", e.what());
            }
        } else {
            LOGF(LOG_ERR, "Cannot refresh poll set.");
        }
        d.refresh_sem.release();
        d.scheduler_wake.kick(); // new polls get their first schedule without delay
    }
}
