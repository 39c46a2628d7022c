#include "logging.h"

#include "config.h"
#include "zlog.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char *const level_names[8] = {"EMERG",   "ALERT",  "CRITICAL", "ERROR",
                                    "WARNING", "NOTICE", "INFO",     "DEBUG"};
const int zlog_levels[8] = {120, 100, 100, 100, 80, 60, 40, 20};

// Process-wide logging state; changed only at start-up and on reload.
struct logging_state {
    int threshold = LOG_ERR;
    std::string name;
    bool has_name = false;
    log_output_fn output = syslog;
    zlog_category_t *category = nullptr;
};
logging_state state;

} // namespace

const char *log_level_name(int level) {
    return level >= 0 && level <= 7 ? level_names[level] : "UNKNOWN";
}

log_output_fn logging_output() { return state.output; }

void stdlog_func(int level, const char *format, ...) {
    if (level > state.threshold)
        return;
    FILE *out = level <= LOG_ERR ? stderr : stdout;
    va_list ap;
    va_start(ap, format);
    vfprintf(out, format, ap);
    va_end(ap);
    fflush(out);
}

void zlog_func(int level, const char *format, ...) {
    if (!state.category)
        return;
    // The zlog format ends its lines itself; drop the line's own final newline.
    std::string fmt(format);
    if (!fmt.empty() && fmt.back() == '\n')
        fmt.pop_back();
    int zl = zlog_levels[level < 0 ? 0 : (level > 7 ? 7 : level)];
    va_list ap;
    va_start(ap, format);
    vzlog(state.category, "", 0, "", 0, 0, zl, fmt.c_str(), ap);
    va_end(ap);
}

int zlog_engine_init(const char *engine_data) {
    const std::string path = engine_data ? engine_data : etc_file("zlog.conf");
    if (zlog_init(path.c_str()) != 0) {
        LOGF(LOG_CRIT, "zlog initialization failed. Please check if the zlog configuration file "
                       "resides at `log_engine_data` path and is properly written.");
        return -1;
    }
    zlog_category_t *cat = zlog_get_category(state.name.c_str());
    if (!cat) {
        LOGF(LOG_CRIT, "Failed to acquire zlog category. Please check your zlog configuration.");
        zlog_fini();
        return -1;
    }
    state.category = cat;
    state.output = zlog_func;
    return 0;
}

int logging_init(const char *name, const char *engine_type, const char *engine_data) {
    if (!name)
        return -1;
    state.name = name;
    state.has_name = true;
    openlog(state.name.c_str(), LOG_PID | LOG_CONS, LOG_LOCAL0);
    state.output = syslog;
    const char *type = engine_type ? engine_type : "stdlog";
    if (strcmp(type, "zlog") == 0)
        return zlog_engine_init(engine_data);
    if (strcmp(type, "syslog") == 0) {
        state.output = syslog;
        return 0;
    }
    if (strcmp(type, "stdlog") == 0) {
        state.output = stdlog_func;
        return 0;
    }
    state.output = syslog;
    LOGF(LOG_CRIT, "Invalid log_engine_type: %s", type);
    return -1;
}

int logging_reinit(const char *engine_type, const char *engine_data) {
    logging_shutdown();
    if (!state.has_name)
        return -1;
    const std::string name = state.name;
    return logging_init(name.c_str(), engine_type, engine_data);
}

void logging_shutdown() {
    if (state.output == zlog_func) {
        state.output = syslog;
        state.category = nullptr;
        zlog_fini();
    }
    closelog();
}

void set_log_level(int level) { state.threshold = level < 0 ? 0 : (level > 7 ? 7 : level); }

int get_log_level() { return state.threshold; }

void set_log_level_from_string(const char *name) {
    if (!name) {
        LOGF(LOG_CRIT, "Passed a NULL log_level_name.");
        return;
    }
    for (int i = 0; i < 8; ++i) {
        if (strcmp(name, level_names[i]) == 0) {
            state.threshold = i;
            return;
        }
    }
    LOGF(LOG_CRIT, "Invalid log level name: %s", name);
}
