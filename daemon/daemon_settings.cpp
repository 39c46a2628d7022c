#include "daemon_settings.h"

#include "dns_common.h"
#include "logging.h"
#include "numbers.h"

namespace {

std::optional<std::string> given(const std::optional<std::string> &value) {
    if (value && !value->empty())
        return value;
    return std::nullopt;
}

// A number in [low, high] from a key's text.
bool number_in(const std::string &text, unsigned low, unsigned high, unsigned &out) {
    uint32_t value = 0;
    if (str_touint32_err(text, &value) != 0 || value < low || value > high)
        return false;
    out = value;
    return true;
}

} // namespace

int read_base_settings(const program_identity &who, const std::string &path, base_settings &out,
                       std::string &error, const std::vector<config_entry> &extra,
                       const std::string *running_pid_file) {
    const std::string prefix = who.prefix;
    std::optional<std::string> pid, host, port, name, user, password, timeout, type, data, level;
    std::vector<config_entry> entries = {
        config_text("DB_HOST", host),
        config_text("DB_PORT", port),
        config_text("DB_NAME", name),
        config_text("DB_USER", user),
        config_text("DB_PASSWD", password),
        config_text("DB_TIMEOUT", timeout),
        config_text(prefix + "_PID_FILE", pid),
        config_text(prefix + "_LOG_ENGINE_TYPE", type),
        config_text(prefix + "_LOG_ENGINE_DATA", data),
        config_text(prefix + "_LOG_LEVEL", level),
    };
    entries.insert(entries.end(), extra.begin(), extra.end());
    if (parseconfig(path, entries) != 0) {
        error = "Failed to parse configuration file '" + path + "'.";
        return -1;
    }

    base_settings fresh;
    fresh.config_path = path;
    if (running_pid_file) {
        fresh.pid_file = *running_pid_file;
    } else if (!given(pid)) {
        fresh.pid_file = who.default_pid_file;
        fresh.pid_file_default = true;
    } else {
        fresh.pid_file = *pid;
        if (path_purge(fresh.pid_file, 0) != 0) {
            error = "Invalid pid file path in configuration file '" + path + "'";
            return -1;
        }
    }
    if (!running_pid_file && (fresh.pid_file.empty() || fresh.pid_file[0] != '/')) {
        error = "An absolute pid file path is required.";
        return -1;
    }

    db_settings &db = fresh.db;
    db.host = host.value_or("");
    db.name = name.value_or("");
    db.user = user.value_or("");
    db.password = password.value_or("");
    if (given(port)) {
        if (!number_in(*port, 1, 65535, db.port)) {
            error = "Invalid database port: " + *port + ".";
            return -1;
        }
        db.port_given = true;
    }
    if (given(timeout)) {
        if (!number_in(*timeout, 1, 86400, db.timeout)) {
            error = "Invalid database timeout: " + *timeout + ".";
            return -1;
        }
        db.timeout_given = true;
    }
    fresh.log_engine_type = given(type);
    fresh.log_engine_data = given(data);
    fresh.log_level = given(level);
    out = std::move(fresh);
    return 0;
}

std::optional<std::string> missing_db_setting(const db_settings &db) {
    if (db.host.empty())
        return "Database host url was not specified.";
    if (db.user.empty())
        return "Database user was not specified.";
    if (db.password.empty())
        return "Database password was not specified.";
    if (db.name.empty())
        return "Database name was not specified.";
    return std::nullopt;
}

sql_handle open_database(const db_settings &db, std::string &error) {
    std::string reason;
    sql_handle conn = fr_sql_init(db.host, db.port, db.user, db.password, 0, &reason, db.timeout);
    if (!conn) {
        error = "Failed to initialize database connection.";
        if (!reason.empty())
            error += " " + reason;
        return nullptr;
    }
    if (fr_sql_selectdb(conn.get(), db.name) != 0) {
        error = "Cannot select mysql database " + db.name + ".";
        return nullptr;
    }
    return conn;
}

sql_handle connect_database(const db_settings &db) {
    std::string error;
    sql_handle conn = open_database(db, error);
    if (!conn) {
        LOGF(LOG_ERR, "%s", error.c_str());
        return nullptr;
    }
    LOGF(LOG_INFO, "Connected to mysql and selected database %s.", db.name.c_str());
    return conn;
}

int apply_log_settings(const base_settings &s, bool foreground) {
    const char *type =
        foreground ? "stdlog" : (s.log_engine_type ? s.log_engine_type->c_str() : nullptr);
    if (logging_reinit(type, s.log_engine_data ? s.log_engine_data->c_str() : nullptr) < 0)
        return -1;
    if (s.log_level)
        set_log_level_from_string(s.log_level->c_str());
    return 0;
}
