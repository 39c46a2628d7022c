// Start-up steps shared by the job-queue tools.
#include "tool_common.h"

#include "dns_common.h"
#include "dns_log.h"
#include "event_row.h"
#include "liblog.h"
#include "logging.h"

#include <cerrno>
#include <csignal>
#include <cstring>

const tool_identity zonefeed_identity = {
    "zonefeed",
    "zonefeedd",
    {"zonefeedd", "ZONEFEED", "/var/run/zonaris/zonefeedd.pid"},
    FACILITY_REMOTE_UPDATE};
const tool_identity zonebuild_identity = {
    "zonebuild",
    "zonebuildd",
    {"zonebuildd", "ZONEBUILD", "/var/run/zonaris/zonebuildd.pid"},
    FACILITY_ZONEBUILD};

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
    const std::string conf_path = etc_file("zonaris.conf");
    std::string error;
    if (read_base_settings(tool.program, conf_path, settings.base, error, extra) != 0) {
        LOGF(LOG_ERR, "%s", error.c_str());
        return fail_init(tool);
    }
    fr_log_setlevel(LOG_ERR);
    settings.event_level = LOG_ERR;
    if (settings.base.pid_file_default)
        LOGF(LOG_DEBUG, "Pid file path not set in '%s'. Using default '%s'.", conf_path.c_str(),
             settings.base.pid_file.c_str());
    return 0;
}

int tool_check_db_settings(const tool_identity &tool, tool_settings &settings) {
    const db_settings &db = settings.base.db;
    if (auto missing = missing_db_setting(db); missing && db.host.empty()) {
        LOGF(LOG_ERR, "%s", missing->c_str());
        return fail_init(tool);
    }
    LOGF(LOG_DEBUG, "Using configured database host url: %s.", db.host.c_str());
    if (&tool != &zonebuild_identity)
        LOGF(LOG_DEBUG, "Database port is: %u.", db.port);
    else if (!db.port_given)
        LOGF(LOG_DEBUG, "Database port not specified. Using default: %u.", db.port);
    else
        LOGF(LOG_DEBUG, "Using configured database port: %u.", db.port);
    if (auto missing = missing_db_setting(db)) {
        LOGF(LOG_ERR, "%s", missing->c_str());
        return fail_init(tool);
    }
    LOGF(LOG_DEBUG, "Using configured database user: %s.", db.user.c_str());
    LOGF(LOG_DEBUG, "Database name is: %s.", db.name.c_str());
    return 0;
}

sql_handle tool_connect_db(const tool_settings &settings) {
    std::string error;
    sql_handle db = open_database(settings.base.db, error);
    if (!db) {
        LOGF(LOG_ERR, "%s", error.c_str());
        return nullptr;
    }
    LOGF(LOG_DEBUG, "Connected to mysql and selected database %s.", settings.base.db.name.c_str());
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

int tool_find_daemon(const tool_identity &tool, const tool_settings &settings,
                     daemon_process &daemon) {
    switch (daemon.find(settings.base.pid_file)) {
    case SIGNAL_SENT:
        return 0;
    case SIGNAL_NOT_RUNNING:
        LOGF(LOG_ERR, "%s is not running.", tool.daemon);
        return -1;
    default:
        LOGF(LOG_ERR, "Could not determine if %s is running.", tool.daemon);
        return -1;
    }
}

int tool_signal(const tool_identity &tool, const daemon_process &daemon, int sig) {
    const signal_status sent = daemon.signal(sig);
    if (sent == SIGNAL_SENT)
        return 0;
    if (sent == SIGNAL_NOT_RUNNING)
        LOGF(LOG_ERR, "%s is not running.", tool.daemon);
    else
        LOGF(LOG_ERR, "Failed to signal %s (pid %d) with %s: %s", tool.daemon, daemon.pid(),
             strsignal(sig), strerror(errno));
    return -1;
}

void tool_signal_event(const tool_identity &tool, sql_conn *db, const tool_settings &settings,
                       const char *message, int info_pid) {
    if (event_row(tool.facility, 5, message, "ER01a")
            .info(std::to_string(info_pid))
            .write(db, settings.event_level) != 0)
        LOGF(LOG_WARNING, "Failed to record the event \"%s\".", message);
}
