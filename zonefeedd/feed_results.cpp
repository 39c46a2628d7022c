#include "feed_results.h"

#include "dns_common.h"
#include "event_row.h"
#include "logging.h"
#include "zonefeedd.h"

namespace {

// The final dot is optional in a zone header: both spellings are reserved.
std::vector<std::string> placeholder_names() {
    std::vector<std::string> names;
    for (const std::string &z : empty_zone_list()) {
        names.push_back(z);
        names.push_back(z.substr(0, z.size() - 1));
    }
    return names;
}

bool may_change_records(const feed_perm &p) {
    return p.forward_level <= level_modify || p.reverse_level <= level_modify ||
           p.enum_level <= level_modify;
}

} // namespace

void report_download_failure(zonefeedd_state &st, feed_record &feed, const download_outcome &out) {
    if (st.db) {
        std::lock_guard<std::mutex> lock(fr_sql_lock(st.db.get()));
        (void)event_row(FACILITY_REMOTE_UPDATE, LOG_ERR,
                        out.too_large ? "Event importing file. Download failed. File too large"
                                      : "Event importing file. Download failed",
                        "EPU01")
            .client(feed.client_id)
            .feed(feed.id, feed.url)
            .write(st.db.get(), st.event_level);
    }
    url_stat_warn(st.notices, feed);
}

void zone_placeholder_add(zone_set &zones) {
    for (const std::string &name : placeholder_names())
        zone_set_put(zones, name, zone_claim{0, -1});
}

void zone_placeholder_rm(zone_set &zones) {
    for (const std::string &name : placeholder_names())
        zone_set_erase(zones, name);
}

result_context::result_context(zonefeedd_state &st, zone_set &zones) : st_(st), zones_(zones) {
    report_.max_level = st.event_level;
    zone_placeholder_add(zones_);
}

result_context::~result_context() {
    zone_placeholder_rm(zones_);
}

void result_context::process(feed_record &feed) {
    if (!db_) {
        std::string error;
        db_ = open_database(st_.settings.base.db, error);
        if (!db_) {
            LOGF(LOG_ERR, "%s", error.c_str());
            LOGF(LOG_ERR, "Cannot scan the file of %s without a database connection.",
                 feed.url.c_str());
            feed.scan_failed = true;
            return;
        }
        report_.db = db_.get();
    }
    if (!may_change_records(feed.perm)) {
        feed_event_write(report_, feed, LOG_WARNING, "ES02", "Client permission denied",
                         "Add/Remove/Modify zone records", "");
        LOGF(LOG_INFO, "Client permission denied: Add/Remove/Modify zone records. client id: %d",
             feed.client_id);
        return;
    }
    LOGF(LOG_INFO, "Adding zones from file '%s'.", feed.local_path.c_str());
    scan_env env{report_, zones_, db_.get(), st_.settings.max_zones_perfile};
    feed_file file;
    const int rc = dump2hash(feed, feed.local_path, file, env);
    if (rc == 0) {
        feed.scanned = true;
        return;
    }
    if (rc == SCAN_DB_FAILED) {
        LOGF(LOG_ERR, "Scan of the file from %s stopped: a database query failed.",
             feed.url.c_str());
        feed.scan_failed = true;
        return;
    }
    feed_event_write(report_, feed, LOG_WARNING, "EPU02", "Syntax error", std::to_string(rc), "");
    LOGF(LOG_ERR, "Syntax error in url %s on line %d", feed.url.c_str(), rc);
    url_stat_warn(st_.notices, feed);
}
