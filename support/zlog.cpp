#include "zlog.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <string>
#include <syslog.h>
#include <unistd.h>
#include <vector>

// A category handle stays valid for the life of the process, across re-initialisations:
// a thread may still hold one while the configuration is reloaded.
struct zlog_category_t {
    std::string name;
};

namespace {

enum class op { at_least, exactly, not_equal };
enum class sink { file, out, err, sys };

struct rule {
    std::string category; // "*" for every category
    op level_op = op::at_least;
    int level = 0; // 0 with "*": every level
    sink where = sink::file;
    std::string path;
    int syslog_facility = LOG_USER;
    std::string format;
};

struct engine {
    std::vector<rule> rules;
    std::map<std::string, std::string> formats;
    std::string default_format = "%d(%F %T) %V [%p] %m%n";
    std::map<std::string, FILE *> files;
    std::map<std::string, bool> reported; // output files whose failure was reported
    mode_t file_perms = 0600;
};

std::mutex lock;
engine *active = nullptr;

// A process that forks while another of its threads writes a line must not hand the child
// a held lock: the fork waits for the line, and both sides go on with the lock free.
const int fork_guard =
    pthread_atfork([] { lock.lock(); }, [] { lock.unlock(); }, [] { lock.unlock(); });
std::map<std::string, std::unique_ptr<zlog_category_t>> categories; // never shrinks

std::string trim(const std::string &s) {
    auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return "";
    return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

std::string unquote(const std::string &s) {
    std::string t = trim(s);
    if (t.size() >= 2 && t.front() == '"' && t.back() == '"')
        return t.substr(1, t.size() - 2);
    return t;
}

int level_number(const std::string &name) {
    static const std::map<std::string, int> levels = {{"DEBUG", 20}, {"INFO", 40},   {"NOTICE", 60},
                                                      {"WARN", 80},  {"ERROR", 100}, {"FATAL", 120},
                                                      {"*", 0}};
    std::string up;
    for (char c : name)
        up += static_cast<char>(toupper(static_cast<unsigned char>(c)));
    auto it = levels.find(up);
    return it == levels.end() ? -1 : it->second;
}

const char *level_text(int level, bool upper) {
    switch (level) {
    case 20:
        return upper ? "DEBUG" : "debug";
    case 40:
        return upper ? "INFO" : "info";
    case 60:
        return upper ? "NOTICE" : "notice";
    case 80:
        return upper ? "WARN" : "warn";
    case 100:
        return upper ? "ERROR" : "error";
    case 120:
        return upper ? "FATAL" : "fatal";
    default:
        return upper ? "UNKNOWN" : "unknown";
    }
}

int facility_number(const std::string &name) {
    static const std::map<std::string, int> f = {
        {"LOG_USER", LOG_USER},     {"LOG_DAEMON", LOG_DAEMON}, {"LOG_LOCAL0", LOG_LOCAL0},
        {"LOG_LOCAL1", LOG_LOCAL1}, {"LOG_LOCAL2", LOG_LOCAL2}, {"LOG_LOCAL3", LOG_LOCAL3},
        {"LOG_LOCAL4", LOG_LOCAL4}, {"LOG_LOCAL5", LOG_LOCAL5}, {"LOG_LOCAL6", LOG_LOCAL6},
        {"LOG_LOCAL7", LOG_LOCAL7}};
    auto it = f.find(trim(name));
    return it == f.end() ? -1 : it->second;
}

// "category.LEVEL  output[, option]; format"
bool parse_rule(const std::string &line, rule &r) {
    size_t sel_end = line.find_first_of(" \t");
    if (sel_end == std::string::npos)
        return false;
    std::string selector = line.substr(0, sel_end);
    std::string action = trim(line.substr(sel_end));
    size_t dot = selector.rfind('.');
    if (dot == std::string::npos || dot == 0)
        return false;
    r.category = selector.substr(0, dot);
    std::string lv = selector.substr(dot + 1);
    if (!lv.empty() && lv[0] == '=') {
        r.level_op = op::exactly;
        lv = lv.substr(1);
    } else if (!lv.empty() && lv[0] == '!') {
        r.level_op = op::not_equal;
        lv = lv.substr(1);
    }
    r.level = level_number(lv);
    if (r.level < 0)
        return false;

    std::string output = action, fmt;
    size_t semi = action.rfind(';');
    if (semi != std::string::npos) {
        output = trim(action.substr(0, semi));
        fmt = trim(action.substr(semi + 1));
    }
    r.format = fmt;
    if (output == ">stdout") {
        r.where = sink::out;
    } else if (output == ">stderr") {
        r.where = sink::err;
    } else if (output.rfind(">syslog", 0) == 0) {
        r.where = sink::sys;
        size_t comma = output.find(',');
        if (comma != std::string::npos) {
            r.syslog_facility = facility_number(output.substr(comma + 1));
            if (r.syslog_facility < 0)
                return false;
        }
    } else {
        r.where = sink::file;
        // Size limits and rotation after a comma are not supported and ignored.
        if (output[0] == '"') {
            size_t close = output.find('"', 1);
            if (close == std::string::npos)
                return false;
            r.path = output.substr(1, close - 1);
        } else {
            r.path = trim(output.substr(0, output.find(',')));
        }
        if (r.path.empty() || r.path[0] == '>')
            return false;
    }
    return true;
}

bool load(const char *path, engine &e) {
    std::ifstream in(path);
    if (!in)
        return false;
    std::string line, section;
    bool any_section = false;
    while (std::getline(in, line)) {
        std::string t = trim(line);
        if (t.empty() || t[0] == '#')
            continue;
        if (t[0] == '[') {
            if (t.back() != ']')
                return false;
            section = t.substr(1, t.size() - 2);
            if (section != "global" && section != "formats" && section != "rules" &&
                section != "levels")
                return false;
            any_section = true;
            continue;
        }
        if (section.empty())
            return false;
        if (section == "rules") {
            rule r;
            if (!parse_rule(t, r))
                return false;
            e.rules.push_back(r);
            continue;
        }
        size_t eq = t.find('=');
        if (eq == std::string::npos)
            return false;
        std::string key = trim(t.substr(0, eq)), value = trim(t.substr(eq + 1));
        if (section == "formats")
            e.formats[key] = unquote(value);
        else if (section == "global" && key == "default format")
            e.default_format = unquote(value);
        else if (section == "global" && key == "file perms") {
            char *end = nullptr;
            long perms = strtol(value.c_str(), &end, 8);
            if (value.empty() || *end != '\0' || perms < 0 || perms > 0777)
                return false;
            e.file_perms = static_cast<mode_t>(perms);
        }
    }
    if (!any_section)
        return false;
    for (const rule &r : e.rules)
        if (!r.format.empty() && !e.formats.count(r.format))
            return false;
    return true;
}

// "*" names every category; a name ending in "_" names itself without the underscore and
// every category that begins with it ("aa_" covers "aa" and "aa_bb").
bool category_matches(const rule &r, const std::string &name) {
    if (r.category == "*" || r.category == name)
        return true;
    if (r.category.size() > 1 && r.category.back() == '_') {
        if (name.compare(0, r.category.size(), r.category) == 0)
            return true;
        return name == r.category.substr(0, r.category.size() - 1);
    }
    return false;
}

// Whether a rule other than a "*" or "!" rule names the category.
bool named_by_a_rule(const engine &e, const std::string &name) {
    for (const rule &r : e.rules)
        if (r.category != "*" && r.category != "!" && category_matches(r, name))
            return true;
    return false;
}

bool rule_applies(const rule &r, const std::string &name, bool named) {
    if (r.category == "!")
        return !named;
    return category_matches(r, name);
}
bool level_matches(const rule &r, int level) {
    if (r.level == 0)
        return r.level_op != op::not_equal;
    switch (r.level_op) {
    case op::at_least:
        return level >= r.level;
    case op::exactly:
        return level == r.level;
    case op::not_equal:
        return level != r.level;
    }
    return false;
}

// What a log call knows besides its message.
struct event {
    const std::string &category;
    int level;
    const std::string &message;
    const char *file;
    const char *func;
    long line;
    struct timespec when;
};

// One conversion of a format, without its width and precision.
std::string convert(const std::string &format, size_t &i, const event &ev) {
    const char c = format[i];
    auto next_is = [&](char want) { return i + 1 < format.size() && format[i + 1] == want; };
    switch (c) {
    case 'd': {
        std::string pattern = "%F %T";
        if (next_is('(')) {
            size_t close = format.find(')', i + 2);
            if (close != std::string::npos) {
                pattern = format.substr(i + 2, close - i - 2);
                i = close;
            }
        }
        char buf[256];
        struct tm tmv;
        localtime_r(&ev.when.tv_sec, &tmv);
        size_t n = pattern.empty() ? 0 : strftime(buf, sizeof buf, pattern.c_str(), &tmv);
        return std::string(buf, n);
    }
    case 'm':
        if (next_is('s')) { // %ms: the milliseconds of the time stamp
            ++i;
            char buf[24];
            snprintf(buf, sizeof buf, "%03ld", ev.when.tv_nsec / 1000000);
            return buf;
        }
        return ev.message;
    case 'u':
        if (next_is('s')) { // %us: the microseconds
            ++i;
            char buf[24];
            snprintf(buf, sizeof buf, "%06ld", ev.when.tv_nsec / 1000);
            return buf;
        }
        return "%u";
    case 'V':
        return level_text(ev.level, true);
    case 'v':
        return level_text(ev.level, false);
    case 'c':
        return ev.category;
    case 'n':
        return "\n";
    case 'p':
        return std::to_string(getpid());
    case 't': {
        char buf[32];
        snprintf(buf, sizeof buf, "%lx", static_cast<unsigned long>(pthread_self()));
        return buf;
    }
    case 'T':
        return std::to_string(static_cast<unsigned long>(pthread_self()));
    case 'F':
        return ev.file ? ev.file : "";
    case 'f': {
        std::string f = ev.file ? ev.file : "";
        auto slash = f.rfind('/');
        return slash == std::string::npos ? f : f.substr(slash + 1);
    }
    case 'L':
        return std::to_string(ev.line);
    case 'U':
        return ev.func ? ev.func : "";
    case 'H': {
        char host[256] = "";
        gethostname(host, sizeof host - 1);
        return host;
    }
    case '%':
        return "%";
    default:
        return std::string("%") + c;
    }
}

// Renders a format: conversions may carry "-" (align left), a width and ".precision" (the
// most characters kept), as in "%-8V" or "%.3c".
std::string render(const std::string &format, const event &ev) {
    std::string out;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%' || i + 1 >= format.size()) {
            out += format[i];
            continue;
        }
        ++i;
        bool left = false;
        if (format[i] == '-') {
            left = true;
            ++i;
        }
        size_t width = 0, precision = std::string::npos;
        while (i < format.size() && isdigit(static_cast<unsigned char>(format[i])))
            width = std::min<size_t>(width * 10 + (format[i++] - '0'), 1024);
        if (i < format.size() && format[i] == '.') {
            precision = 0;
            ++i;
            while (i < format.size() && isdigit(static_cast<unsigned char>(format[i])))
                precision = std::min<size_t>(precision * 10 + (format[i++] - '0'), 1024);
        }
        if (i >= format.size())
            break;
        std::string piece = convert(format, i, ev);
        if (piece.size() > precision)
            piece.resize(precision);
        if (piece.size() < width)
            piece.insert(left ? piece.end() : piece.begin(), width - piece.size(), ' ');
        out += piece;
    }
    return out;
}

int syslog_priority(int level) {
    if (level >= 120)
        return LOG_CRIT;
    if (level >= 100)
        return LOG_ERR;
    if (level >= 80)
        return LOG_WARNING;
    if (level >= 60)
        return LOG_NOTICE;
    if (level >= 40)
        return LOG_INFO;
    return LOG_DEBUG;
}

// The open stream of an output file, opened on first use (appending, created with the
// configured permissions, no controlling terminal). A file that cannot be opened is
// reported once to the system log; later calls try again.
FILE *output_file(engine &e, const std::string &path) {
    FILE *&fp = e.files[path];
    if (fp)
        return fp;
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, e.file_perms);
    if (fd >= 0) {
        fp = fdopen(fd, "a");
        if (!fp)
            close(fd);
    }
    if (!fp && !e.reported[path]) {
        e.reported[path] = true;
        syslog(LOG_USER | LOG_ERR, "zlog: cannot open log file %s: %s", path.c_str(),
               strerror(errno));
    }
    return fp;
}

void close_files(engine &e) {
    for (auto &f : e.files)
        if (f.second)
            fclose(f.second);
    e.files.clear();
}

} // namespace

int zlog_init(const char *config_path) {
    if (!config_path)
        return -1;
    auto e = std::make_unique<engine>();
    if (!load(config_path, *e))
        return -1;
    std::lock_guard<std::mutex> g(lock);
    if (active) {
        close_files(*active);
        delete active;
    }
    active = e.release();
    return 0;
}

zlog_category_t *zlog_get_category(const char *name) {
    std::lock_guard<std::mutex> g(lock);
    if (!active || !name)
        return nullptr;
    // As in zlog, "*" rules do not count when deciding whether "!" rules take a category.
    bool named = false, star = false, catch_all = false;
    for (const rule &r : active->rules) {
        if (r.category == "!")
            catch_all = true;
        else if (r.category == "*")
            star = true;
        else
            named = named || category_matches(r, name);
    }
    if (!named && !star && !catch_all)
        return nullptr;
    auto &slot = categories[name];
    if (!slot)
        slot.reset(new zlog_category_t{name});
    return slot.get();
}

void vzlog(zlog_category_t *category, const char *file, unsigned long, const char *func,
           unsigned long, long line, int level, const char *format, va_list args) {
    if (!category)
        return;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    char stack[4096];
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(stack, sizeof stack, format, copy);
    va_end(copy);
    std::string message;
    if (n < 0)
        return;
    if (static_cast<size_t>(n) < sizeof stack) {
        message.assign(stack, n);
    } else {
        message.resize(n + 1);
        vsnprintf(message.data(), n + 1, format, args);
        message.resize(n);
    }
    std::lock_guard<std::mutex> g(lock);
    if (!active)
        return;
    const event ev{category->name, level, message, file, func, line, now};
    const bool named = named_by_a_rule(*active, category->name);
    for (const rule &r : active->rules) {
        if (!rule_applies(r, category->name, named) || !level_matches(r, level))
            continue;
        const std::string &fmt =
            r.format.empty() ? active->default_format : active->formats[r.format];
        std::string text = render(fmt, ev);
        switch (r.where) {
        case sink::out:
            fwrite(text.data(), 1, text.size(), stdout);
            fflush(stdout);
            break;
        case sink::err:
            fwrite(text.data(), 1, text.size(), stderr);
            break;
        case sink::sys:
            syslog(r.syslog_facility | syslog_priority(level), "%s", text.c_str());
            break;
        case sink::file: {
            FILE *fp = output_file(*active, r.path);
            if (fp) {
                fwrite(text.data(), 1, text.size(), fp);
                fflush(fp);
            } else {
                // The line is not lost: it goes to the system log instead.
                syslog(LOG_USER | syslog_priority(level), "%s", text.c_str());
            }
            break;
        }
        }
    }
}

void zlog(zlog_category_t *category, const char *file, unsigned long filelen, const char *func,
          unsigned long funclen, long line, int level, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    vzlog(category, file, filelen, func, funclen, line, level, format, ap);
    va_end(ap);
}

void zlog_fini() {
    std::lock_guard<std::mutex> g(lock);
    if (!active)
        return;
    close_files(*active);
    delete active;
    active = nullptr;
}
