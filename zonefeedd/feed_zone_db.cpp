#include "feed_zone_db.h"

#include "dns_common.h"
#include "event_row.h"
#include "logging.h"

#include <array>
#include <cstdlib>

namespace {

constexpr int rr_rows_per_statement = 51;
constexpr int opt_rows_per_statement = 50;

int number(std::string_view text) {
    return static_cast<int>(std::strtol(std::string(text).c_str(), nullptr, 10));
}

// A list of ids from the delta: digits and commas only, so it may go in as it stands.
bool is_id_list(const std::string &ids) {
    for (char c : ids)
        if (!(c == ',' || (c >= '0' && c <= '9')))
            return false;
    return !ids.empty();
}

// A delete of the listed ids; nothing is sent for an empty list.
int delete_ids(sql_conn *db, const char *statement, const std::string &ids) {
    if (ids.empty())
        return 0;
    if (!is_id_list(ids))
        return -1;
    return fr_sql_query(db, nullptr, statement, sql_raw{ids});
}

int send_rows(sql_conn *db, const std::string &format, const std::vector<sql_arg> &args) {
    std::string text = format;
    text.pop_back(); // the final ","
    return fr_sql_query_args(db, nullptr, text, args);
}

// Rows appended to one multi-row insert, sent every `limit` rows and at the end.
struct row_batch {
    sql_conn *db;
    const char *head;
    int limit;
    std::string format;
    std::vector<sql_arg> args;
    int rows = 0;  // in the statement being built
    int total = 0; // in every statement
    row_batch(sql_conn *d, const char *h, int l) : db(d), head(h), limit(l), format(h) {}
    // One row was appended. 0, or -1 when a full statement failed.
    int added() {
        ++total;
        return ++rows == limit ? flush() : 0;
    }
    int flush() {
        if (rows == 0)
            return 0;
        const int rc = send_rows(db, format, args);
        format = head;
        args.clear();
        rows = 0;
        return rc;
    }
};

std::array<int64_t, 6> soa_of(const zone_header &z) {
    return {z.refresh, z.retry, z.expire, z.min_ttl, z.default_ttl, z.serial};
}

int soa_index(std::string_view param) {
    for (size_t i = 0; i < soa_param_names.size(); ++i)
        if (param == soa_param_names[i])
            return static_cast<int>(i);
    return -1;
}

} // namespace

int zone_write_session(sql_conn *db) {
    return fr_sql_query(db, nullptr, "SET SESSION TRANSACTION ISOLATION LEVEL READ COMMITTED");
}

int zone_write_begin(sql_conn *db) {
    return fr_sql_query(db, nullptr, "START TRANSACTION");
}

int zone_write_commit(sql_conn *db) {
    return fr_sql_query(db, nullptr, "COMMIT");
}

void zone_write_rollback(sql_conn *db) {
    if (fr_sql_query(db, nullptr, "ROLLBACK") != 0)
        LOGF(LOG_ERR, "Cannot roll back a zone's write: %s", fr_sql_error(db).c_str());
}

int get_zone_data(sql_conn *db, zone_header &zone) {
    sql_result res;
    if (fr_sql_query(db, &res,
                     "SELECT id, client_id, url_id, last_zone_feed_id, type, status FROM zone "
                     "WHERE name = '%s'",
                     zone.name) != 0)
        return -1;
    sql_row row = fr_sql_fetchrow(res);
    if (!row) {
        zone.zone_id = -1;
        zone.status = 1;
        zone.is_new = true;
        return 0;
    }
    zone_data_from_row(zone, row);
    return 0;
}

void zone_data_from_row(zone_header &zone, const sql_row &row) {
    zone.zone_id = number(row.view(0));
    zone.client_id = number(row.view(1));
    zone.url_id = number(row.view(2));
    zone.last_feed_id = number(row.view(3));
    zone.stored_type = get_zone_type(std::string(row.view(4)).c_str());
    zone.status = number(row.view(5));
    zone.is_new = false;
}

int create_sql_zone(sql_conn *db, zone_header &zone, const feed_record &feed) {
    const char *type = get_zone_type_str(zone.type);
    std::lock_guard<std::mutex> lock(fr_sql_lock(db));
    if (!type || fr_sql_query(db, nullptr,
                              "INSERT INTO zone(name, client_id, type, cr_date, revise_time, "
                              "last_zone_feed_id, url_id, status, `separator`, `serialgeneration`) "
                              "VALUES('%s', '%d', '%s', NOW(), '0', '%d', '%d', '%d', '%d', '0')",
                              zone.name, feed.client_id, type, feed.id, feed.id, 1,
                              static_cast<int>(separator_code(zone.separator))) != 0)
        return -1;
    const unsigned long long id = fr_sql_insert_id(db);
    if (id == 0)
        return -1;
    zone.zone_id = static_cast<int>(id);
    zone.client_id = feed.client_id;
    zone.url_id = feed.id;
    zone.last_feed_id = feed.id;
    zone.stored_type = zone.type;
    zone.status = 1;
    return 0;
}

int delete_sql_zone(sql_conn *db, int zone_id, const std::string &name, int client_id) {
    if (zone_id >= 1)
        return fr_sql_query(db, nullptr, "DELETE FROM zone WHERE id = '%d' ", zone_id);
    if (name.empty() || client_id <= 0)
        return -1;
    return fr_sql_query(db, nullptr, "DELETE FROM zone WHERE name = '%s' AND client_id = '%d'",
                        name, client_id);
}

int update_changes(sql_conn *db, const std::string &zone_name, int kind) {
    const char *type = kind == 1 ? "u" : kind == 2 ? "d" : nullptr;
    if (!type)
        return -1;
    return fr_sql_query(db, nullptr,
                        "INSERT INTO changes(zone_name, type, timestamp) VALUES('%s', '%s', "
                        "UNIX_TIMESTAMP(NOW())) ON DUPLICATE KEY UPDATE `type` = '%s', "
                        "`timestamp`= UNIX_TIMESTAMP(NOW())",
                        zone_name, type, type);
}

int get_sql_rr_snapshot(sql_conn *db, int zone_id, sql_result &out) {
    return fr_sql_query(db, &out, RR_SNAPSHOT_QUERY, zone_id);
}

int get_sql_opt_snapshot(sql_conn *db, int zone_id, sql_result &out) {
    return fr_sql_query(db, &out, OPT_SNAPSHOT_QUERY, zone_id);
}

int purge_sql_old_recs(sql_conn *db, const std::string &ids) {
    return delete_ids(db, "DELETE FROM `zone_dns_records` WHERE `id` in (%s)", ids);
}

int purge_sql_old_opt(sql_conn *db, const std::string &ids) {
    return delete_ids(db, "DELETE FROM `zone_opt_values` WHERE `id` in (%s)", ids);
}

int insert_imported_recs(sql_conn *db, const zone_header &zone, const record_table &table) {
    LOGF(LOG_INFO, "Updating DNS zone %s", zone.name.c_str());
    row_batch batch(db, RR_INSERT_HEAD, rr_rows_per_statement);
    for (const auto &[key, rr] : table) {
        rr_insert_row(rr, zone.zone_id, batch.format, batch.args);
        if (batch.added() != 0)
            return -1;
    }
    return batch.flush() == 0 ? batch.total : -1;
}

int insert_imported_opts(sql_conn *db, const zone_header &zone, const option_table &table) {
    row_batch batch(db, "INSERT INTO zone_opt_values  (`zone_id`, `type`, `value`)  VALUES ",
                    opt_rows_per_statement);
    for (const std::string &key : table) {
        const char *type = key.empty()     ? nullptr
                           : key[0] == 'A' ? "allow_transfer"
                           : key[0] == 'M' ? "master"
                                           : nullptr;
        if (!type) {
            LOGF(LOG_ERR, "Unknown zone option type: %c", key.empty() ? ' ' : key[0]);
            continue;
        }
        batch.format += "('%d', '%s', '%s'),";
        batch.args.insert(batch.args.end(), {zone.zone_id, type, key.substr(1)});
        if (batch.added() != 0)
            return -1;
    }
    return batch.flush() == 0 ? batch.total : -1;
}

int separator_code(char separator) {
    return separator == '/' || separator == 0 ? 0 : 1;
}

int read_zone_state(sql_conn *db, int zone_id, zone_stored_state &out) {
    out = zone_stored_state{};
    sql_result soa, row_res;
    if (fr_sql_query(db, &soa, "SELECT param, value FROM zone_soa WHERE zone_id = '%d'", zone_id) !=
        0)
        return -1;
    while (sql_row row = fr_sql_fetchrow(soa))
        if (const int i = soa_index(row.view(0)); i >= 0)
            out.soa[i] = std::strtoll(std::string(row.view(1)).c_str(), nullptr, 10);
    if (fr_sql_query(db, &row_res,
                     "SELECT type, url_id, last_zone_feed_id, `separator` FROM zone WHERE id = %d",
                     zone_id) != 0)
        return -1;
    sql_row row = fr_sql_fetchrow(row_res);
    if (!row)
        return -1;
    out.type = get_zone_type(std::string(row.view(0)).c_str());
    out.url_id = number(row.view(1));
    out.last_feed_id = number(row.view(2));
    out.separator = number(row.view(3));
    return 0;
}

bool zone_tables_plan::writes() const {
    return retype || move || touch || !soa_new.empty() || !soa_update.empty() ||
           !soa_remove.empty();
}

zone_tables_plan plan_zone_tables(const zone_header &zone, const feed_record &feed,
                                  const zone_stored_state &stored) {
    zone_tables_plan plan;
    const std::array<int64_t, 6> given = soa_of(zone);
    for (int i = 0; i < static_cast<int>(given.size()); ++i) {
        const std::optional<int64_t> &have = stored.soa[i];
        if (!given[i]) {
            if (have)
                plan.soa_remove.push_back(i);
        } else if (!have) {
            plan.soa_new.push_back(i);
        } else if (*have != given[i]) {
            plan.soa_update.push_back(i);
        }
    }
    plan.retype = stored.type != zone.type && get_zone_type_str(zone.type);
    plan.move = stored.url_id != feed.id;
    plan.touch =
        stored.last_feed_id != feed.id || stored.separator != separator_code(zone.separator);
    const bool soa_written =
        !plan.soa_new.empty() || !plan.soa_update.empty() || !plan.soa_remove.empty();
    plan.changed = plan.retype || plan.move || (soa_written && zone.serial);
    return plan;
}

int apply_zone_tables(sql_conn *db, const zone_header &zone, const feed_record &feed,
                      const zone_stored_state &stored, const zone_tables_plan &plan,
                      int event_level) {
    const std::array<int64_t, 6> given = soa_of(zone);
    if (!plan.soa_new.empty()) {
        std::string insert = "INSERT INTO zone_soa(zone_id, param, value) VALUES";
        std::vector<sql_arg> args;
        for (int i : plan.soa_new) {
            insert += "('%d', '%s', '%lld'),";
            args.insert(args.end(),
                        {zone.zone_id, soa_param_names[i], static_cast<long long>(given[i])});
        }
        if (send_rows(db, insert, args) != 0)
            return -1;
    }
    for (int i : plan.soa_update)
        if (fr_sql_query(
                db, nullptr,
                "UPDATE zone_soa SET value = '%lld' WHERE zone_id = '%d' AND param = '%s' ",
                static_cast<long long>(given[i]), zone.zone_id, soa_param_names[i]) != 0)
            return -1;
    if (!plan.soa_remove.empty()) {
        std::string remove = "DELETE FROM zone_soa WHERE zone_id = %d AND param IN (";
        std::vector<sql_arg> args{zone.zone_id};
        for (int i : plan.soa_remove) {
            remove += "'%s',";
            args.emplace_back(soa_param_names[i]);
        }
        remove.back() = ')';
        if (fr_sql_query_args(db, nullptr, remove, args) != 0)
            return -1;
    }
    if (!plan.retype && !plan.move && !plan.touch)
        return 0;
    std::string format = "UPDATE zone SET ";
    std::vector<sql_arg> args;
    if (plan.retype) {
        format += " type = '%s' ";
        args.emplace_back(get_zone_type_str(zone.type));
    }
    if (plan.move) {
        format += plan.retype ? ", url_id = '%d'" : " url_id = '%d'";
        args.emplace_back(feed.id);
    }
    format += plan.retype || plan.move
                  ? " , last_zone_feed_id = '%d', `separator` = '%d' WHERE id = '%d'"
                  : "last_zone_feed_id = '%d', `separator` = '%d' WHERE id = '%d'";
    args.insert(args.end(), {feed.id, separator_code(zone.separator), zone.zone_id});
    if (fr_sql_query_args(db, nullptr, format, args) != 0)
        return -1;
    if (plan.move)
        (void)event_row(FACILITY_REMOTE_UPDATE, LOG_NOTICE,
                        "Zone updated by higher priority Remote update location", "ES01")
            .info(std::to_string(stored.url_id))
            .client(feed.client_id)
            .feed(feed.id, feed.url)
            .zone(zone.zone_id, zone.name)
            .write(db, event_level);
    return 0;
}

int update_tables(sql_conn *db, const zone_header &zone, const feed_record &feed, int event_level,
                  bool &changed) {
    zone_stored_state stored;
    if (read_zone_state(db, zone.zone_id, stored) != 0)
        return -1;
    const zone_tables_plan plan = plan_zone_tables(zone, feed, stored);
    if (apply_zone_tables(db, zone, feed, stored, plan, event_level) != 0)
        return -1;
    if (plan.changed)
        changed = true;
    return 0;
}
