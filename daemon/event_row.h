// Event rows (the `logs` table the panel shows) with named fields:
//
//   event_row(FACILITY_ZONEBUILD, LOG_NOTICE, "Program started", "ER01a")
//       .info(std::to_string(getpid()))
//       .write(db, event_level);
//
// Fields left out are stored as NULL, exactly as sql_log stores its absent arguments;
// the row goes through sql_log, so the columns and their escaping stay the same.
//
// Owns nothing; writes one row through the given connection.
#pragma once

#include "dns_log.h"

#include <optional>
#include <string>

class event_row {
  public:
    event_row(int facility, int level, std::string message, std::string code)
        : facility_(facility), level_(level), message_(std::move(message)), code_(std::move(code)) {
    }

    event_row &info(std::string text) {
        info_ = std::move(text);
        return *this;
    }
    event_row &client(unsigned id) {
        client_id_ = id;
        return *this;
    }
    event_row &feed(unsigned id, std::string url) {
        feed_id_ = id;
        feed_url_ = std::move(url);
        return *this;
    }
    event_row &feed_id(unsigned id) {
        feed_id_ = id;
        return *this;
    }
    event_row &zone(unsigned id, std::string name) {
        zone_id_ = id;
        zone_name_ = std::move(name);
        return *this;
    }
    event_row &zone_id(unsigned id) {
        zone_id_ = id;
        return *this;
    }
    event_row &zone_name(std::string name) {
        zone_name_ = std::move(name);
        return *this;
    }

    // Writes the row when `db` is given and the level is at most `max_level`. 0 when written
    // or not due; -1 when the facility is unknown or the insert failed (logged by sql_log).
    [[nodiscard]] int write(sql_conn *db, int max_level) const;

    int level() const { return level_; }
    const std::string &message() const { return message_; }

  private:
    int facility_, level_;
    std::string message_, code_;
    std::optional<std::string> info_, feed_url_, zone_name_;
    unsigned client_id_ = 0, feed_id_ = 0, zone_id_ = 0;
};
