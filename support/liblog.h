// The library log: the support layer's own diagnostics (traces of conditional returns,
// exceptions caught in catch-all blocks, query failures) go to syslog under the identity
// given to fr_log_init; levels are the syslog priorities.
#pragma once

#include <syslog.h>

// Opens the library log. With `to_stderr` every line is also written to standard error.
void fr_log_init(const char *ident, int facility, bool to_stderr = false);
void fr_log_setlevel(int level);
void fr_log_close();
// One line: the message is logged when `level` is at most the library log level.
void fr_log_impl(const char *file, int line, const char *func, int level, int errnum,
                 const char *fmt, ...) __attribute__((format(printf, 6, 7)));

#define FR_LOG(level, ...) fr_log_impl(__FILE_NAME__, __LINE__, __func__, (level), 0, __VA_ARGS__)
// Traces an early return that a guard took.
#define FR_TRACE_RETURN()                                                                          \
    fr_log_impl(__FILE_NAME__, __LINE__, __func__, LOG_DEBUG, 0, "%s:%d:conditional return",       \
                __FILE_NAME__, __LINE__)
// Traces the early return and returns `value` (a refusal 0, a failure -1).
#define FR_RETURN_TRACED(value)                                                                    \
    do {                                                                                           \
        FR_TRACE_RETURN();                                                                         \
        return (value);                                                                            \
    } while (0)
// Traces an exception caught in a catch-all block.
#define FR_TRACE_EXCEPTION(code)                                                                   \
    fr_log_impl(__FILE_NAME__, __LINE__, __func__, LOG_DEBUG, 0, "%s:%d:exception %d at %s:%s:%d", \
                __FILE_NAME__, __LINE__, (code), __FILE_NAME__, __func__, __LINE__)
