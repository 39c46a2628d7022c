#include "dns_log.h"

#include "liblog.h"

#include <string>
#include <vector>

int sql_log(sql_conn *db, int facility, int level, const char *message, const char *info_code,
            const char *info, unsigned client_id, unsigned zone_feed_id, unsigned zone_id,
            const char *zone_feed_url, const char *zone_name, int max_level) {
    if (!db || level > max_level)
        return 0;
    const char *facility_name = nullptr;
    if (facility == FACILITY_REMOTE_UPDATE)
        facility_name = "REMOTE_UPDATE";
    else if (facility == FACILITY_ZONEBUILD)
        facility_name = "ZONEBUILD";
    else
        return -1;

    std::string format = "INSERT   INTO logs(facility, level, message, info_code, log_timestamp , "
                         "info, client_id, zone_feed_id, zone_id, zone_feed_url, zone_name)   "
                         "VALUES('%s', '%d', '%s', '%s', NOW()";
    std::vector<sql_arg> args = {facility_name, level, message ? message : "",
                                 info_code ? info_code : ""};
    auto text_column = [&](const char *value) {
        if (value) {
            format += ",'%s'";
            args.emplace_back(value);
        } else {
            format += ",%s";
            args.emplace_back(sql_raw{"NULL"});
        }
    };
    auto id_column = [&](unsigned value) {
        if (value) {
            format += ",'%d'";
            args.emplace_back(value);
        } else {
            format += ",%s";
            args.emplace_back(sql_raw{"NULL"});
        }
    };
    text_column(info);
    id_column(client_id);
    id_column(zone_feed_id);
    id_column(zone_id);
    text_column(zone_feed_url);
    text_column(zone_name);
    format += ")";

    if (fr_sql_query_args(db, nullptr, format, args) != 0) {
        fr_log_impl("dns_log.cpp", __LINE__, "sql_log", LOG_ERR, 0, "%s", fr_sql_error(db).c_str());
        return -1;
    }
    return 0;
}

int read_db_log_level(sql_conn *db, int *status) {
    auto value = fr_sql_misc_value(db, "log_level", status);
    if (value && !value->empty() && (*value)[0] >= '0' && (*value)[0] <= '7')
        return (*value)[0] - '0';
    return 3;
}
