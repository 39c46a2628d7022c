#include "poolwatch_switch.h"

#include "logging.h"
#include "poolwatch_db.h"

#include <cstdlib>

namespace {

// A COUNT(*) query's number; -1 when the query failed.
template <class Arg> long long count_rows(sql_conn *db, const char *format, const Arg &arg) {
    sql_result res;
    if (fr_sql_query(db, &res, format, arg) != 0)
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

switch_result poolwatch_poll_checkup_update(sql_conn *db, const pool_record &rec, int verdict,
                                            bool keep_one_up) {
    if (verdict == OUTCOME_UP && rec.status == RECORD_DISABLED)
        return poolwatch_poll_record_real_update(db, rec, RECORD_ENABLED, keep_one_up);
    if (verdict == OUTCOME_DOWN && rec.status == RECORD_ENABLED)
        return poolwatch_poll_record_real_update(db, rec, RECORD_DISABLED, keep_one_up);
    LOGF(LOG_NOTICE, "Zone:\"%s\" record type:'%s' with value:\"%s\" found unchanged.",
         rec.zone.c_str(), rec.type.c_str(), rec.value.c_str());
    return SWITCH_UNCHANGED;
}

switch_result poolwatch_poll_record_real_update(sql_conn *db, const pool_record &rec, int status,
                                                bool keep_one_up) {
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

    if (keep_one_up && status == RECORD_DISABLED) {
        // The other enabled records of the same name and type, locked until the commit so
        // that two records switched off at once cannot both count on the other.
        const long long others = count_rows(
            db,
            " SELECT COUNT(*) FROM (SELECT o.id FROM zone_dns_records AS o, zone_dns_records AS "
            "r WHERE r.id = %d AND o.zone_id = r.zone_id AND o.host <=> r.host AND o.entry_type "
            "= r.entry_type AND o.status = 1 AND o.id <> r.id FOR UPDATE) AS enabled",
            rec.id);
        if (others < 0)
            return failed(db, rec);
        if (others == 0) {
            roll_back(db, SWITCH_KEPT); // the event row is written outside the transaction
            poolwatch_db_log(db, LOG_ERR,
                             "Zone %s record type %s with value %s found unavailable, kept "
                             "enabled as the last of its name and type",
                             rec.zone.c_str(), rec.type.c_str(), rec.value.c_str());
            LOGF(LOG_WARNING,
                 "Zone:\"%s\" record type:'%s' with value:\"%s\" found unavailable, kept "
                 "enabled as the last of its name and type.",
                 rec.zone.c_str(), rec.type.c_str(), rec.value.c_str());
            return SWITCH_KEPT;
        }
    }

    if (fr_sql_query(db, nullptr,
                     " UPDATE zone_dns_records SET status = %d WHERE id = %d AND status = %d AND "
                     "zone_id IN (SELECT id FROM zone WHERE status = 1)",
                     status, rec.id, rec.status) != 0)
        return failed(db, rec);
    if (fr_sql_affectedrows(db) == 0) {
        LOGF(LOG_NOTICE,
             "Zone:\"%s\" record type:'%s' with value:\"%s\" changed meanwhile or its zone is not "
             "active, left as it is.",
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

    // The panel and operators' log filters match these texts as they stand.
    if (status == RECORD_ENABLED) {
        poolwatch_db_log(db, LOG_ERR,
                         "Zone %s record type %s with value %s found not available, enabling",
                         rec.zone.c_str(), rec.type.c_str(), rec.value.c_str());
        LOGF(LOG_WARNING,
             "Zone:\"%s\" record type:\"%s\" with value:\"%s\" found not available, enabling.",
             rec.zone.c_str(), rec.type.c_str(), rec.value.c_str());
    } else {
        poolwatch_db_log(db, LOG_ERR,
                         "Zone %s record type %s with value %s found available, disabling",
                         rec.zone.c_str(), rec.type.c_str(), rec.value.c_str());
        LOGF(LOG_WARNING,
             "Zone:\"%s\" record type:'%s' with value:\"%s\" found available, disabling.",
             rec.zone.c_str(), rec.type.c_str(), rec.value.c_str());
    }
    return SWITCH_DONE;
}
