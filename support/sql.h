// The database connection. Statements are printf-style formats; every text argument is
// escaped by this layer (mysql_real_escape_string) exactly once, numbers are written as
// numbers, and a pre-built piece of SQL goes in only when wrapped in sql_raw.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <mysql.h>

struct sql_conn;
struct sql_conn_deleter {
    void operator()(sql_conn *c) const;
};
using sql_handle = std::unique_ptr<sql_conn, sql_conn_deleter>;

struct sql_result_deleter {
    void operator()(MYSQL_RES *r) const {
        if (r)
            mysql_free_result(r);
    }
};
using sql_result = std::unique_ptr<MYSQL_RES, sql_result_deleter>;

// Text that is spliced into a statement as it stands (a list built from escaped values).
struct sql_raw {
    std::string text;
};

// One argument of a statement.
struct sql_arg {
    enum kind_t { TEXT, NULL_TEXT, SIGNED, UNSIGNED, RAW } kind;
    std::string text;
    long long s = 0;
    unsigned long long u = 0;

    sql_arg(const std::string &t) : kind(TEXT), text(t) {}
    sql_arg(std::string_view t) : kind(TEXT), text(t) {}
    sql_arg(const char *t) : kind(t ? TEXT : NULL_TEXT), text(t ? t : "") {}
    sql_arg(const sql_raw &r) : kind(RAW), text(r.text) {}
    template <class T, std::enable_if_t<std::is_integral_v<T> && std::is_signed_v<T>, int> = 0>
    sql_arg(T v) : kind(SIGNED), s(v) {}
    template <class T, std::enable_if_t<std::is_integral_v<T> && !std::is_signed_v<T>, int> = 0>
    sql_arg(T v) : kind(UNSIGNED), u(v) {}
};

// A fetched row: pointers into the result set, valid until the next fetch or the release
// of the result. A SQL NULL is nullptr.
struct sql_row {
    MYSQL_ROW row = nullptr;
    unsigned long *lengths = nullptr;
    unsigned fields = 0;

    explicit operator bool() const { return row != nullptr; }
    unsigned size() const { return fields; }
    const char *get(unsigned i) const { return i < fields ? row[i] : nullptr; }
    bool is_null(unsigned i) const { return get(i) == nullptr; }
    std::string_view view(unsigned i) const {
        return get(i) ? std::string_view(row[i], lengths[i]) : std::string_view();
    }
    std::optional<std::string> text(unsigned i) const {
        if (!get(i))
            return std::nullopt;
        return std::string(row[i], lengths[i]);
    }
};

// Seconds one read from or write to the server may take (the DB_TIMEOUT key's default).
inline constexpr unsigned FR_SQL_DEFAULT_TIMEOUT = 60;

// Opens a connection (port 0: the client default, 3306). nullptr on failure; the reason
// goes to the library log and, when `error` is given, into it.
// - Every read from and write to the server is limited to `timeout` seconds (0: no limit);
//   a statement that runs into the limit fails, and the connection is then gone, as after a
//   lost connection: later statements fail at once and the caller opens a new one. Opening
//   the connection is limited to the same time, at most 10 seconds.
// - The session's sql_mode is the server's without NO_BACKSLASH_ESCAPES, ANSI_QUOTES and
//   the combined modes that include ANSI_QUOTES, so that texts escaped by this layer are
//   right inside single and double quotes whatever the server's global mode; a connection
//   whose mode cannot be set is refused.
sql_handle fr_sql_init(const std::string &host, unsigned port, const std::string &user,
                       const std::string &password, unsigned long flags,
                       std::string *error = nullptr, unsigned timeout = FR_SQL_DEFAULT_TIMEOUT);
int fr_sql_selectdb(sql_conn *db, const std::string &database);

// Formats `format` with the arguments and runs it. Conversions: %s (text, escaped; sql_raw
// as it stands; a null char pointer fails), %d %i %u %ld %lu %lld %llu (numbers), %%.
// A result set, if the statement gives one, goes to `result` (pass nullptr to discard).
// With multi-statement connections every further result is drained (the affected-row count
// and the insert id are then those of the last statement). 0 or -1.
int fr_sql_query_args(sql_conn *db, sql_result *result, std::string_view format,
                      const std::vector<sql_arg> &args);
template <class... A>
int fr_sql_query(sql_conn *db, sql_result *result, std::string_view format, const A &...args) {
    return fr_sql_query_args(db, result, format, std::vector<sql_arg>{sql_arg(args)...});
}
// The statement text fr_sql_query would run (for tests and error messages); nullopt when
// the format and arguments do not fit together.
std::optional<std::string> fr_sql_format(sql_conn *db, std::string_view format,
                                         const std::vector<sql_arg> &args);

sql_row fr_sql_fetchrow(const sql_result &result);
unsigned long long fr_sql_numrows(const sql_result &result);
unsigned long long fr_sql_affectedrows(sql_conn *db);
unsigned long long fr_sql_insert_id(sql_conn *db);
std::string fr_sql_escape(sql_conn *db, std::string_view text);
// The connection's last error text (also after a failure inside fr_sql_query).
std::string fr_sql_error(sql_conn *db);
// The connection's lock, held around an insert and the insert-id read that follows it.
std::mutex &fr_sql_lock(sql_conn *db);
MYSQL *fr_sql_mysql(sql_conn *db);

// Runs `SELECT value FROM misc WHERE param = '<param>'`: the first row's value, nullopt
// when there is no row or the value is NULL; -1 in `*status` on a query failure.
std::optional<std::string> fr_sql_misc_value(sql_conn *db, const std::string &param, int *status);
