#include "poolwatch_config.h"

#include "config.h"
#include "logging.h"

#include <vector>

namespace {

struct number_key {
    const char *name;
    std::optional<long long> value;
    int *target;
    int fallback;
    const char *missing_wording; // how the "not found" warning goes on for this key
};

// A number that is absent or negative, or zero, takes its default with the warning the
// administrator looks for.
void settle_number(const number_key &key) {
    if (!key.value || *key.value < 0) {
        *key.target = key.fallback;
        LOGF(LOG_WARNING,
             "Configuration directive %s not found or a negative number %s, default: %s = %d",
             key.name, key.missing_wording, key.name, key.fallback);
        return;
    }
    if (*key.value == 0 || *key.value > 0x7fffffffLL) {
        *key.target = key.fallback;
        LOGF(LOG_WARNING, "Configuration directive %s must be a positive number, default: %s = %d",
             key.name, key.name, key.fallback);
        return;
    }
    *key.target = static_cast<int>(*key.value);
}

} // namespace

int poolwatch_read_config(const std::string &path, poolwatch_config &cfg) {
    cfg = poolwatch_config{};
    std::optional<long long> port, concurrency, drift, timeout, interval;
    std::optional<std::string> pid_file, script_dir;
    const std::vector<config_entry> entries = {
        {"DB_NAME", CONFIG_STR, nullptr, &cfg.db_name},
        {"DB_HOST", CONFIG_STR, nullptr, &cfg.db_host},
        {"DB_USER", CONFIG_STR, nullptr, &cfg.db_user},
        {"DB_PASSWD", CONFIG_STR, nullptr, &cfg.db_passwd},
        {"DB_PORT", CONFIG_INT, &port, nullptr},
        {"POOLWATCH_LOG_ENGINE_TYPE", CONFIG_STR, nullptr, &cfg.log_engine_type},
        {"POOLWATCH_LOG_ENGINE_DATA", CONFIG_STR, nullptr, &cfg.log_engine_data},
        {"POOLWATCH_LOG_LEVEL", CONFIG_STR, nullptr, &cfg.log_level},
        {"POOLWATCH_CONCURRENCY", CONFIG_INT, &concurrency, nullptr},
        {"POOLWATCH_DRIFT", CONFIG_INT, &drift, nullptr},
        {"POOLWATCH_TIMEOUT", CONFIG_INT, &timeout, nullptr},
        {"POOLWATCH_POOLING_INTERVAL", CONFIG_INT, &interval, nullptr},
        {"POOLWATCH_PID_FILE", CONFIG_STR, nullptr, &pid_file},
        {"POOLWATCH_D", CONFIG_STR, nullptr, &script_dir},
    };
    int rc = parseconfig(path, entries);
    if (rc == -1)
        LOGF(LOG_ERR, "Cannot read configuration file: %s", path.c_str());
    else if (rc == -2)
        LOGF(LOG_ERR, "Configuration file: %s holds a malformed line, no directive taken from it",
             path.c_str());

    settle_number({"POOLWATCH_CONCURRENCY", concurrency, &cfg.concurrency,
                   POOLWATCH_DEFAULT_CONCURRENCY, "found"});
    settle_number({"POOLWATCH_DRIFT", drift, &cfg.drift, POOLWATCH_DEFAULT_DRIFT, "found"});
    settle_number(
        {"POOLWATCH_TIMEOUT", timeout, &cfg.timeout, POOLWATCH_DEFAULT_TIMEOUT, "had been set"});
    settle_number({"POOLWATCH_POOLING_INTERVAL", interval, &cfg.pooling_interval,
                   POOLWATCH_DEFAULT_POOLING_INTERVAL, "had been set"});

    if (port) {
        if (*port > 0 && *port <= 65535)
            cfg.db_port = static_cast<unsigned>(*port);
        else
            LOGF(LOG_WARNING,
                 "Configuration directive DB_PORT must be a port number, default: DB_PORT = 3306");
    }
    if (pid_file && !pid_file->empty()) {
        cfg.pid_file = *pid_file;
    } else {
        LOGF(LOG_WARNING,
             "Configuration directive POOLWATCH_PID_FILE not found, default: POOLWATCH_PID_FILE = "
             "%s",
             cfg.pid_file.c_str());
    }
    if (script_dir && !script_dir->empty()) {
        cfg.script_dir = *script_dir;
    } else {
        LOGF(LOG_WARNING,
             "Configuration directive POOLWATCH_D not found, default: POOLWATCH_D = %s",
             cfg.script_dir.c_str());
    }
    return rc == 0 ? 0 : -1;
}

int poolwatch_read_pid_config(const std::string &path, poolwatch_config &cfg) {
    cfg = poolwatch_config{};
    std::optional<std::string> pid_file;
    const std::vector<config_entry> entries = {
        {"DB_NAME", CONFIG_STR, nullptr, &cfg.db_name},
        {"DB_HOST", CONFIG_STR, nullptr, &cfg.db_host},
        {"DB_USER", CONFIG_STR, nullptr, &cfg.db_user},
        {"DB_PASSWD", CONFIG_STR, nullptr, &cfg.db_passwd},
        {"POOLWATCH_PID_FILE", CONFIG_STR, nullptr, &pid_file},
    };
    int rc = parseconfig(path, entries);
    if (pid_file && !pid_file->empty())
        cfg.pid_file = *pid_file;
    return rc == 0 ? 0 : -1;
}
