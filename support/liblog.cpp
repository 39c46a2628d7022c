#include "liblog.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace {
std::atomic<int> lib_level{LOG_ERR};
std::atomic<bool> also_stderr{false};
} // namespace

void fr_log_init(const char *ident, int facility, bool to_stderr) {
    openlog(ident, LOG_PID | LOG_CONS, facility);
    also_stderr = to_stderr;
}

void fr_log_setlevel(int level) {
    lib_level = level < 0 ? 0 : (level > 7 ? 7 : level);
}

void fr_log_close() {
    closelog();
    also_stderr = false;
}

void fr_log_impl(const char *file, int line, const char *func, int level, int errnum,
                 const char *fmt, ...) {
    if (level > lib_level)
        return;
    char msg[2048];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    std::string text = std::string(file) + ":" + std::to_string(line) + ":" + func + ": " + msg;
    if (errnum)
        text += std::string(": ") + strerror(errnum);
    syslog(level, "%s", text.c_str());
    if (also_stderr)
        fprintf(stderr, "%s\n", text.c_str());
}
