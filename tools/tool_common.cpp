// Start-up steps shared by the job-queue tools.
#include "tool_common.h"

#include "dns_common.h"
#include "dns_log.h"
#include "liblog.h"
#include "logging.h"
#include "numbers.h"

#include <cerrno>
#include <csignal>
#include <cstring>

const tool_identity zonefeed_identity = {"zonefeed", "zonefeedd", "ZONEFEED_PID_FILE",
                                         "/var/run/zonaris/zonefeedd.pid", FACILITY_REMOTE_UPDATE};
const tool_identity zonebuild_identity = {"zonebuild", "zonebuildd", "ZONEBUILD_PID_FILE",
                                          "/var/run/zonaris/zonebuildd.pid", FACILITY_ZONEBUILD};

int tool_start(const tool_identity &tool) {
    if (logging_init(tool.name, "stdlog", nullptr) < 0)
        return -1;
    set_log_level(LOG_INFO);
    fr_log_init(tool.name, LOG_USER);
    if (_init_global_str() != 0)
        return -1;
    return 0;
}

int fail_init(const tool_identity &tool) {
    LOGF(LOG_ERR, "Failed to initialize %s.", tool.name);
    return -1;
}

int tool_read_config(const tool_identity &tool, tool_settings &settings,
                     const std::vector<config_entry> &extra) {
    settings.conf_path = etc_file("zonaris.conf");
    std::optional<std::string> pid, host, user, password, name;
    std::vector<config_entry> entries = {
        {tool.pid_key, CONFIG_STR, nullptr, &pid},
        {"DB_HOST", CONFIG_STR, nullptr, &host},
        {"DB_USER", CONFIG_STR, nullptr, &user},
        {"DB_PASSWD", CONFIG_STR, nullptr, &password},
        {"DB_NAME", CONFIG_STR, nullptr, &name},
        {"DB_PORT", CONFIG_STR, nullptr, &settings.db_port_text},
    };
    entries.insert(entries.end(), extra.begin(), extra.end());
    if (parseconfig(settings.conf_path, entries) != 0) {
        LOGF(LOG_ERR, "Failed to parse configuration file '%s'.", settings.conf_path.c_str());
        return fail_init(tool);
    }
    fr_log_setlevel(LOG_ERR);
    settings.event_level = LOG_ERR;
    settings.db_host = host.value_or("");
    settings.db_user = user.value_or("");
    settings.db_password = password.value_or("");
    settings.db_name = name.value_or("");

    if (!pid || pid->empty()) {
        settings.pid_file = tool.pid_default;
        LOGF(LOG_DEBUG, "Pid file path not set in '%s'. Using default '%s'.",
             settings.conf_path.c_str(), tool.pid_default);
    } else {
        settings.pid_file = *pid;
        if (path_purge(settings.pid_file, 1) != 0) {
            LOGF(LOG_ERR, "Invalid pid path in configuration file '%s'.",
                 settings.conf_path.c_str());
            return fail_init(tool);
        }
    }
    if (settings.pid_file.empty() || settings.pid_file[0] != '/') {
        LOGF(LOG_ERR, "An absolute pid file path is required.");
        return fail_init(tool);
    }
    return 0;
}

int tool_check_db_settings(const tool_identity &tool, tool_settings &settings) {
    if (settings.db_host.empty()) {
        LOGF(LOG_ERR, "Database host url was not specified.");
        return fail_init(tool);
    }
    LOGF(LOG_DEBUG, "Using configured database host url: %s.", settings.db_host.c_str());
    if (!settings.db_port_text) {
        settings.db_port = 3306;
        if (&tool == &zonebuild_identity)
            LOGF(LOG_DEBUG, "Database port not specified. Using default: %u.", settings.db_port);
    } else {
        uint32_t port = 0;
        if (str_touint32_err(*settings.db_port_text, &port) != 0 || port < 1 || port > 65535) {
            LOGF(LOG_ERR, "Invalid database port: %s.", settings.db_port_text->c_str());
            return fail_init(tool);
        }
        settings.db_port = port;
        if (&tool == &zonebuild_identity)
            LOGF(LOG_DEBUG, "Using configured database port: %u.", settings.db_port);
    }
    if (&tool != &zonebuild_identity)
        LOGF(LOG_DEBUG, "Database port is: %u.", settings.db_port);
    if (settings.db_user.empty()) {
        LOGF(LOG_ERR, "Database user was not specified.");
        return fail_init(tool);
    }
    LOGF(LOG_DEBUG, "Using configured database user: %s.", settings.db_user.c_str());
    if (settings.db_password.empty()) {
        LOGF(LOG_ERR, "Database password was not specified.");
        return fail_init(tool);
    }
    if (settings.db_name.empty()) {
        LOGF(LOG_ERR, "Database name was not specified.");
        return fail_init(tool);
    }
    LOGF(LOG_DEBUG, "Database name is: %s.", settings.db_name.c_str());
    return 0;
}

sql_handle tool_connect_db(const tool_settings &settings) {
    std::string error;
    sql_handle db = fr_sql_init(settings.db_host, settings.db_port, settings.db_user,
                                settings.db_password, 0, &error);
    if (!db) {
        LOGF(LOG_ERR, "Failed to initialize database connection.");
        if (!error.empty())
            LOGF(LOG_ERR, "%s", error.c_str());
        return nullptr;
    }
    if (fr_sql_selectdb(db.get(), settings.db_name) != 0) {
        LOGF(LOG_ERR, "Cannot select mysql database %s.", settings.db_name.c_str());
        return nullptr;
    }
    LOGF(LOG_DEBUG, "Connected to mysql and selected database %s.", settings.db_name.c_str());
    return db;
}

void tool_apply_db_log_level(sql_conn *db, tool_settings &settings) {
    int status = 0;
    const int level = read_db_log_level(db, &status);
    if (status != 0)
        LOGF(LOG_WARNING, "%s", fr_sql_error(db).c_str());
    fr_log_setlevel(level);
    settings.event_level = level;
}

int tool_daemon_pid(const tool_identity &tool, const tool_settings &settings) {
    const int pid = get_daemon_pid(settings.pid_file.c_str());
    if (pid < 0) {
        LOGF(LOG_ERR, "Could not determine if %s is running.", tool.daemon);
        return -1;
    }
    if (pid == 0) {
        LOGF(LOG_ERR, "%s is not running.", tool.daemon);
        return -1;
    }
    return pid;
}

int tool_signal(const tool_identity &tool, int pid, int sig) {
    if (pid <= 1) {
        LOGF(LOG_ERR, "Refusing to signal process %d.", pid);
        return -1;
    }
    if (kill(pid, sig) != 0) {
        LOGF(LOG_ERR, "Failed to signal %s (pid %d) with %s: %s", tool.daemon, pid, strsignal(sig),
             strerror(errno));
        return -1;
    }
    return 0;
}

void tool_signal_event(const tool_identity &tool, sql_conn *db, const tool_settings &settings,
                       const char *message, int info_pid) {
    const std::string info = std::to_string(info_pid);
    sql_log(db, tool.facility, 5, message, "ER01a", info.c_str(), 0, 0, 0, nullptr, nullptr,
            settings.event_level);
}
