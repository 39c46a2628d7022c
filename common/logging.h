// The diagnostic log of every daemon and tool: one process-wide threshold (0 EMERG ..
// 7 DEBUG, the syslog priorities), one line format, and three engines: "syslog",
// "stdlog" (levels 0-3 to standard error, 4-7 to standard output) and "zlog".
//
// A line reads "LEVEL: module.cpp:LINE::function(): message\n"; LOGF fills in the module's
// file name (the compiler's __FILE_NAME__) and line when the program is built and tests the
// threshold before formatting.
#pragma once

#include <syslog.h>

int logging_init(const char *name, const char *engine_type, const char *engine_data);
int logging_reinit(const char *engine_type, const char *engine_data);
void logging_shutdown();
int zlog_engine_init(const char *engine_data);

void set_log_level(int level);
int get_log_level();
void set_log_level_from_string(const char *name);
// The level's name ("EMERG" .. "DEBUG"); "UNKNOWN" outside 0..7.
const char *log_level_name(int level);

using log_output_fn = void (*)(int level, const char *format, ...);
// The engine currently in use (syslog, stdlog_func or zlog_func).
log_output_fn logging_output();
void stdlog_func(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
void zlog_func(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

#define LOG_STR2(x) #x
#define LOG_STR(x) LOG_STR2(x)
#define LOGF(level, fmt, ...)                                                                      \
    do {                                                                                           \
        const int log_level_ = (level);                                                            \
        if (get_log_level() >= log_level_)                                                         \
            logging_output()(log_level_,                                                           \
                             "%s: " __FILE_NAME__ ":" LOG_STR(__LINE__) "::%s(): " fmt "\n",       \
                             log_level_name(log_level_), __func__ __VA_OPT__(, ) __VA_ARGS__);     \
    } while (0)
