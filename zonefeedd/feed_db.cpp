#include "feed_db.h"

#include "dns_validator.h"
#include "liblog.h"
#include "logging.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <strings.h>

namespace {

// The decimal value of a column; 0 for text that is not a number (as atoi would give).
long long number(std::string_view text) {
    return std::strtoll(std::string(text).c_str(), nullptr, 10);
}

int tristate(std::string_view value) {
    if (!value.empty() && value[0] == '1')
        return 1;
    if (!value.empty() && value[0] == '0')
        return 0;
    return setting_per_client;
}

int soa_index(std::string_view name) {
    for (size_t i = 0; i < soa_param_names.size(); ++i)
        if (name.size() == std::string_view(soa_param_names[i]).size() &&
            strncasecmp(name.data(), soa_param_names[i], name.size()) == 0)
            return static_cast<int>(i);
    return -1;
}

int read_names(sql_conn *db, const char *statement, srv_name_set &out, const char *what) {
    sql_result res;
    if (fr_sql_query(db, &res, statement) != 0)
        return -1;
    while (sql_row row = fr_sql_fetchrow(res)) {
        if (row.is_null(0))
            continue;
        try {
            out.emplace(row.view(0));
        } catch (...) {
            LOGF(LOG_ERR, "Failed to add srv %s [%s] to hash table [%p].", what, row.get(0),
                 static_cast<void *>(&out));
        }
    }
    return 0;
}

// The addresses a feed gives to its zones; a row with a NULL column ends the list.
int read_feed_addresses(sql_conn *db, const std::string &feed_id, feed_record &feed) {
    sql_result res;
    if (fr_sql_query(db, &res, "SELECT value, type FROM url_ip WHERE url_id = '%s'", feed_id) != 0)
        return -1;
    while (sql_row row = fr_sql_fetchrow(res)) {
        if (row.is_null(0) || row.is_null(1))
            break;
        const std::string value(row.view(0));
        const std::string_view type = row.view(1);
        if (type == "allow_transfer") {
            if (valid_acl_ip_cidr(value))
                feed.transfer_list.push_back(value);
        } else if (type == "master") {
            unsigned char buf[16];
            if (valid_named_ipv4(value) || inet_pton(AF_INET6, value.c_str(), buf) == 1)
                feed.master_list.push_back(value);
        }
    }
    return 0;
}

const char scheduled_statement[] =
    "SELECT zone_feed.id, zone_feed.client_id, zone_feed.url, zone_feed.count, "
    "zone_feed.priority, zone_feed.username, zone_feed.password, zone_feed.hash FROM zone_feed, "
    "client WHERE client.id = zone_feed.client_id AND zone_feed.status = '1' AND client.status = "
    "'1'  AND (zone_feed.count = '0' OR unix_timestamp(NOW()) - zone_feed.last_update >= "
    "zone_feed.period * 60) ORDER BY zone_feed.id ";
const char all_statement[] =
    "SELECT zone_feed.id, zone_feed.client_id, zone_feed.url, zone_feed.count, "
    "zone_feed.priority, zone_feed.username, zone_feed.password FROM zone_feed, client WHERE "
    "client.id = zone_feed.client_id  AND zone_feed.status = '1' AND client.status = '1' ORDER "
    "BY zone_feed.id ";
const char custom_statement[] =
    "SELECT DISTINCT(zone_feed.id), zone_feed.client_id, zone_feed.url, zone_feed.count, "
    "zone_feed.priority, zone_feed.username, zone_feed.password FROM zone_feed, client WHERE ( "
    "client.id IN (%s) ) AND client.id = zone_feed.client_id AND zone_feed.status = '1' AND "
    "client.status = '1' ORDER BY zone_feed.id ";
const char idle_statement[] =
    "SELECT id, client_id, priority FROM zone_feed  WHERE zone_feed.status = '1' AND "
    "(zone_feed.count != 0  AND unix_timestamp(NOW()) - zone_feed.last_update < "
    "zone_feed.period * 60)  ORDER BY zone_feed.id ";

int read_idle_feeds(sql_conn *db, std::vector<idle_feed> &out) {
    sql_result res;
    if (fr_sql_query(db, &res, idle_statement) != 0)
        return -1;
    while (sql_row row = fr_sql_fetchrow(res)) {
        if (row.is_null(0) || row.is_null(1) || row.is_null(2))
            continue;
        out.push_back({static_cast<int>(number(row.view(0))), static_cast<int>(number(row.view(1))),
                       static_cast<int>(number(row.view(2)))});
    }
    return 0;
}

} // namespace

int get_settings(sql_conn *db, feed_globals &g) {
    g = feed_globals{};
    sql_result res;
    if (fr_sql_query(db, &res, "SELECT param, value FROM misc ") != 0)
        return -1;
    while (sql_row row = fr_sql_fetchrow(res)) {
        if (row.is_null(0))
            continue;
        const std::string param(row.view(0));
        const std::string value(row.view(1));
        g.misc[param] = value;
        if (param == "ignore_other_urls") {
            g.ignore_other_urls = tristate(value);
        } else if (param == "clean_url_zones") {
            g.clean_url_zones = tristate(value);
        } else if (param == "log_level") {
            g.event_level =
                !value.empty() && value[0] >= '0' && value[0] <= '7' ? value[0] - '0' : 3;
            fr_log_setlevel(g.event_level);
        } else if (int i = soa_index(param); i >= 0 && param == soa_param_names[i]) {
            g.soa[i] = number(value);
        }
    }
    return 0;
}

int get_sql_srv(sql_conn *db, srv_names &out) {
    out = srv_names{};
    if (read_names(db,
                   "SELECT `name` FROM `srv_service_protocol_type` WHERE `type`='service' AND "
                   "`record_type`='SRV'",
                   out.services, "service") != 0)
        return -1;
    return read_names(db,
                      "SELECT `name` FROM `srv_service_protocol_type` WHERE `type`='protocol' AND "
                      "`record_type`='SRV'",
                      out.protocols, "protocol");
}

int get_custom_urls(sql_conn *db, std::string &client_list) {
    client_list.clear();
    sql_result res;
    if (fr_sql_query(db, &res,
                     "SELECT `id`, `value` FROM `custom_job_queue` WHERE `service`='ZONEFEED' AND "
                     "`action` = 'forceclient'") != 0)
        return -1;
    unsigned long long last_id = 0;
    while (sql_row row = fr_sql_fetchrow(res)) {
        last_id = std::max(last_id, static_cast<unsigned long long>(number(row.view(0))));
        if (row.is_null(1) || row.view(1).empty())
            continue;
        client_list += "'" + fr_sql_escape(db, row.view(1)) + "',";
    }
    if (!client_list.empty())
        client_list.pop_back();
    // Only the requests read here are served: one queued by the tool while this run reads
    // stays for the SIGTTIN that follows it.
    return fr_sql_query(
        db, nullptr, "DELETE FROM `custom_job_queue` WHERE `service`='ZONEFEED' AND `id` <= %llu",
        last_id);
}

int clear_custom_urls(sql_conn *db) {
    return fr_sql_query(db, nullptr, "DELETE FROM `custom_job_queue` WHERE `service`='ZONEFEED'");
}

int clear_zone_feed_hash(sql_conn *db) {
    return fr_sql_query(db, nullptr, "UPDATE `zone_feed` SET `hash` = NULL");
}

int get_client_perm(sql_conn *db, int client_id, const feed_globals &g, feed_perm &perm) {
    perm = feed_perm{};
    perm.soa = g.soa;
    sql_result res;
    if (fr_sql_query(db, &res, "SELECT param, value FROM client_prefs WHERE client_id = '%d'",
                     client_id) != 0)
        return -1;
    while (sql_row row = fr_sql_fetchrow(res)) {
        if (row.is_null(0) || row.is_null(1))
            continue;
        const std::string_view param = row.view(0);
        const std::string_view value = row.view(1);
        const int n = static_cast<int>(number(value));
        if (param == "max_domains")
            perm.max_zones = n;
        else if (param == "forward_zone_management")
            perm.forward_level = n;
        else if (param == "inverse_zone_management")
            perm.reverse_level = n;
        else if (param == "e164_zone_management")
            perm.enum_level = n;
        else if (param == "remote_warn_threshold") {
            if (!value.empty())
                perm.warn_threshold = n;
        } else if (param == "ignore_other_urls")
            perm.ignore_other_urls =
                g.ignore_other_urls != setting_per_client ? g.ignore_other_urls : n;
        else if (param == "clean_url_zones")
            perm.clean_url_zones = g.clean_url_zones != setting_per_client ? g.clean_url_zones : n;
        else if (int i = soa_index(param); i >= 0)
            perm.soa[i] = number(value);
    }
    return 0;
}

int get_url_list(sql_conn *db, selection_mode mode, const feed_globals &g, feed_selection &out) {
    out = feed_selection{};
    sql_result res;
    int rc;
    if (mode == selection_mode::custom) {
        std::string clients;
        if (get_custom_urls(db, clients) != 0)
            return -1;
        if (clients.empty()) {
            LOGF(LOG_ERR, "No client was queued for a custom import.");
            return -1;
        }
        rc = fr_sql_query(db, &res, custom_statement, sql_raw{clients});
    } else {
        rc = fr_sql_query(db, &res,
                          mode == selection_mode::scheduled ? scheduled_statement : all_statement);
    }
    if (rc != 0)
        return -1;
    while (sql_row row = fr_sql_fetchrow(res)) {
        bool complete = true;
        for (unsigned i = 0; i < 7; ++i)
            complete = complete && !row.is_null(i);
        if (!complete)
            continue;
        auto feed = std::make_unique<feed_record>();
        feed->id = static_cast<int>(number(row.view(0)));
        feed->client_id = static_cast<int>(number(row.view(1)));
        feed->url = row.view(2);
        feed->count = static_cast<int>(number(row.view(3)));
        feed->priority = static_cast<int>(number(row.view(4)));
        feed->username = row.view(5);
        feed->password = row.view(6);
        if (mode == selection_mode::scheduled && row.size() > 7 && !row.is_null(7))
            feed->hash = row.view(7).substr(0, 32);
        if (read_feed_addresses(db, std::string(row.view(0)), *feed) != 0)
            return -1;
        if (get_client_perm(db, feed->client_id, g, feed->perm) != 0) {
            LOGF(LOG_ERR, "Error getting client [%d] perminssions from database.", feed->client_id);
            return -1;
        }
        out.feeds.push_back(std::move(feed));
    }
    if (mode == selection_mode::scheduled)
        return read_idle_feeds(db, out.idle);
    return 0;
}

std::string get_url_name(sql_conn *db, int feed_id) {
    sql_result res;
    if (fr_sql_query(db, &res, "SELECT url FROM zone_feed WHERE id = '%d'", feed_id) != 0)
        return "-1";
    sql_row row = fr_sql_fetchrow(res);
    if (!row || row.is_null(0))
        return "-1";
    return std::string(row.view(0));
}

int zone_feed_count(sql_conn *db, const feed_record *feed) {
    if (!feed)
        return -1;
    if (feed->hash.empty())
        return fr_sql_query(db, nullptr,
                            "UPDATE zone_feed SET count = '%d', last_update = "
                            "unix_timestamp(NOW()), hash = NULL WHERE id = '%d'",
                            feed->count + 1, feed->id);
    return fr_sql_query(db, nullptr,
                        "UPDATE zone_feed SET count = '%d', last_update = unix_timestamp(NOW()), "
                        "hash = '%s' WHERE id = '%d'",
                        feed->count + 1, feed->hash, feed->id);
}
