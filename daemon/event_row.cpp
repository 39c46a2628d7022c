#include "event_row.h"

namespace {

const char *or_null(const std::optional<std::string> &text) {
    return text ? text->c_str() : nullptr;
}

} // namespace

int event_row::write(sql_conn *db, int max_level) const {
    return sql_log(db, facility_, level_, message_.c_str(), code_.c_str(), or_null(info_),
                   client_id_, feed_id_, zone_id_, or_null(feed_url_), or_null(zone_name_),
                   max_level);
}
