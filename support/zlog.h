// A small logging engine that reads the zlog configuration format, enough of it for the
// daemons' "zlog" engine: sections [global], [formats] and [rules]; rules
// "category.LEVEL" with the operators "=" (this level only) and "!" (all but this
// level), "*" for any category or level; outputs to a file path (quoted or not),
// ">stdout", ">stderr" and ">syslog"; formats with %d(strftime pattern), %d, %V (level in
// upper case), %v (lower case), %c (category), %m (message), %n (newline), %p (pid),
// %% and plain text. Levels are zlog's numbers (20 DEBUG .. 120 FATAL).
#pragma once

#include <cstdarg>

struct zlog_category_t;

// 0 on success; -1 when the file cannot be read or is malformed.
int zlog_init(const char *config_path);
// The category, or nullptr when the configuration has no rule for it.
zlog_category_t *zlog_get_category(const char *name);
void zlog(zlog_category_t *category, const char *file, unsigned long filelen, const char *func,
          unsigned long funclen, long line, int level, const char *format, ...)
    __attribute__((format(printf, 8, 9)));
void vzlog(zlog_category_t *category, const char *file, unsigned long filelen, const char *func,
           unsigned long funclen, long line, int level, const char *format, va_list args);
void zlog_fini();
