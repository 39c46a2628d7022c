#include "feed_parse_report.h"

#include "event_row.h"
#include "logging.h"

#include <string>

void feed_event_write(feed_reporter &report, const feed_record &feed, int level, const char *code,
                      const char *message, std::string_view info, std::string_view zone_name,
                      unsigned zone_id) {
    if (level > report.max_level)
        return;
    std::string info_text(info), zone(zone_name);
    if (report.observer)
        report.observer(feed_event{level, code, message, info_text, zone, zone_id});
    if (!report.db)
        return;
    event_row row(FACILITY_REMOTE_UPDATE, level, message, code);
    row.client(static_cast<unsigned>(feed.client_id))
        .feed(static_cast<unsigned>(feed.id), feed.url)
        .zone_id(zone_id);
    if (info.data())
        row.info(info_text);
    if (!zone.empty())
        row.zone_name(zone);
    // An event-log failure never stops a pass; the row writer has reported it.
    (void)row.write(report.db, report.max_level);
}

namespace {

// Counts one per-line failure; true when it is still within the cap.
bool within_cap(feed_reporter &report, const feed_record &feed) {
    feed_reporter::tally &t = report.failures[feed.id];
    if (t.reported < report.failure_cap) {
        ++t.reported;
        return true;
    }
    ++t.suppressed;
    return false;
}

} // namespace

bool feed_line_failure(feed_reporter &report, const feed_record &feed, int level, const char *code,
                       const char *message, std::string_view info, std::string_view zone_name) {
    if (!within_cap(report, feed))
        return false;
    feed_event_write(report, feed, level, code, message, info, zone_name);
    return true;
}

bool report_record_failure(feed_reporter &report, const feed_record &feed,
                           std::string_view zone_name, std::string_view field, int line,
                           const char *message) {
    if (!within_cap(report, feed))
        return false;
    std::string info(field);
    info += '|';
    info += std::to_string(line);
    std::string shown(field);
    LOGF(LOG_ERR, "Failed to import record value '%s' from %s:%d: %s", shown.c_str(),
         feed.url.c_str(), line, message);
    feed_event_write(report, feed, 4, "EPU04", message, info, zone_name);
    return true;
}

unsigned flush_line_failures(feed_reporter &report, const feed_record &feed) {
    auto it = report.failures.find(feed.id);
    if (it == report.failures.end())
        return 0;
    const unsigned suppressed = it->second.suppressed;
    report.failures.erase(it);
    if (suppressed == 0)
        return 0;
    LOGF(LOG_WARNING, "%u further record failures in the file from %s were not listed.", suppressed,
         feed.url.c_str());
    feed_event_write(report, feed, 4, "EPU04", FAILURE_SUMMARY_MESSAGE, std::to_string(suppressed),
                     "");
    return suppressed;
}
