#include "poolwatch_switch.h"

#include "logging.h"
#include "poolwatch_db.h"

#include <cstdlib>

namespace {

// A COUNT(*) query's number; -1 when the query failed.
long long count_rows(sql_conn *db, const char *format, const std::string &zone) {
    sql_result res;
    if (fr_sql_query(db, &res, format, zone) != 0)
        return -1;
    sql_row row = fr_sql_fetchrow(res);
    if (!row || row.is_null(0))
        return -1;
    return std::atoll(row.get(0));
}

// Ends the transaction without a trace; a lost connection rolls back on its own.
switch_result roll_back(sql_conn *db, switch_result result) {
    fr_sql_query(db, nullptr, "ROLLBACK");
    return result;
}

switch_result failed(sql_conn *db, const pool_record &rec) {
    LOGF(LOG_ERR,
         "Zone:\"%s\" record type:'%s' with value:\"%s\" could not be switched (%s), will try "
         "again.",
         rec.zone.c_str(), rec.type.c_str(), rec.value.c_str(), fr_sql_error(db).c_str());
    return roll_back(db, SWITCH_FAILED);
}

} // namespace

switch_result poolwatch_poll_checkup_update(sql_conn *db, const pool_record &rec, int verdict) {
    if (verdict == OUTCOME_UP && rec.status == RECORD_DISABLED)
        return poolwatch_poll_record_real_update(db, rec, RECORD_ENABLED);
    if (verdict == OUTCOME_DOWN && rec.status == RECORD_ENABLED)
        return poolwatch_poll_record_real_update(db, rec, RECORD_DISABLED);
    LOGF(LOG_NOTICE, "Zone:\"%s\" record type:'%s' with value:\"%s\" found unchanged.",
         rec.zone.c_str(), rec.type.c_str(), rec.value.c_str());
    return SWITCH_UNCHANGED;
}

switch_result poolwatch_poll_record_real_update(sql_conn *db, const pool_record &rec, int status) {
    if (fr_sql_query(db, nullptr, "START TRANSACTION") != 0)
        return failed(db, rec);

    const long long deleting = count_rows(
        db, " SELECT COUNT(*) FROM changes WHERE zone_name = \"%s\" AND type = 'd'", rec.zone);
    if (deleting < 0)
        return failed(db, rec);
    if (deleting > 0) {
        LOGF(LOG_ERR, "Zone:\"%s\" and all its resource records has been removed meanwhile.",
             rec.zone.c_str());
        return roll_back(db, SWITCH_REFUSED);
    }

    if (fr_sql_query(db, nullptr,
                     " UPDATE zone_dns_records SET status = %d WHERE id = %d AND status = %d",
                     status, rec.id, rec.status) != 0)
        return failed(db, rec);
    if (fr_sql_affectedrows(db) == 0) {
        LOGF(LOG_NOTICE,
             "Zone:\"%s\" record type:'%s' with value:\"%s\" changed meanwhile, left as it is.",
             rec.zone.c_str(), rec.type.c_str(), rec.value.c_str());
        return roll_back(db, SWITCH_REFUSED);
    }

    // Refresh the zone's pending update, or queue one. Counting first and updating later
    // could miss a row the zone builder consumed in between: the update itself tells.
    if (fr_sql_query(db, nullptr,
                     " UPDATE changes  SET timestamp = UNIX_TIMESTAMP()  WHERE zone_name = \"%s\"  "
                     "AND type = 'u'",
                     rec.zone) != 0)
        return failed(db, rec);
    if (fr_sql_affectedrows(db) == 0 &&
        fr_sql_query(db, nullptr,
                     " INSERT INTO changes(zone_name, type, timestamp) VALUES(\"%s\", 'u', "
                     "UNIX_TIMESTAMP())",
                     rec.zone) != 0)
        return failed(db, rec);

    if (fr_sql_query(db, nullptr, "COMMIT") != 0)
        return failed(db, rec);

    if (status == RECORD_ENABLED) {
        poolwatch_db_log(db, LOG_ERR,
                         "Zone %s record type %s with value %s found available, enabling",
                         rec.zone.c_str(), rec.type.c_str(), rec.value.c_str());
        LOGF(LOG_WARNING,
             "Zone:\"%s\" record type:\"%s\" with value:\"%s\" found available, enabling.",
             rec.zone.c_str(), rec.type.c_str(), rec.value.c_str());
    } else {
        poolwatch_db_log(db, LOG_ERR,
                         "Zone %s record type %s with value %s found not available, disabling",
                         rec.zone.c_str(), rec.type.c_str(), rec.value.c_str());
        LOGF(LOG_WARNING,
             "Zone:\"%s\" record type:'%s' with value:\"%s\" found not available, disabling.",
             rec.zone.c_str(), rec.type.c_str(), rec.value.c_str());
    }
    return SWITCH_DONE;
}
