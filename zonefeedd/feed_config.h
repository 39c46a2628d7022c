// The feed daemon's settings: the shared keys (database, pid file, log engine) and its own
// (download directory, run user and group, run interval, transfer limits, thread and worker
// counts, file limits, mail program, certificate checking).
//
// A load fills a fresh record from the whole file and checks it; the daemon takes it over
// only when everything loaded. The load itself logs the defaults it takes and its refusals.
//
// Touches only the configuration file and the user and group databases.
#pragma once

#include "daemon_settings.h"

#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>

inline constexpr program_identity zonefeedd_identity = {"zonefeedd", "ZONEFEED",
                                                        "/var/run/zonaris/zonefeedd.pid"};

struct feed_settings {
    base_settings base;
    std::string download_d;                 // DOWNLOAD_D, cleaned
    std::string run_user = "zonaris";       // ZONEFEED_USER
    std::string run_group = "zonaris";      // ZONEFEED_GROUP
    uid_t run_uid = static_cast<uid_t>(-1); // -1: not changed (not root)
    gid_t run_gid = static_cast<gid_t>(-1);
    uint32_t run_interval = 1800;         // ZONEFEED_RUN_INTERVAL, seconds
    long download_timeout = 3;            // DOWNLOAD_URL_TIMEOUT, seconds
    long connect_timeout = 3;             // DOWNLOAD_URL_CONNECT_TIMEOUT, seconds
    int max_download_threads = 20;        // MAX_DOWNLOAD_THREADS
    int concurrency_limit = 10;           // ZONEFEED_CONCURRENCY_LIMIT
    long long max_file_size = 900 * 1024; // MAX_FILE_SIZE (KiB in the file), bytes
    int max_zones_perfile = 5000;         // MAX_ZONES_PERFILE
    int max_records = 1000;               // MAX_RECORDS
    std::string sendmail;                 // SENDMAIL_BIN_FILE
    bool verify_cert = false;             // DOWNLOAD_URL_VERIFY_CERT (0 or 1)
    std::string ca_file;                  // DOWNLOAD_URL_CA_FILE
    int mail_time_limit = 60;             // SENDMAIL_TIME_LIMIT, seconds
    int worker_stall_limit = 600;         // ZONEFEED_WORKER_STALL_LIMIT: seconds a worker may
                                          // hold a chunk without finishing a zone
};

// Reads and checks `path` into `out`. `current` is the running record for a reread (its
// pid file and run ids stay; DOWNLOAD_URL_TIMEOUT and ZONEFEED_RUN_INTERVAL keep their
// running values when the file no longer sets them), nullptr at start-up. 0, or -1 after
// the reason was logged. `on_parsed`, when given, is called once the file was read (before
// the checks), so that their lines already go to the configured log engine.
[[nodiscard]] int
load_feed_settings(const std::string &path, const feed_settings *current, feed_settings &out,
                   const std::function<void(const base_settings &)> &on_parsed = {});
