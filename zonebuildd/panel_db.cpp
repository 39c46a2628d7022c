#include "panel_db.h"

#include "dns_common.h"
#include "dns_log.h"
#include "event_row.h"
#include "liblog.h"
#include "logging.h"
#include "numbers.h"

#include <cstring>

namespace {

// The warning_desc column is a TEXT (65,535 bytes): a longer capture is cut at a character
// boundary rather than refused by the server.
constexpr size_t warning_text_max = 65000;

// Ids per DELETE statement: keeps every statement far below the server's packet limit.
constexpr size_t delete_batch = 5000;

void log_query_error(sql_conn *db) {
    FR_LOG(LOG_WARNING, "%s", fr_sql_error(db).c_str());
}

bool is_text(const char *s) {
    return s && *s;
}

uint32_t to_id(const char *s) {
    return s ? str_touint32(s) : 0;
}

// The ES04 tests: a zone that cannot be served becomes a removal, with an event row.
void check_servable(sql_conn *db, const change_feed &feed, zone_change &entry,
                    const char *client_id, const std::string &name, int event_level) {
    const unsigned client = to_id(client_id);
    if (entry.type == ZONE_MASTER && !feed.ns_complete.count(entry.id)) {
        entry.id = -1;
        (void)event_row(FACILITY_ZONEBUILD, LOG_ERR, "Master zone has no ORIGIN NS", "ES04")
            .client(client)
            .zone_name(name)
            .write(db, event_level);
    } else if (entry.type == ZONE_SLAVE && !feed.master_known.count(entry.id)) {
        entry.id = -1;
        (void)event_row(FACILITY_ZONEBUILD, LOG_ERR, "Slave zone has no 'master' ip", "ES04")
            .client(client)
            .zone_name(name)
            .write(db, event_level);
    }
}

// Reads one id column per row into `out`. An id of 0 is skipped with a warning.
int read_id_set(sql_conn *db, const std::string &statement, zone_id_set &out) {
    sql_result res;
    if (fr_sql_query(db, &res, "%s", sql_raw{statement}) != 0) {
        log_query_error(db);
        return -1;
    }
    while (sql_row row = fr_sql_fetchrow(res)) {
        const uint32_t id = to_id(row.get(0));
        if (id == 0) {
            LOGF(LOG_WARNING, "Ignoring a zone id of 0 in the zone list.");
            continue;
        }
        out.insert(id);
    }
    return 0;
}

int correct_zones(sql_conn *db, int mode, const std::string *list, const char *all,
                  const char *by_client, const char *by_name, zone_id_set &out) {
    std::string statement;
    if (mode == 0) {
        statement = all;
    } else if ((mode == 1 || mode == 2) && list && !list->empty()) {
        statement = std::string(mode == 1 ? by_client : by_name) + *list;
    } else {
        FR_TRACE_RETURN();
        return -1;
    }
    return read_id_set(db, statement, out);
}

} // namespace

int get_sql_loglvl(sql_conn *db, int &event_level) {
    int status = 0;
    event_level = read_db_log_level(db, &status);
    fr_log_setlevel(event_level);
    if (status != 0) {
        log_query_error(db);
        return -1;
    }
    return 0;
}

int get_ns_correct_zones(sql_conn *db, int mode, const std::string *list, zone_id_set &out) {
    // The record must belong to the zone it names: a delegation NS in one zone must not
    // mark another zone complete.
    static const char base[] =
        "SELECT DISTINCT(zone_id)   FROM zone_dns_records, zone   WHERE entry_type = 'NS' "
        "\t\tAND zone.status = '1'\t\tAND zone_dns_records.status = '1'  \t\tAND host = "
        "zone.name \t\tAND zone_dns_records.zone_id = zone.id ";
    const std::string by_client = std::string(base) + "\t\tAND zone.client_id IN ";
    const std::string by_name = std::string(base) + "\t\tAND zone.name IN ";
    return correct_zones(db, mode, list, base, by_client.c_str(), by_name.c_str(), out);
}

int get_opt_correct_zones(sql_conn *db, int mode, const std::string *list, zone_id_set &out) {
    return correct_zones(db, mode, list,
                         "SELECT DISTINCT(zone_id)   FROM zone_opt_values   WHERE type = 'master' ",
                         "SELECT DISTINCT(zone_id)   FROM zone_opt_values, zone   WHERE "
                         "zone_opt_values.type = 'master' \tAND zone_opt_values.zone_id = zone.id "
                         "\tAND zone.client_id IN ",
                         "SELECT DISTINCT(zone_id)   FROM zone_opt_values, zone   WHERE "
                         "zone_opt_values.type = 'master' \tAND zone_opt_values.zone_id = zone.id "
                         "\tAND zone.name IN ",
                         out);
}

int collect_changes_garbage(sql_conn *db, change_feed &feed) {
    sql_result res;
    if (fr_sql_query(db, &res,
                     "SELECT a.id   FROM changes   a LEFT JOIN zone b ON a.zone_name = b.name   "
                     "WHERE b.name IS NULL") != 0) {
        log_query_error(db);
        return -1;
    }
    while (sql_row row = fr_sql_fetchrow(res))
        if (uint32_t id = to_id(row.get(0)))
            feed.garbage_ids.push_back(id);
    return 0;
}

int get_sql_changes(sql_conn *db, change_feed &feed, int event_level) {
    // Garbage first: rows that exist before the change list is read are the only ones a
    // job may throw away, so a change recorded meanwhile is never lost.
    if (collect_changes_garbage(db, feed) != 0)
        LOGF(LOG_WARNING, "Could not read the change rows of deleted zones.");

    sql_result res;
    if (fr_sql_query(db, &res,
                     "SELECT a.zone_name  , unix_timestamp(NOW())  , b.id  , b.type  , "
                     "b.client_id  , a.type  , a.id  , b.status  FROM changes  a LEFT JOIN zone "
                     "b ON a.zone_name = b.name  WHERE ((a.type = 'u' AND b.name IS NOT NULL) OR "
                     "(a.type = 'd'))  ORDER BY a.timestamp DESC, a.id DESC") != 0) {
        log_query_error(db);
        return -1;
    }
    bool have_time = false;
    std::unordered_set<std::string> unusable; // zones whose newest row could not be used
    while (sql_row row = fr_sql_fetchrow(res)) {
        if (!have_time && is_text(row.get(1))) {
            feed.feed_time = strtoull(row.get(1), nullptr, 10);
            have_time = true;
            if (get_ns_correct_zones(db, 0, nullptr, feed.ns_complete) != 0 ||
                get_opt_correct_zones(db, 0, nullptr, feed.master_known) != 0)
                return -1;
        }
        const uint32_t change_id = to_id(row.get(6));
        if (!is_text(row.get(0)) || !is_text(row.get(5)) || change_id == 0) {
            LOGF(LOG_WARNING, "Skipping an incomplete change row (id %s).",
                 row.get(6) ? row.get(6) : "NULL");
            continue;
        }
        const std::string name = row.get(0);
        if (unusable.count(name))
            continue;
        if (auto it = feed.changes.find(name); it != feed.changes.end()) {
            it->second.change_ids.push_back(change_id);
            continue;
        }
        zone_change entry;
        entry.change_ids.push_back(change_id);
        if (strcmp(row.get(5), "u") == 0) {
            const uint32_t id = to_id(row.get(2));
            entry.type = get_zone_type(row.get(3));
            if (id == 0 || id > INT32_MAX) {
                LOGF(LOG_ERR, "Zone %s has an invalid id. Skipping...", name.c_str());
                unusable.insert(name);
                continue;
            }
            if (entry.type < ZONE_MASTER) {
                LOGF(LOG_ERR, "Zone %s has an unknown type '%s'. Skipping...", name.c_str(),
                     row.get(3) ? row.get(3) : "NULL");
                report_zone_refusal(db, event_level, name, to_id(row.get(4)), id,
                                    std::string("The zone type '") +
                                        (row.get(3) ? row.get(3) : "NULL") + "' is not known.");
                unusable.insert(name);
                continue;
            }
            entry.id = static_cast<int32_t>(id);
            if (!row.get(7) || strcmp(row.get(7), "1") != 0) {
                LOGF(LOG_INFO, "Zone %s is not active: removing it.", name.c_str());
                entry.id = -1;
            } else {
                check_servable(db, feed, entry, row.get(4), name, event_level);
            }
        }
        feed.changes.emplace(name, std::move(entry));
    }
    return 0;
}

int get_sql_client(sql_conn *db, change_feed &feed, int all, int event_level) {
    if (all != 1) {
        FR_TRACE_RETURN();
        return -1;
    }
    if (get_ns_correct_zones(db, 0, nullptr, feed.ns_complete) != 0 ||
        get_opt_correct_zones(db, 0, nullptr, feed.master_known) != 0)
        return -1;

    // The change rows that exist now are the ones this restore serves; anything recorded
    // after this read stays for the next job.
    std::unordered_map<std::string, std::vector<uint32_t>> pending;
    {
        sql_result res;
        if (fr_sql_query(db, &res, "SELECT id, zone_name FROM changes") != 0) {
            log_query_error(db);
            return -1;
        }
        while (sql_row row = fr_sql_fetchrow(res))
            if (uint32_t id = to_id(row.get(0)); id && is_text(row.get(1)))
                pending[row.get(1)].push_back(id);
    }

    sql_result res;
    if (fr_sql_query(db, &res,
                     "SELECT name, id, unix_timestamp(NOW()), type, client_id   FROM zone WHERE "
                     "status = '1'") != 0) {
        log_query_error(db);
        return -1;
    }
    bool have_time = false;
    while (sql_row row = fr_sql_fetchrow(res)) {
        if (!is_text(row.get(0)))
            continue;
        const std::string name = row.get(0);
        if (!have_time && is_text(row.get(2))) {
            feed.feed_time = strtoull(row.get(2), nullptr, 10);
            have_time = true;
        }
        auto rows = pending.extract(name);
        const uint32_t id = to_id(row.get(1));
        zone_change entry;
        entry.type = get_zone_type(row.get(3));
        if (id == 0 || id > INT32_MAX || entry.type < ZONE_MASTER) {
            // Its change rows stay: the zone is neither written nor removed.
            LOGF(LOG_ERR, "Zone %s has an invalid id or an unknown type '%s'. Skipping...",
                 name.c_str(), row.get(3) ? row.get(3) : "NULL");
            if (id != 0 && id <= INT32_MAX)
                report_zone_refusal(db, event_level, name, to_id(row.get(4)), id,
                                    std::string("The zone type '") +
                                        (row.get(3) ? row.get(3) : "NULL") + "' is not known.");
            continue;
        }
        entry.id = static_cast<int32_t>(id);
        if (rows)
            entry.change_ids = std::move(rows.mapped());
        check_servable(db, feed, entry, row.get(4), name, event_level);
        feed.changes.emplace(name, std::move(entry));
    }
    // Change rows of zones that are not active (deleted or switched off): removals.
    for (auto &[name, ids] : pending) {
        zone_change entry;
        entry.change_ids = std::move(ids);
        feed.changes.emplace(name, std::move(entry));
    }
    return 0;
}

long long delete_changes(sql_conn *db, const std::vector<uint32_t> &ids) {
    long long deleted = 0;
    for (size_t start = 0; start < ids.size(); start += delete_batch) {
        std::string list;
        for (size_t i = start; i < ids.size() && i < start + delete_batch; ++i) {
            if (!list.empty())
                list += ',';
            list += std::to_string(ids[i]);
        }
        if (fr_sql_query(db, nullptr, "DELETE FROM changes WHERE id IN (%s)", sql_raw{list}) != 0) {
            log_query_error(db);
            return -1;
        }
        deleted += static_cast<long long>(fr_sql_affectedrows(db));
    }
    return deleted;
}

int get_sql_customjob(sql_conn *db, uint32_t &max_id) {
    sql_result res;
    if (fr_sql_query(db, &res,
                     "SELECT MAX(`id`) FROM `custom_job_queue`  WHERE `service` = 'ZONEBUILD' AND "
                     "`action` = 'writeacl'") != 0) {
        log_query_error(db);
        return -1;
    }
    sql_row row = fr_sql_fetchrow(res);
    max_id = row ? to_id(row.get(0)) : 0;
    return max_id != 0 ? 1 : 0;
}

int delete_sql_customjob(sql_conn *db, uint32_t max_id) {
    if (fr_sql_query(db, nullptr,
                     "DELETE FROM `custom_job_queue`  WHERE `service` = 'ZONEBUILD' AND `action` "
                     "= 'writeacl' AND `id` <= %u",
                     max_id) != 0) {
        log_query_error(db);
        return -1;
    }
    return 0;
}

void clear_custom_zonebuild(sql_conn *db) {
    if (fr_sql_query(db, nullptr, "DELETE FROM `custom_job_queue` WHERE `service`='ZONEBUILD'") !=
        0)
        log_query_error(db);
}

int update_sql_zone_serial(sql_conn *db, const std::string &zone_name, const std::string &serial,
                           const std::string &timestamp) {
    if (fr_sql_query(db, nullptr,
                     "UPDATE zone SET revision = '%s', revise_time = '%s' WHERE name = '%s'",
                     serial, timestamp, zone_name) != 0) {
        log_query_error(db);
        return -1;
    }
    return 0;
}

int update_sql_zone_timestamp(sql_conn *db, const std::string &zone_name) {
    if (fr_sql_query(db, nullptr,
                     "UPDATE zone SET revise_time = unix_timestamp(NOW()) WHERE name = '%s'",
                     zone_name) != 0) {
        log_query_error(db);
        return -1;
    }
    return 0;
}

int update_sql_zone_warning(sql_conn *db, const std::string &zone_name, unsigned warning,
                            const std::string &text) {
    std::string stored = text;
    if (stored.size() > warning_text_max) {
        size_t cut = warning_text_max;
        while (cut > 0 && (static_cast<unsigned char>(stored[cut]) & 0xC0) == 0x80)
            --cut;
        stored.resize(cut);
    }
    if (fr_sql_query(db, nullptr, "UPDATE zone SET warning=%u, warning_desc='%s' WHERE name='%s'",
                     warning & 0xFFu, stored, zone_name) != 0) {
        log_query_error(db);
        return -1;
    }
    return 0;
}

void report_zone_refusal(sql_conn *db, int event_level, const std::string &zone_name,
                         unsigned client_id, unsigned zone_id, const std::string &why) {
    LOGF(LOG_ERR, "Zone %s refused: %s", zone_name.c_str(), why.c_str());
    (void)event_row(FACILITY_ZONEBUILD, LOG_ERR, "Zone refused", "ES05")
        .info(why)
        .client(client_id)
        .zone(zone_id, zone_name)
        .write(db, event_level);
    update_sql_zone_warning(db, zone_name, 99, why);
}

int update_sql_zones_written(sql_conn *db, const std::vector<written_zone> &zones) {
    if (zones.empty())
        return 0;
    std::string format = "UPDATE zone z JOIN (";
    std::vector<sql_arg> args;
    args.reserve(zones.size() * 3);
    for (size_t i = 0; i < zones.size(); ++i) {
        format += i == 0 ? "SELECT '%s' AS name, '%s' AS revision, '%s' AS revise_time"
                         : " UNION ALL SELECT '%s', '%s', '%s'";
        args.emplace_back(zones[i].name);
        args.emplace_back(zones[i].serial);
        args.emplace_back(zones[i].timestamp);
    }
    format += ") v ON z.name = v.name SET z.revision = v.revision, z.revise_time = "
              "v.revise_time, z.warning = 0, z.warning_desc = ''";
    if (fr_sql_query_args(db, nullptr, format, args) != 0) {
        log_query_error(db);
        return -1;
    }
    return 0;
}

int update_sql_zones_timestamp(sql_conn *db, const std::vector<std::string> &names) {
    if (names.empty())
        return 0;
    std::string format = "UPDATE zone SET revise_time = unix_timestamp(NOW()) WHERE name IN (";
    std::vector<sql_arg> args;
    for (size_t i = 0; i < names.size(); ++i) {
        format += i == 0 ? "'%s'" : ", '%s'";
        args.emplace_back(names[i]);
    }
    format += ")";
    if (fr_sql_query_args(db, nullptr, format, args) != 0) {
        log_query_error(db);
        return -1;
    }
    return 0;
}

int update_enum_services_set(sql_conn *db, enum_services &set, time_t now) {
    if (set.refreshed != 0 && now - set.refreshed < 600)
        return 0;
    LOGF(LOG_DEBUG, "Updating the ENUM services set.");
    sql_result res;
    if (fr_sql_query(db, &res,
                     "SELECT `name` FROM `srv_service_protocol_type` WHERE "
                     "`record_type`='NAPTR'") != 0) {
        log_query_error(db);
        return -1;
    }
    std::unordered_set<std::string> names;
    while (sql_row row = fr_sql_fetchrow(res))
        if (is_text(row.get(0)))
            names.insert(row.get(0));
    set.names = std::move(names);
    set.refreshed = now;
    return 0;
}
