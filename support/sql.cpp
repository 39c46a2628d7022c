#include "sql.h"

#include "liblog.h"

#include <cstring>

struct sql_conn {
    MYSQL *mysql = nullptr;
    std::mutex lock;
    std::string last_error;
};

void sql_conn_deleter::operator()(sql_conn *c) const {
    if (!c)
        return;
    if (c->mysql)
        mysql_close(c->mysql);
    delete c;
}

namespace {

// The session keeps the server's sql_mode less the modes that change how quoted text is
// read: NO_BACKSLASH_ESCAPES (a backslash would no longer escape a quote) and ANSI_QUOTES
// (double quotes would name columns), together with the combined modes that turn
// ANSI_QUOTES back on when the list is stored again.
const char session_mode_statement[] =
    "SET SESSION sql_mode = TRIM(BOTH ',' FROM "
    "REPLACE(REPLACE(REPLACE(REPLACE(REPLACE(REPLACE(REPLACE(REPLACE("
    "CONCAT(',', @@SESSION.sql_mode, ','), "
    "',NO_BACKSLASH_ESCAPES,', ','), ',ANSI_QUOTES,', ','), ',ANSI,', ','), "
    "',ORACLE,', ','), ',POSTGRESQL,', ','), ',MSSQL,', ','), ',DB2,', ','), "
    "',MAXDB,', ','))";

} // namespace

sql_handle fr_sql_init(const std::string &host, unsigned port, const std::string &user,
                       const std::string &password, unsigned long flags, std::string *error,
                       unsigned timeout) {
    sql_handle c(new sql_conn);
    c->mysql = mysql_init(nullptr);
    if (!c->mysql) {
        FR_LOG(LOG_ERR, "mysql_init failed");
        if (error)
            *error = "cannot initialise the MariaDB client";
        return nullptr;
    }
    unsigned int connect_timeout = timeout > 0 && timeout < 10 ? timeout : 10;
    mysql_options(c->mysql, MYSQL_OPT_CONNECT_TIMEOUT, &connect_timeout);
    if (timeout > 0) {
        mysql_options(c->mysql, MYSQL_OPT_READ_TIMEOUT, &timeout);
        mysql_options(c->mysql, MYSQL_OPT_WRITE_TIMEOUT, &timeout);
    }
    // A silent reconnection would lose the session's settings and a transaction's work.
    my_bool reconnect = 0;
    mysql_options(c->mysql, MYSQL_OPT_RECONNECT, &reconnect);
    mysql_options(c->mysql, MYSQL_SET_CHARSET_NAME, "utf8mb4");
    const unsigned shown_port = port ? port : 3306;
    if (!mysql_real_connect(c->mysql, host.c_str(), user.c_str(), password.c_str(), nullptr, port,
                            nullptr, flags)) {
        c->last_error = mysql_error(c->mysql);
        FR_LOG(LOG_ERR, "cannot connect to %s:%u: %s", host.c_str(), shown_port,
               c->last_error.c_str());
        if (error)
            *error = c->last_error;
        return nullptr;
    }
    if (mysql_query(c->mysql, session_mode_statement) != 0) {
        c->last_error = std::string("cannot set the session's sql_mode: ") + mysql_error(c->mysql);
        FR_LOG(LOG_ERR, "%s:%u: %s", host.c_str(), shown_port, c->last_error.c_str());
        if (error)
            *error = c->last_error;
        return nullptr;
    }
    return c;
}

int fr_sql_selectdb(sql_conn *db, const std::string &database) {
    if (!db || !db->mysql)
        return -1;
    if (mysql_select_db(db->mysql, database.c_str()) != 0) {
        db->last_error = mysql_error(db->mysql);
        FR_LOG(LOG_ERR, "cannot select database %s: %s", database.c_str(), db->last_error.c_str());
        return -1;
    }
    return 0;
}

std::string fr_sql_escape(sql_conn *db, std::string_view text) {
    if (db && db->mysql) {
        std::string out(text.size() * 2 + 1, '\0');
        unsigned long n = mysql_real_escape_string(db->mysql, out.data(), text.data(), text.size());
        out.resize(n);
        return out;
    }
    // Without a connection: the same escapes the client library makes for UTF-8 text.
    std::string out;
    out.reserve(text.size() + 8);
    for (char c : text) {
        switch (c) {
        case '\0':
            out += "\\0";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\'':
            out += "\\'";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\032':
            out += "\\Z";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::optional<std::string> fr_sql_format(sql_conn *db, std::string_view format,
                                         const std::vector<sql_arg> &args) {
    std::string out;
    out.reserve(format.size() + 64);
    size_t next = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        char ch = format[i];
        if (ch != '%') {
            out += ch;
            continue;
        }
        if (++i >= format.size())
            return std::nullopt;
        if (format[i] == '%') {
            out += '%';
            continue;
        }
        // Length modifiers are accepted and ignored: the argument carries its own type.
        while (i < format.size() && (format[i] == 'l' || format[i] == 'h' || format[i] == 'z'))
            ++i;
        if (i >= format.size() || next >= args.size())
            return std::nullopt;
        const sql_arg &a = args[next++];
        switch (format[i]) {
        case 's':
            if (a.kind == sql_arg::TEXT)
                out += fr_sql_escape(db, a.text);
            else if (a.kind == sql_arg::RAW)
                out += a.text;
            else
                return std::nullopt;
            break;
        case 'd':
        case 'i':
        case 'u':
            if (a.kind == sql_arg::SIGNED)
                out += std::to_string(a.s);
            else if (a.kind == sql_arg::UNSIGNED)
                out += std::to_string(a.u);
            else
                return std::nullopt;
            break;
        default:
            return std::nullopt;
        }
    }
    if (next != args.size())
        return std::nullopt;
    return out;
}

int fr_sql_query_args(sql_conn *db, sql_result *result, std::string_view format,
                      const std::vector<sql_arg> &args) {
    if (result)
        result->reset();
    if (!db || !db->mysql)
        return -1;
    auto stmt = fr_sql_format(db, format, args);
    if (!stmt) {
        db->last_error = "statement arguments do not fit the format: " + std::string(format);
        FR_LOG(LOG_ERR, "%s", db->last_error.c_str());
        return -1;
    }
    if (mysql_real_query(db->mysql, stmt->data(), stmt->size()) != 0) {
        db->last_error = mysql_error(db->mysql);
        return -1;
    }
    MYSQL_RES *res = mysql_store_result(db->mysql);
    if (!res && mysql_field_count(db->mysql) != 0) {
        db->last_error = mysql_error(db->mysql);
        return -1;
    }
    if (result)
        result->reset(res);
    else if (res)
        mysql_free_result(res);

    // Drain what further statements of a multi-statement text returned, so the
    // connection stays in step; a failure among them fails the query.
    // Asking for a next result when there is none would reset the affected-row count and
    // the insert id of the statement just run.
    while (mysql_more_results(db->mysql)) {
        int status = mysql_next_result(db->mysql);
        if (status > 0) {
            db->last_error = mysql_error(db->mysql);
            return -1;
        }
        if (status < 0)
            break;
        if (MYSQL_RES *more = mysql_store_result(db->mysql))
            mysql_free_result(more);
    }
    return 0;
}

sql_row fr_sql_fetchrow(const sql_result &result) {
    sql_row r;
    if (!result)
        return r;
    r.row = mysql_fetch_row(result.get());
    if (r.row) {
        r.lengths = mysql_fetch_lengths(result.get());
        r.fields = mysql_num_fields(result.get());
    }
    return r;
}

unsigned long long fr_sql_numrows(const sql_result &result) {
    return result ? mysql_num_rows(result.get()) : 0;
}

unsigned long long fr_sql_affectedrows(sql_conn *db) {
    return db && db->mysql ? mysql_affected_rows(db->mysql) : 0;
}

unsigned long long fr_sql_insert_id(sql_conn *db) {
    return db && db->mysql ? mysql_insert_id(db->mysql) : 0;
}

std::string fr_sql_error(sql_conn *db) {
    if (!db)
        return "no database connection";
    return db->last_error;
}

std::mutex &fr_sql_lock(sql_conn *db) {
    return db->lock;
}

MYSQL *fr_sql_mysql(sql_conn *db) {
    return db ? db->mysql : nullptr;
}

std::optional<std::string> fr_sql_misc_value(sql_conn *db, const std::string &param, int *status) {
    if (status)
        *status = 0;
    sql_result res;
    if (fr_sql_query(db, &res, "SELECT value FROM misc WHERE param = '%s'", param) != 0) {
        if (status)
            *status = -1;
        return std::nullopt;
    }
    sql_row row = fr_sql_fetchrow(res);
    if (!row)
        return std::nullopt;
    return row.text(0);
}
