// A small logging engine that reads the zlog configuration format, enough of it for the
// daemons' "zlog" engine:
// - sections [global] ("default format", "file perms"; other keys ignored), [formats]
//   (name = "format") and [rules]; '#' starts a comment line;
// - rules "category.LEVEL output[; format name]": LEVEL is at least that level, "=LEVEL"
//   exactly it, "!LEVEL" all but it, "*" any; category "*" is every category, a name ending
//   in "_" covers itself without the underscore and all names beginning with it, "!" every
//   category that no rule other than "*" names;
// - outputs: a file path (quoted or not; rotation options after a comma are ignored),
//   ">stdout", ">stderr", ">syslog[, LOG_LOCALn]";
// - formats: %d(strftime pattern), %d, %ms, %us, %V / %v (level upper / lower case), %c
//   (category), %m (message), %n (newline), %p (pid), %t / %T (thread id hex / decimal),
//   %F %f %L %U (source file, its base name, line, function), %H (host name), %%; each
//   conversion may carry "-", a width and ".precision" ("%-8V").
// Levels are zlog's numbers (20 DEBUG .. 120 FATAL). A log file that cannot be opened is
// reported once to the system log and its lines go to the system log instead.
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
