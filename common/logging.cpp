#include "logging.h"

#include "config.h"
#include "zlog.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char *const level_names[8] = {"EMERG",   "ALERT",  "CRITICAL", "ERROR",
                                    "WARNING", "NOTICE", "INFO",     "DEBUG"};
const int zlog_levels[8] = {120, 100, 100, 100, 80, 60, 40, 20};

// Process-wide logging state; changed only at start-up and on reload. The threshold and
// the output function are read by every emitting thread, hence atomic.
struct logging_state {
    std::atomic<int> threshold{LOG_ERR};
    // openlog keeps the identity pointer: the buffer stays put while the name is unchanged.
    std::string name;
    bool has_name = false;
    std::atomic<log_output_fn> output{syslog};
    std::atomic<zlog_category_t *> category{nullptr};
};
logging_state state;

} // namespace

const char *log_level_name(int level) {
    return level >= 0 && level <= 7 ? level_names[level] : "UNKNOWN";
}

log_output_fn logging_output() {
    return state.output;
}

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
    zlog_category_t *category = state.category;
    if (!category)
        return;
    // The line is handed over whole, its newline included: a zlog format for our
    // categories ends with %m, not %m%n (the sample zlog.conf says so).
    int zl = zlog_levels[level < 0 ? 0 : (level > 7 ? 7 : level)];
    va_list ap;
    va_start(ap, format);
    vzlog(category, "", 0, "", 0, 0, zl, format, ap);
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
    if (!state.has_name || state.name != name)
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
    return logging_init(state.name.c_str(), engine_type, engine_data);
}

void logging_shutdown() {
    if (state.output == zlog_func) {
        state.output = syslog;
        state.category = nullptr;
        zlog_fini();
    }
    closelog();
}

void set_log_level(int level) {
    state.threshold = level < 0 ? 0 : (level > 7 ? 7 : level);
}

int get_log_level() {
    return state.threshold;
}

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
