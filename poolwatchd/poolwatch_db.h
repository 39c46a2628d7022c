// Database access shared by every thread of the pool monitor: opening a connection from
// the configuration, the daemon's own event-log rows and its event-log threshold.
// Each thread owns the connections it opens; nothing here is shared between threads.
#pragma once

#include "poolwatch_config.h"
#include "sql.h"

#include <string>

// Opens a connection and selects the database. 0; -1 when one of the four database keys
// is missing, -2 when the connection fails, -3 when the database cannot be selected.
int db_connect(const poolwatch_config &cfg, sql_handle &db, unsigned long flags = 0);
// Closes the connection. 0 (closing cannot fail in this client library).
int db_disconnect(sql_handle &db);

// Registers the calling thread with the client library for its lifetime.
struct db_thread_scope {
    db_thread_scope();
    ~db_thread_scope();
    db_thread_scope(const db_thread_scope &) = delete;
    db_thread_scope &operator=(const db_thread_scope &) = delete;
};

// Longest event message kept; longer ones are cut at a character boundary.
inline constexpr size_t POOLWATCH_DB_LOG_MAX = 283;

// Writes one row to `logs` (facility "POOLWATCHD") when `level` is at most `threshold`.
// 0 when written or not due, -1 when the insert failed (warned).
int poolwatch_db_log_at(sql_conn *db, int threshold, int level, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
// The same with the daemon's current threshold.
int poolwatch_db_log(sql_conn *db, int level, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// `text` cut to at most `limit` bytes without splitting a UTF-8 sequence.
std::string poolwatch_cut_utf8(std::string text, size_t limit);

// Reads the `misc` parameter 'log_level' on a short-lived connection of its own and makes
// it the event-log threshold; on any failure the threshold keeps its value. The calling
// thread is registered with the client library already.
void poolwatch_set_db_loglevel(const poolwatch_config &cfg);
