#include "feed_ownership.h"

#include "dns_validator.h"
#include "logging.h"

#include <cstring>
#include <strings.h>

namespace {

// "'a', 'b'" from values escaped by the query layer.
std::string quoted_list(sql_conn *db, const std::vector<std::string> &names) {
    std::string out;
    for (const std::string &n : names)
        out += (out.empty() ? "'" : ", '") + fr_sql_escape(db, n) + "'";
    return out;
}

bool ends_with_nocase(const std::string &name, const char *tail) {
    const size_t n = strlen(tail);
    return name.size() >= n && strcasecmp(name.c_str() + name.size() - n, tail) == 0;
}

// The ancestors of `name` (closest first) that lie below `stop` (".", ".arpa." ...): for
// "a.b.example.test." with stop "." they are "b.example.test.", "example.test.", "test.".
std::vector<std::string> ancestors(const std::string &name, const char *stop) {
    std::vector<std::string> out;
    for (size_t dot = name.find('.'); dot != std::string::npos && dot + 1 < name.size();
         dot = name.find('.', dot + 1)) {
        const std::string parent = name.substr(dot + 1);
        if (strcasecmp(parent.c_str(), stop) == 0 || !ends_with_nocase(parent, stop))
            break;
        out.push_back(parent);
    }
    return out;
}

struct stored_zone {
    int id = 0;
    std::string name;
    int client_id = 0;
};

int read_zones(sql_conn *db, const char *statement, const std::vector<sql_arg> &args,
               std::vector<stored_zone> &out) {
    sql_result res;
    if (fr_sql_query_args(db, &res, statement, args) != 0)
        return -1;
    while (sql_row row = fr_sql_fetchrow(res))
        out.push_back({atoi(row.get(0)), std::string(row.view(1)), atoi(row.get(2))});
    return 0;
}

// The names from `name` up to (not including) `ancestor`: the owners a delegation of
// `name` may sit on.
std::vector<std::string> delegation_points(const std::string &name, const std::string &ancestor) {
    std::vector<std::string> out = {name};
    for (const std::string &a : ancestors(name, "."))
        if (a.size() > ancestor.size())
            out.push_back(a);
    return out;
}

// Closest existing ancestor decides.
int check_by_ancestors(sql_conn *db, const zone_header &zone, int client_id, const char *stop) {
    const std::vector<std::string> parents = ancestors(zone.name, stop);
    if (parents.empty()) {
        LOGF(LOG_DEBUG, "top level domain");
        return 0;
    }
    std::vector<stored_zone> found;
    if (read_zones(db, "SELECT id, name, client_id FROM zone WHERE name IN (%s)",
                   {sql_raw{quoted_list(db, parents)}}, found) != 0)
        return OWNERSHIP_QUERY_FAILED;
    const stored_zone *closest = nullptr;
    for (const stored_zone &z : found)
        if (!closest || z.name.size() > closest->name.size())
            closest = &z;
    if (!closest || closest->client_id == client_id)
        return 0;
    LOGF(LOG_DEBUG, "checking if %s is delegated by %s", zone.name.c_str(), closest->name.c_str());
    return check_zone_delegation(db, closest->id, delegation_points(zone.name, closest->name));
}

bool overlaps(const arpa_ipv4_net &a, const arpa_ipv4_net &b) {
    const int prefix = std::min(a.prefix, b.prefix);
    const uint32_t mask = prefix == 0 ? 0 : ~uint32_t(0) << (32 - prefix);
    return (a.address & mask) == (b.address & mask);
}

int check_reverse_ipv4(sql_conn *db, const zone_header &zone, int client_id) {
    arpa_ipv4_net mine;
    if (split_arpa_ipv4(zone.name, mine) != 0)
        return -1;
    const std::vector<std::string> parents = ancestors(zone.name, ".in-addr.arpa.");
    if (parents.empty()) {
        LOGF(LOG_DEBUG, "top level arpa zone");
        return 0;
    }
    // Classless zones are siblings below the same parent, whatever their separator.
    std::vector<stored_zone> found;
    if (read_zones(db,
                   "SELECT id, name, client_id FROM zone WHERE client_id != '%d' AND (name IN "
                   "(%s) OR name LIKE '%%.%s')",
                   {client_id, sql_raw{quoted_list(db, parents)}, parents.front()}, found) != 0)
        return OWNERSHIP_QUERY_FAILED;
    bool covered = false;
    for (const stored_zone &z : found) {
        arpa_ipv4_net net;
        LOGF(LOG_DEBUG, "checking %s against %s", zone.name.c_str(), z.name.c_str());
        if (split_arpa_ipv4(z.name, net) != 0 || !overlaps(mine, net))
            continue;
        covered = true;
        const int delegated = check_zone_delegation(db, z.id, {zone.name});
        if (delegated != -1)
            return delegated;
    }
    return covered ? -1 : 0;
}

} // namespace

int check_zone_existence(sql_conn *db, const std::string &name, int client_id) {
    sql_result res;
    if (fr_sql_query(db, &res, "SELECT client_id FROM zone WHERE name = '%s'", name) != 0)
        return -1;
    sql_row row = fr_sql_fetchrow(res);
    if (!row)
        return 0;
    return atoi(row.get(0)) == client_id ? 1 : -1;
}

int check_zone_delegation(sql_conn *db, int zone_id, const std::vector<std::string> &hosts) {
    sql_result res;
    if (hosts.empty() ||
        fr_sql_query(db, &res,
                     "SELECT COUNT(id) FROM zone_dns_records WHERE zone_id = '%d' AND entry_type "
                     "= 'NS' AND host IN (%s) AND status = 1",
                     zone_id, sql_raw{quoted_list(db, hosts)}) != 0)
        return OWNERSHIP_QUERY_FAILED;
    sql_row row = fr_sql_fetchrow(res);
    return row && atoi(row.get(0)) > 0 ? 0 : -1;
}

int check_zone_ownership(sql_conn *db, const zone_header &zone, int client_id) {
    LOGF(LOG_DEBUG, "checking zone ownership for (%d): %s", client_id, zone.name.c_str());
    const int existing = check_zone_existence(db, zone.name, client_id);
    if (existing < 0) {
        LOGF(LOG_ERR, "Zone %s is owned by another client.", zone.name.c_str());
        return -1;
    }
    if (existing == 1) {
        LOGF(LOG_DEBUG, "zone is already owned by the client");
        return 0;
    }
    return check_new_zone_ownership(db, zone, client_id) == 0 ? 0 : -1;
}

int check_new_zone_ownership(sql_conn *db, const zone_header &zone, int client_id) {
    switch (zone.kind) {
    case KIND_REVERSE4:
        return check_reverse_ipv4(db, zone, client_id);
    case KIND_REVERSE6:
    case KIND_ENUM:
        return check_by_ancestors(db, zone, client_id, ".arpa.");
    default:
        return check_by_ancestors(db, zone, client_id, ".");
    }
}
