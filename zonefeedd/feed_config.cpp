#include "feed_config.h"

#include "dns_common.h"
#include "logging.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace {

struct raw_feed_config {
    std::optional<std::string> download_d, user, group, sendmail, ca_file;
    std::optional<long long> interval, timeout, connect_timeout, threads, concurrency, file_size,
        zones, records, verify, mail_limit, stall_limit;
};

std::vector<config_entry> feed_keys(raw_feed_config &r) {
    return {config_text("DOWNLOAD_D", r.download_d),
            config_text("ZONEFEED_USER", r.user),
            config_text("ZONEFEED_GROUP", r.group),
            config_number("ZONEFEED_RUN_INTERVAL", r.interval),
            config_number("DOWNLOAD_URL_TIMEOUT", r.timeout),
            config_number("DOWNLOAD_URL_CONNECT_TIMEOUT", r.connect_timeout),
            config_number("MAX_DOWNLOAD_THREADS", r.threads),
            config_number("ZONEFEED_CONCURRENCY_LIMIT", r.concurrency),
            config_number("MAX_FILE_SIZE", r.file_size),
            config_number("MAX_ZONES_PERFILE", r.zones),
            config_number("MAX_RECORDS", r.records),
            config_text("SENDMAIL_BIN_FILE", r.sendmail),
            config_number("DOWNLOAD_URL_VERIFY_CERT", r.verify),
            config_text("DOWNLOAD_URL_CA_FILE", r.ca_file),
            config_number("SENDMAIL_TIME_LIMIT", r.mail_limit),
            config_number("ZONEFEED_WORKER_STALL_LIMIT", r.stall_limit)};
}

// A count or a limit that must be at least `low`: a value below it would leave a run
// without threads, workers or time limits.
int positive(const std::optional<long long> &value, long long low, long long high, const char *key,
             long long fallback, long long &out) {
    if (!value) {
        out = fallback;
        return 0;
    }
    if (*value < low || *value > high) {
        LOGF(LOG_ERR, "Invalid value of %s: %lld.", key, *value);
        return -1;
    }
    out = *value;
    return 0;
}

int look_up_run_ids(feed_settings &s) {
    if (getuid() != 0) {
        LOGF(LOG_DEBUG, "We are not root. We won't change the run user/group.");
        return 0;
    }
    const struct passwd *pw = getpwnam(s.run_user.c_str());
    if (!pw) {
        LOGF(LOG_ERR, "Unknown run user '%s'.", s.run_user.c_str());
        return -1;
    }
    const struct group *gr = getgrnam(s.run_group.c_str());
    if (!gr) {
        LOGF(LOG_ERR, "Unknown run group '%s'.", s.run_group.c_str());
        return -1;
    }
    s.run_uid = pw->pw_uid;
    s.run_gid = gr->gr_gid;
    return 0;
}

int load_download_dir(const std::optional<std::string> &value, feed_settings &s) {
    if (!value || value->empty()) {
        s.download_d = "/usr/local/zonaris/tmp";
        LOGF(LOG_INFO, "Download directory was not specified. Using default: %s.",
             s.download_d.c_str());
        return 0;
    }
    s.download_d = *value;
    if (path_purge(s.download_d, 0) != 0 || s.download_d.empty()) {
        LOGF(LOG_ERR, "Invalid download directory: %s", value->c_str());
        return -1;
    }
    LOGF(LOG_INFO, "Using configured download directory: %s", s.download_d.c_str());
    return 0;
}

int load_limits(const raw_feed_config &r, const feed_settings *current, feed_settings &s) {
    long long v = 0;
    const long long day = 86400;
    // A reread keeps the running interval and transfer limit when the file dropped them.
    if (positive(r.interval, 0, day * 366, "ZONEFEED_RUN_INTERVAL",
                 current ? current->run_interval : 1800, v) != 0)
        return -1;
    if (v == 0) {
        LOGF(LOG_ERR, "Invalid run interval value: %d.", 0);
        return -1;
    }
    s.run_interval = static_cast<uint32_t>(v);
    if (positive(r.timeout, 1, day, "DOWNLOAD_URL_TIMEOUT", current ? current->download_timeout : 3,
                 v) != 0)
        return -1;
    s.download_timeout = v;
    if (positive(r.connect_timeout, 1, day, "DOWNLOAD_URL_CONNECT_TIMEOUT", 3, v) != 0)
        return -1;
    s.connect_timeout = v;
    if (positive(r.threads, 1, 1000, "MAX_DOWNLOAD_THREADS", 20, v) != 0)
        return -1;
    s.max_download_threads = static_cast<int>(v);
    if (positive(r.concurrency, 1, 1000, "ZONEFEED_CONCURRENCY_LIMIT", 10, v) != 0)
        return -1;
    s.concurrency_limit = static_cast<int>(v);
    if (positive(r.file_size, 1, 1LL << 30, "MAX_FILE_SIZE", 900, v) != 0)
        return -1;
    s.max_file_size = v * 1024;
    if (positive(r.zones, 1, 1LL << 30, "MAX_ZONES_PERFILE", 5000, v) != 0)
        return -1;
    s.max_zones_perfile = static_cast<int>(v);
    if (positive(r.records, 1, 1LL << 30, "MAX_RECORDS", 1000, v) != 0)
        return -1;
    s.max_records = static_cast<int>(v);
    if (positive(r.verify, 0, 1, "DOWNLOAD_URL_VERIFY_CERT", 0, v) != 0)
        return -1;
    s.verify_cert = v == 1;
    if (positive(r.mail_limit, 1, day, "SENDMAIL_TIME_LIMIT", 60, v) != 0)
        return -1;
    s.mail_time_limit = static_cast<int>(v);
    if (positive(r.stall_limit, 1, day, "ZONEFEED_WORKER_STALL_LIMIT", 600, v) != 0)
        return -1;
    s.worker_stall_limit = static_cast<int>(v);
    return 0;
}

} // namespace

int load_feed_settings(const std::string &path, const feed_settings *current, feed_settings &out,
                       const std::function<void(const base_settings &)> &on_parsed) {
    raw_feed_config r;
    feed_settings s;
    std::string error;
    if (read_base_settings(zonefeedd_identity, path, s.base, error, feed_keys(r)) != 0) {
        LOGF(LOG_ERR, "%s", error.c_str());
        return -1;
    }
    if (on_parsed)
        on_parsed(s.base);
    if (current) {
        s.base.pid_file = current->base.pid_file;
        s.run_user = current->run_user;
        s.run_group = current->run_group;
        s.run_uid = current->run_uid;
        s.run_gid = current->run_gid;
    } else {
        if (s.base.pid_file_default)
            LOGF(LOG_INFO, "Pid file path not set in '%s'. Using default '%s'.", path.c_str(),
                 s.base.pid_file.c_str());
        s.run_user = r.user && !r.user->empty() ? *r.user : "zonaris";
        s.run_group = r.group && !r.group->empty() ? *r.group : "zonaris";
        if (look_up_run_ids(s) != 0)
            return -1;
    }
    if (auto missing = missing_db_setting(s.base.db)) {
        LOGF(LOG_ERR, "%s", missing->c_str());
        return -1;
    }
    LOGF(LOG_INFO, "Using configured database port: %u.", s.base.db.port);
    LOGF(LOG_DEBUG, "Using configured database host url: %s.", s.base.db.host.c_str());
    LOGF(LOG_DEBUG, "Using configured database user: %s.", s.base.db.user.c_str());
    LOGF(LOG_DEBUG, "Database name is: %s.", s.base.db.name.c_str());
    if (load_limits(r, current, s) != 0 || load_download_dir(r.download_d, s) != 0)
        return -1;
    s.sendmail = r.sendmail.value_or("");
    s.ca_file = r.ca_file.value_or("");
    out = std::move(s);
    return 0;
}
