// What happens to each feed once its download ended: a failed download is recorded (event
// EPU01, one more failure towards the feed's warning mail); a downloaded file is checked
// against the client's rights and its zone headers are scanned, claiming the zones for the
// feed with the best priority in the run's zone set (feed_scan.h).
//
// The result context runs on the result thread with a database connection of its own, so
// the scan never waits for the downloaders' event rows on the main connection.
#pragma once

#include "feed_download.h"
#include "feed_parse_report.h"
#include "feed_record.h"
#include "feed_scan.h"
#include "sql.h"

struct zonefeedd_state;

// Downloader thread: the event row (on the main connection, under its lock) and the count.
void report_download_failure(zonefeedd_state &st, feed_record &feed, const download_outcome &out);

// Enters the built-in empty reverse zones, which no feed may claim; and takes them out.
void zone_placeholder_add(zone_set &zones);
void zone_placeholder_rm(zone_set &zones);

class result_context {
  public:
    // Made on the main thread before the run's threads start; the zone set is the job's.
    result_context(zonefeedd_state &st, zone_set &zones);
    ~result_context();
    result_context(const result_context &) = delete;
    result_context &operator=(const result_context &) = delete;

    // Result thread: one downloaded feed. Sets feed.scanned when the whole file was scanned.
    void process(feed_record &feed);

  private:
    zonefeedd_state &st_;
    zone_set &zones_;
    sql_handle db_; // the result thread's own connection, opened on first use
    feed_reporter report_;
};
