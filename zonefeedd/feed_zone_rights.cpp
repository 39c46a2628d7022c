#include "feed_zone_rights.h"

#include "dns_validator.h"
#include "event_row.h"
#include "feed_db.h"
#include "feed_zone_db.h"
#include "logging.h"

namespace {

void zone_event(sql_conn *db, const feed_record &feed, const zone_header &zone, int level,
                const char *message, const char *code, const std::string &info, int event_level) {
    (void)event_row(FACILITY_REMOTE_UPDATE, level, message, code)
        .info(info)
        .client(feed.client_id)
        .feed(feed.id, feed.url)
        .zone(zone.zone_id > 0 ? zone.zone_id : 0, zone.name)
        .write(db, event_level);
}

// The add/remove level of the zone's kind and the words the refusal uses.
struct kind_right {
    int level;
    const char *what; // "reverse", "e164", "forward"
};
kind_right right_of(const feed_record &feed, const zone_header &zone) {
    switch (zone.kind) {
    case KIND_REVERSE4:
    case KIND_REVERSE6:
        return {feed.perm.reverse_level, "reverse"};
    case KIND_ENUM:
        return {feed.perm.enum_level, "e164"};
    default:
        return {feed.perm.forward_level, "forward"};
    }
}

} // namespace

bool may_add_remove(sql_conn *db, const feed_record &feed, const zone_header &zone,
                    int event_level) {
    const kind_right r = right_of(feed, zone);
    if (r.level <= level_add_remove)
        return true;
    const std::string info = std::string("Add/Remove ") + r.what + " zone";
    zone_event(db, feed, zone, LOG_WARNING, "Client permission denied", "ES02", info, event_level);
    LOGF(LOG_ERR, "Client permission denied: %s. client id: %d", info.c_str(), feed.client_id);
    return false;
}

void refuse_other_clients_zone(sql_conn *db, const feed_record &feed, const zone_header &zone,
                               int owner_client, int event_level) {
    zone_event(db, feed, zone, LOG_WARNING, "Client permission denied", "ES02",
               "Modify other's zone", event_level);
    if (owner_client > 0)
        LOGF(LOG_ERR, "Client [%d] is trying to modify a zone owned by client [%d].",
             feed.client_id, owner_client);
    else
        LOGF(LOG_ERR, "Client [%d] is trying to create %s inside another client's zone.",
             feed.client_id, zone.name.c_str());
}

int can_create_zone(sql_conn *db, const feed_record &feed, const zone_header &zone,
                    int event_level) {
    if (!may_add_remove(db, feed, zone, event_level))
        return 0;
    const int limit = feed.perm.max_zones;
    if (limit < 0)
        return 1;
    sql_result lock, count;
    if (fr_sql_query(db, &lock, "SELECT id FROM client WHERE id = '%d' FOR UPDATE",
                     feed.client_id) != 0 ||
        fr_sql_query(db, &count, "SELECT count(id) FROM zone WHERE client_id = '%d'",
                     feed.client_id) != 0)
        return -1;
    sql_row row = fr_sql_fetchrow(count);
    if (row && atoi(row.get(0)) < limit)
        return 1;
    zone_event(db, feed, zone, LOG_WARNING, "Client's maximum number of zones limit reached",
               "ES03", std::to_string(limit), event_level);
    LOGF(LOG_ERR, "Client [%d] has reached the maximum no of zones (%d).", feed.client_id, limit);
    return 0;
}

int create_zone(sql_conn *db, const feed_record &feed, zone_header &zone, int event_level) {
    if (get_zone_data(db, zone) != 0) {
        LOGF(LOG_ERR, "Error retrieving zone data from sql.");
        return -1;
    }
    if (zone.is_new) {
        if (can_create_zone(db, feed, zone, event_level) != 1)
            return -1;
        return create_sql_zone(db, zone, feed);
    }
    return may_write_existing_zone(db, feed, zone, event_level);
}

int may_write_existing_zone(sql_conn *db, const feed_record &feed, const zone_header &zone,
                            int event_level) {
    if (zone.client_id != feed.client_id) {
        refuse_other_clients_zone(db, feed, zone, zone.client_id, event_level);
        return -1;
    }
    if (zone.url_id != feed.id && feed.perm.ignore_other_urls) {
        zone_event(db, feed, zone, LOG_NOTICE,
                   "Zone ignored due to \"Lock zones to an update source\" activated", "EPU07",
                   get_url_name(db, zone.url_id), event_level);
        LOGF(LOG_ERR,
             "Cannot manage DNS zone %s. It is maintained by a different url (import file) and "
             "\"Lock zones to an update source\" is set.",
             zone.name.c_str());
        return -1;
    }
    if (zone.stored_type == zone.type)
        return 0;
    return may_add_remove(db, feed, zone, event_level) ? 0 : -1;
}

int higherprio_url_owner(const std::vector<idle_feed> &idle, int client_id, int feed_id,
                         int priority) {
    for (const idle_feed &f : idle)
        if (f.id == feed_id && f.client_id == client_id && f.priority <= priority)
            return 1;
    return 0;
}

int purge_sql_zones(sql_conn *db, const feed_record &feed, zone_set &zones,
                    const std::unordered_map<int, int> &feed_clients) {
    sql_result res;
    if (fr_sql_query(db, &res,
                     "SELECT id, name, client_id, url_id FROM zone WHERE client_id = '%d' AND "
                     "url_id = '%d' ",
                     feed.client_id, feed.id) != 0)
        return -1;
    while (sql_row row = fr_sql_fetchrow(res)) {
        const int id = atoi(row.get(0));
        const std::string name(row.view(1));
        if (const zone_claim *claim = zone_set_find(zones, name)) {
            if (claim->feed_id == feed.id)
                continue;
            auto owner = feed_clients.find(claim->feed_id);
            if (owner == feed_clients.end() || owner->second != feed.client_id)
                continue;
            if (feed.perm.ignore_other_urls)
                zone_set_erase(zones, name);
        }
        zone_header zone;
        zone.name = name;
        zone.kind = is_arpa_light_check(name);
        if (right_of(feed, zone).level > level_add_remove)
            continue;
        if (fr_sql_query(db, nullptr, "DELETE FROM zone WHERE id = '%d'", id) != 0 ||
            update_changes(db, name, 2) != 0)
            return -1;
        LOGF(LOG_INFO, "DNS zone %s removed: no longer in the file from %s.", name.c_str(),
             feed.url.c_str());
    }
    return 0;
}
