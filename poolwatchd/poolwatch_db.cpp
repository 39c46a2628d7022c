#include "poolwatch_db.h"

#include "logging.h"
#include "numbers.h"
#include "poolwatch_state.h"

#include <cstdarg>
#include <cstdio>

int db_connect(const poolwatch_config &cfg, sql_handle &db, unsigned long flags) {
    db.reset();
    const db_settings &s = cfg.base.db;
    if (missing_db_setting(s))
        return -1;
    sql_handle conn = fr_sql_init(s.host, s.port, s.user, s.password, flags, nullptr, s.timeout);
    if (!conn)
        return -2;
    if (fr_sql_selectdb(conn.get(), s.name) != 0)
        return -3;
    db = std::move(conn);
    return 0;
}

int db_disconnect(sql_handle &db) {
    db.reset();
    return 0;
}

db_thread_scope::db_thread_scope() {
    mysql_thread_init();
}
db_thread_scope::~db_thread_scope() {
    mysql_thread_end();
}

std::string poolwatch_cut_utf8(std::string text, size_t limit) {
    if (text.size() <= limit)
        return text;
    size_t end = limit;
    // Step back over continuation bytes to the start of the sequence that crosses the limit.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    text.resize(end);
    return text;
}

namespace {

int db_log_v(sql_conn *db, int threshold, int level, const char *format, va_list ap) {
    if (level > threshold)
        return 0;
    if (!db)
        return -1;
    char buf[1024];
    vsnprintf(buf, sizeof buf, format, ap);
    const std::string message = poolwatch_cut_utf8(buf, POOLWATCH_DB_LOG_MAX);
    if (fr_sql_query(
            db, nullptr,
            " INSERT INTO logs(facility, level, message) VALUES(\"POOLWATCHD\", %d, \"%s\")", level,
            message) != 0) {
        LOGF(LOG_WARNING, "Database logging failure (%s).", fr_sql_error(db).c_str());
        return -1;
    }
    return 0;
}

} // namespace

int poolwatch_db_log_at(sql_conn *db, int threshold, int level, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    int rc = db_log_v(db, threshold, level, format, ap);
    va_end(ap);
    return rc;
}

int poolwatch_db_log(sql_conn *db, int level, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    int rc = db_log_v(db, pw().db_log_level.load(), level, format, ap);
    va_end(ap);
    return rc;
}

void poolwatch_set_db_loglevel(const poolwatch_config &cfg) {
    sql_handle db;
    if (db_connect(cfg, db) != 0) {
        LOGF(LOG_ERR, "Cannot connect to database, default log level will be: LOG_ERR");
        return;
    }
    sql_result res;
    if (fr_sql_query(db.get(), &res, " SELECT value FROM misc WHERE param = \"log_level\" ") != 0) {
        LOGF(LOG_WARNING, "Could not change log level, default will be: LOG_ERR");
        return;
    }
    sql_row row = fr_sql_fetchrow(res);
    if (!row || row.is_null(0)) {
        LOGF(LOG_WARNING, "Could not find log level in DB, default will be: LOG_ERR");
        return;
    }
    const int level = str_toint32(row.view(0));
    pw().db_log_level = level;
    LOGF(LOG_NOTICE, "Log level for DB set to: %d", level);
}
