#include "feed_chunk_write.h"

#include "dns_common.h"
#include "feed_keys.h"
#include "feed_ownership.h"
#include "feed_parse.h"
#include "feed_scan.h"
#include "feed_zone_db.h"
#include "feed_zone_rights.h"
#include "logging.h"

#include <cstdlib>
#include <unordered_map>

namespace {

// Zones whose stored rows, records, options and SOA values are read by one statement each.
constexpr size_t zones_per_batch = 200;

int number(std::string_view text) {
    return static_cast<int>(std::strtol(std::string(text).c_str(), nullptr, 10));
}

// One zone block of the chunk on its way to the database.
struct zone_work {
    zone_header header;
    int line = 0;       // the header's line
    feed_reader body;   // stands behind the header line
    bool write = false; // decided, parsed, to be compared and written
    zone_stored_state stored;
    record_table records;
    option_table options;
    std::vector<snapshot_rr> rr_rows;
    std::vector<snapshot_opt> opt_rows;
};

struct chunk_run {
    chunk_env &env;
    feed_record &feed;
    chunk_tally &tally;

    void event(const zone_work &w, int level, const char *code, const char *message,
               const std::string &info) {
        feed_event_write(*env.report, feed, level, code, message, info, w.header.name,
                         w.header.zone_id > 0 ? static_cast<unsigned>(w.header.zone_id) : 0);
    }
    void ignore(const zone_work &w) {
        event(w, LOG_WARNING, "EPU03", "Zone ignored", std::to_string(w.line));
        LOGF(LOG_INFO, "Ignoring zone %s from file %s, line %d.", w.header.name.c_str(),
             feed.local_path.c_str(), w.line);
        ++tally.ignored;
    }
    void fail(const zone_work &w, const char *what) {
        LOGF(LOG_ERR, "Zone %s from %s was not written (%s): %s", w.header.name.c_str(),
             feed.url.c_str(), what, fr_sql_error(env.db).c_str());
        ++tally.failed;
    }
    void done() {
        if (env.progress)
            env.progress();
    }
};

// "1,2,3" from the zones to read (ids the database gave).
std::string id_list(const std::vector<zone_work *> &zones) {
    std::string ids;
    for (const zone_work *w : zones) {
        if (!ids.empty())
            ids += ',';
        ids += std::to_string(w->header.zone_id);
    }
    return ids;
}

// Reads up to a batch of headers. 0 with the batch (maybe empty at the end of the chunk);
// -1 when the chunk stops here (reported).
int read_headers(chunk_run &run, feed_reader &reader, std::vector<zone_work> &batch) {
    while (batch.size() < zones_per_batch) {
        feed_line header;
        const int rc = read_header_line(reader, header);
        if (rc == 1)
            return 0;
        if (rc < 0) {
            LOGF(LOG_WARNING, "Syntax error in %s on line %d.", run.feed.url.c_str(), reader.line);
            return -1;
        }
        zone_work w;
        const int resolved = resolve_header(header.text, w.header, 1, run.env.db, run.feed.id);
        if (resolved != HEADER_OK) {
            LOGF(LOG_ERR, "Zone header on line %d of %s %s.", header.number, run.feed.url.c_str(),
                 resolved == HEADER_DB_FAILED ? "could not be resolved: a query failed"
                                              : "is refused");
            return -1;
        }
        w.line = header.number;
        w.body = reader;
        skip_rec_zone(reader); // a block without its "}" ends with the chunk
        batch.push_back(std::move(w));
    }
    return 0;
}

// The stored rows of the batch's zones; a zone without one is new. 0 or -1.
int load_zone_rows(chunk_run &run, std::vector<zone_work> &batch) {
    std::string names;
    std::unordered_map<std::string, zone_work *> by_name;
    for (zone_work &w : batch) {
        names += (names.empty() ? "'" : ", '") + fr_sql_escape(run.env.db, w.header.name) + "'";
        by_name[zone_set_key(w.header.name)] = &w;
        w.header.zone_id = -1;
        w.header.status = 1;
        w.header.is_new = true;
    }
    sql_result res;
    if (fr_sql_query(run.env.db, &res,
                     "SELECT id, client_id, url_id, last_zone_feed_id, type, status, name, "
                     "`separator` FROM zone WHERE name IN (%s)",
                     sql_raw{names}) != 0)
        return -1;
    while (sql_row row = fr_sql_fetchrow(res)) {
        auto it = by_name.find(zone_set_key(row.view(6)));
        if (it == by_name.end())
            continue;
        zone_header &z = it->second->header;
        zone_data_from_row(z, row);
        zone_stored_state &s = it->second->stored;
        s.type = z.stored_type;
        s.url_id = z.url_id;
        s.last_feed_id = z.last_feed_id;
        s.separator = number(row.view(7));
    }
    return 0;
}

enum decision { WRITE, LEAVE, FAILED };

// Who may write the zone (the stored row, when there is one, is in the header).
decision decide(chunk_run &run, zone_work &w) {
    chunk_env &env = run.env;
    zone_header &z = w.header;
    const feed_record &feed = run.feed;
    LOGF(LOG_DEBUG, "checking zone ownership for (%d): %s", feed.client_id, z.name.c_str());
    if (!z.is_new) {
        if (z.client_id != feed.client_id) {
            LOGF(LOG_ERR, "Zone %s is owned by another client.", z.name.c_str());
            LOGF(LOG_ERR, "Zone ownership check failed for %s", z.name.c_str());
            refuse_other_clients_zone(env.db, feed, z, z.client_id, env.event_level);
            return LEAVE;
        }
        LOGF(LOG_DEBUG, "zone is already owned by the client");
        if (may_write_existing_zone(env.db, feed, z, env.event_level) != 0)
            return LEAVE;
        if (z.url_id == -1 || z.last_feed_id == -1) {
            run.event(w, LOG_WARNING, "EPU03",
                      "Zone can not be updated from zonefeed; it is owned by the interface",
                      std::to_string(w.line));
            return LEAVE;
        }
        if (env.idle && higherprio_url_owner(*env.idle, z.client_id, z.url_id, feed.priority)) {
            run.event(w, LOG_WARNING, "EPU03", "Zone ignored higher prio url exists",
                      std::to_string(w.line));
            return LEAVE;
        }
        return WRITE;
    }
    const int owned = check_new_zone_ownership(env.db, z, feed.client_id);
    if (owned == OWNERSHIP_QUERY_FAILED)
        return FAILED;
    if (owned != 0) {
        LOGF(LOG_ERR, "Zone ownership check failed for %s", z.name.c_str());
        refuse_other_clients_zone(env.db, feed, z, 0, env.event_level);
        return LEAVE;
    }
    // The zone limit is counted when the zone is created, inside its transaction.
    return may_add_remove(env.db, feed, z, env.event_level) ? WRITE : LEAVE;
}

// Decides and parses one block. true when the zone goes on to be compared and written.
bool prepare(chunk_run &run, zone_work &w) {
    const decision d = decide(run, w);
    if (d == FAILED) {
        run.fail(w, "ownership check");
        return false;
    }
    if (d == LEAVE) {
        run.ignore(w);
        return false;
    }
    chunk_env &env = run.env;
    zone_header &z = w.header;
    feed_reader body = w.body;
    parse_env penv{run.feed, *env.report, &env.srv->services, &env.srv->protocols, env.max_records};
    if (parse_import_entries(body, z, penv, w.records, w.options) != 0) {
        ++run.tally.dropped;
        return false;
    }
    if (z.type == ZONE_MASTER && w.records.empty()) {
        run.event(w, LOG_WARNING, "EPU03", "Master zones must define at least one valid RR",
                  std::to_string(w.line));
        ++run.tally.ignored;
        return false;
    }
    (void)hash_global_opts(w.options, run.feed, z.type);
    if (z.type == ZONE_SLAVE && w.options.empty()) {
        run.event(w, LOG_WARNING, "EPU03", "Zone ignored", std::to_string(w.line));
        run.event(w, LOG_WARNING, "EPU03",
                  "Slave zones must specify at least one valid MASTER directive",
                  std::to_string(w.line));
        LOGF(LOG_INFO, "Slave zone %s from url %d does not define any MASTER directives.",
             z.name.c_str(), run.feed.id);
        ++run.tally.ignored;
        return false;
    }
    return true;
}

// The stored records (primary zones), options and SOA values of the zones to write that
// exist. 0 or -1.
int load_snapshots(chunk_run &run, std::vector<zone_work> &batch) {
    std::vector<zone_work *> stored, primaries;
    std::unordered_map<int, zone_work *> by_id;
    for (zone_work &w : batch) {
        if (!w.write || w.header.is_new)
            continue;
        stored.push_back(&w);
        by_id[w.header.zone_id] = &w;
        if (w.header.type == ZONE_MASTER)
            primaries.push_back(&w);
    }
    if (stored.empty())
        return 0;
    sql_conn *db = run.env.db;
    auto zone_of = [&](const sql_row &row) -> zone_work * {
        auto it = by_id.find(number(row.view(0)));
        return it == by_id.end() ? nullptr : it->second;
    };
    if (!primaries.empty()) {
        sql_result res;
        if (fr_sql_query(db, &res, RR_SNAPSHOT_BATCH_QUERY, sql_raw{id_list(primaries)}) != 0)
            return -1;
        while (sql_row row = fr_sql_fetchrow(res))
            if (zone_work *w = zone_of(row); w && !row.is_null(1))
                w->rr_rows.push_back({std::string(row.view(1)), row.text(2)});
    }
    sql_result opts, soa;
    const std::string ids = id_list(stored);
    if (fr_sql_query(db, &opts, OPT_SNAPSHOT_BATCH_QUERY, sql_raw{ids}) != 0)
        return -1;
    while (sql_row row = fr_sql_fetchrow(opts))
        if (zone_work *w = zone_of(row); w && !row.is_null(1))
            w->opt_rows.push_back(
                {std::string(row.view(1)), std::string(row.view(2)), std::string(row.view(3))});
    if (fr_sql_query(db, &soa, "SELECT zone_id, param, value FROM zone_soa WHERE zone_id IN (%s)",
                     sql_raw{ids}) != 0)
        return -1;
    while (sql_row row = fr_sql_fetchrow(soa)) {
        zone_work *w = zone_of(row);
        if (!w)
            continue;
        for (size_t i = 0; i < soa_param_names.size(); ++i)
            if (row.view(1) == soa_param_names[i])
                w->stored.soa[i] = std::strtoll(std::string(row.view(2)).c_str(), nullptr, 10);
    }
    return 0;
}

void report_outcome(chunk_run &run, const zone_work &w, bool changed) {
    const zone_header &z = w.header;
    if (!changed) {
        run.event(w, LOG_INFO, "EPU08", "No changes found for zone.", "");
        LOGF(LOG_INFO, "DNS zone %s hasn't changed since last update.", z.name.c_str());
    } else if (z.is_new) {
        run.event(w, LOG_INFO, "EPU08", "Zone created OK.", "");
        LOGF(LOG_INFO, "DNS zone %s created.", z.name.c_str());
    } else {
        run.event(w, LOG_INFO, "EPU08", "Zone updated OK.", "");
        LOGF(LOG_INFO, "DNS zone %s updated.", z.name.c_str());
    }
}

// The statements of one zone's transaction. 0; 1 when the zone may not be created (the
// refusal's events are to be kept); -1 when a statement failed.
int write_zone_rows(chunk_run &run, zone_work &w, const std::string &rr_stale,
                    const std::string &opt_stale, const zone_tables_plan &plan, bool changed) {
    chunk_env &env = run.env;
    zone_header &z = w.header;
    if (z.is_new) {
        const int may = can_create_zone(env.db, run.feed, z, env.event_level);
        if (may != 1)
            return may == 0 ? 1 : -1;
        if (create_sql_zone(env.db, z, run.feed) != 0)
            return -1;
    }
    if (z.type == ZONE_MASTER && (purge_sql_old_recs(env.db, rr_stale) != 0 ||
                                  insert_imported_recs(env.db, z, w.records) < 0))
        return -1;
    if (purge_sql_old_opt(env.db, opt_stale) != 0 || insert_imported_opts(env.db, z, w.options) < 0)
        return -1;
    if (apply_zone_tables(env.db, z, run.feed, w.stored, plan, env.event_level) != 0)
        return -1;
    const bool queued = changed && z.status != 0;
    if (queued && update_changes(env.db, z.name, 1) != 0)
        return -1;
    report_outcome(run, w, queued);
    return 0;
}

// Compares the zone with what is stored and writes the difference in one transaction.
void write_zone(chunk_run &run, zone_work &w) {
    chunk_env &env = run.env;
    zone_header &z = w.header;
    if (z.is_new) // as create_sql_zone makes it
        w.stored =
            zone_stored_state{{}, z.type, run.feed.id, run.feed.id, separator_code(z.separator)};
    std::string rr_stale;
    if (z.type == ZONE_MASTER)
        rr_stale = delta_rr_rows(w.rr_rows, w.records);
    const std::string opt_stale = delta_opts_rows(w.opt_rows, w.options);
    const zone_tables_plan plan = plan_zone_tables(z, run.feed, w.stored);
    const bool records_change = z.type == ZONE_MASTER && (!rr_stale.empty() || !w.records.empty());
    const bool changed =
        z.is_new || records_change || !opt_stale.empty() || !w.options.empty() || plan.changed;
    if (!changed && !plan.writes()) {
        report_outcome(run, w, false);
        ++run.tally.unchanged;
        return;
    }
    if (zone_write_begin(env.db) != 0) {
        run.fail(w, "transaction");
        return;
    }
    const int rc = write_zone_rows(run, w, rr_stale, opt_stale, plan, changed);
    if (rc < 0) {
        zone_write_rollback(env.db);
        run.fail(w, "statement");
        return;
    }
    if (zone_write_commit(env.db) != 0) {
        zone_write_rollback(env.db);
        run.fail(w, "commit");
        return;
    }
    if (rc == 1)
        run.ignore(w);
    else if (!changed || z.status == 0)
        ++run.tally.unchanged;
    else if (z.is_new)
        ++run.tally.created;
    else
        ++run.tally.updated;
}

} // namespace

int manage_chunk(chunk_env &env, feed_record &feed, std::string_view text, int line,
                 chunk_tally &tally) {
    chunk_run run{env, feed, tally};
    feed_reader reader{text, 0, line};
    for (;;) {
        std::vector<zone_work> batch;
        const int stop = read_headers(run, reader, batch);
        if (batch.empty())
            return stop;
        if (load_zone_rows(run, batch) != 0) {
            for (const zone_work &w : batch)
                run.fail(w, "stored zone");
            return -1;
        }
        for (zone_work &w : batch) {
            w.write = prepare(run, w);
            if (!w.write)
                run.done();
        }
        if (load_snapshots(run, batch) != 0) {
            for (const zone_work &w : batch)
                if (w.write)
                    run.fail(w, "stored records");
            return -1;
        }
        for (zone_work &w : batch) {
            if (!w.write)
                continue;
            write_zone(run, w);
            run.done();
        }
        if (stop != 0)
            return stop;
    }
}
