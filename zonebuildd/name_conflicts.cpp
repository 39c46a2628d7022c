#include "name_conflicts.h"

#include "dns_log.h"
#include "event_row.h"
#include "liblog.h"
#include "logging.h"

#include <map>

namespace {

// The identity as SQL computes it, for a column or alias `c`.
std::string identity_sql(const char *c) {
    return std::string("LOWER(IF(RIGHT(") + c + ", 1) = '.', " + c + ", CONCAT(" + c + ", '.')))";
}

struct zone_row {
    std::string name;
    uint32_t id = 0;
    uint32_t client_id = 0;
    bool written = false; // a job wrote it before (revise_time set)
};

// Every active row that shares its identity with another active row, by identity.
int read_conflicts(sql_conn *db, std::map<std::string, std::vector<zone_row>> &groups) {
    const std::string ident = identity_sql("name");
    const std::string statement =
        "SELECT z.id, z.name, z.client_id, z.revise_time, d.ident FROM zone z JOIN (SELECT " +
        ident + " AS ident FROM zone WHERE status = '1' GROUP BY ident HAVING COUNT(*) > 1) d ON " +
        identity_sql("z.name") + " = d.ident WHERE z.status = '1' ORDER BY d.ident, z.id";
    sql_result res;
    if (fr_sql_query(db, &res, "%s", sql_raw{statement}) != 0) {
        FR_LOG(LOG_WARNING, "%s", fr_sql_error(db).c_str());
        return -1;
    }
    while (sql_row row = fr_sql_fetchrow(res)) {
        if (row.is_null(1) || row.is_null(4))
            continue;
        zone_row z;
        z.id = static_cast<uint32_t>(strtoul(row.get(0), nullptr, 10));
        z.name = row.get(1);
        z.client_id = row.get(2) ? static_cast<uint32_t>(strtoul(row.get(2), nullptr, 10)) : 0;
        z.written = row.get(3) && strtoul(row.get(3), nullptr, 10) != 0;
        groups[row.get(4)].push_back(std::move(z));
    }
    return 0;
}

// The identities of the active zones among `identities`. 0, or -1.
int active_identities(sql_conn *db, const std::vector<std::string> &identities,
                      std::unordered_map<std::string, std::string> &active) {
    constexpr size_t batch = 1000;
    for (size_t start = 0; start < identities.size(); start += batch) {
        std::string format =
            "SELECT name FROM zone WHERE status = '1' AND " + identity_sql("name") + " IN (";
        std::vector<sql_arg> args;
        for (size_t i = start; i < identities.size() && i < start + batch; ++i) {
            format += i == start ? "'%s'" : ", '%s'";
            args.emplace_back(identities[i]);
        }
        format += ")";
        sql_result res;
        if (fr_sql_query_args(db, &res, format, args) != 0) {
            FR_LOG(LOG_WARNING, "%s", fr_sql_error(db).c_str());
            return -1;
        }
        while (sql_row row = fr_sql_fetchrow(res))
            if (!row.is_null(0))
                active.emplace(zone_identity(row.get(0)), row.get(0));
    }
    return 0;
}

void refuse(sql_conn *db, const zone_row &z, const zone_row &served, int event_level) {
    report_zone_refusal(db, event_level, z.name, z.client_id, z.id,
                        "The zone name " + z.name + " is already served as zone " + served.name +
                            " (id " + std::to_string(served.id) + ").");
}

} // namespace

std::string zone_identity(std::string_view name) {
    std::string id(name);
    for (char &c : id)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    if (id.empty() || id.back() != '.')
        id.push_back('.');
    return id;
}

int refuse_name_conflicts(sql_conn *db, change_feed &feed, int event_level) {
    if (feed.changes.empty())
        return 0;
    std::map<std::string, std::vector<zone_row>> groups;
    if (read_conflicts(db, groups) != 0)
        return -1;
    for (const auto &[ident, rows] : groups) {
        const zone_row *served = &rows.front();
        for (const zone_row &z : rows)
            if (z.written) {
                served = &z;
                break;
            }
        for (const zone_row &z : rows) {
            if (&z == served)
                continue;
            const auto it = feed.changes.find(z.name);
            if (it == feed.changes.end())
                continue;
            refuse(db, z, *served, event_level);
            feed.changes.erase(it);
        }
    }

    std::vector<std::string> removal_ids;
    for (const auto &[name, entry] : feed.changes)
        if (entry.id < 1)
            removal_ids.push_back(zone_identity(name));
    if (removal_ids.empty())
        return 0;
    std::unordered_map<std::string, std::string> active;
    if (active_identities(db, removal_ids, active) != 0)
        return -1;
    for (auto &[name, entry] : feed.changes) {
        if (entry.id >= 1)
            continue;
        const auto it = active.find(zone_identity(name));
        if (it == active.end() || it->second == name)
            continue;
        LOGF(LOG_INFO, "Zone %s is removed, but its name is served as zone %s: its files stay.",
             name.c_str(), it->second.c_str());
        entry.foreign_files = true;
    }
    return 0;
}
