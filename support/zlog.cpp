#include "zlog.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <syslog.h>
#include <unistd.h>
#include <vector>

struct zlog_category_t {
    std::string name;
};

namespace {

enum class op { at_least, exactly, not_equal };
enum class sink { file, out, err, sys };

struct rule {
    std::string category; // "*" for every category
    op level_op = op::at_least;
    int level = 0;        // 0 with "*": every level
    sink where = sink::file;
    std::string path;
    int syslog_facility = LOG_USER;
    std::string format;
};

struct engine {
    std::vector<rule> rules;
    std::map<std::string, std::string> formats;
    std::string default_format = "%d(%F %T) %V [%p] %m%n";
    std::map<std::string, std::unique_ptr<zlog_category_t>> categories;
    std::map<std::string, FILE *> files;
};

std::mutex lock;
engine *active = nullptr;

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
    static const std::map<std::string, int> levels = {
        {"DEBUG", 20}, {"INFO", 40}, {"NOTICE", 60}, {"WARN", 80}, {"ERROR", 100}, {"FATAL", 120},
        {"*", 0}};
    std::string up;
    for (char c : name)
        up += static_cast<char>(toupper(static_cast<unsigned char>(c)));
    auto it = levels.find(up);
    return it == levels.end() ? -1 : it->second;
}

const char *level_text(int level, bool upper) {
    switch (level) {
    case 20: return upper ? "DEBUG" : "debug";
    case 40: return upper ? "INFO" : "info";
    case 60: return upper ? "NOTICE" : "notice";
    case 80: return upper ? "WARN" : "warn";
    case 100: return upper ? "ERROR" : "error";
    case 120: return upper ? "FATAL" : "fatal";
    default: return upper ? "UNKNOWN" : "unknown";
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
        std::string path = output;
        size_t comma = path.find(',');
        if (path.size() && path[0] != '"' && comma != std::string::npos)
            path = path.substr(0, comma); // size limits and rotation are not supported
        r.path = unquote(path);
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
    }
    if (!any_section)
        return false;
    for (const rule &r : e.rules)
        if (!r.format.empty() && !e.formats.count(r.format))
            return false;
    return true;
}

bool category_matches(const rule &r, const std::string &name) {
    return r.category == "*" || r.category == name;
}

bool level_matches(const rule &r, int level) {
    if (r.level == 0)
        return r.level_op != op::not_equal;
    switch (r.level_op) {
    case op::at_least: return level >= r.level;
    case op::exactly: return level == r.level;
    case op::not_equal: return level != r.level;
    }
    return false;
}

std::string render(const std::string &format, const std::string &category, int level,
                   const std::string &message) {
    std::string out;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%' || i + 1 >= format.size()) {
            out += format[i];
            continue;
        }
        char c = format[++i];
        switch (c) {
        case 'd': {
            std::string pattern = "%F %T";
            if (i + 1 < format.size() && format[i + 1] == '(') {
                size_t close = format.find(')', i + 2);
                if (close != std::string::npos) {
                    pattern = format.substr(i + 2, close - i - 2);
                    i = close;
                }
            }
            char buf[128];
            time_t now = time(nullptr);
            struct tm tmv;
            localtime_r(&now, &tmv);
            size_t n = strftime(buf, sizeof buf, pattern.c_str(), &tmv);
            out.append(buf, n);
            break;
        }
        case 'V': out += level_text(level, true); break;
        case 'v': out += level_text(level, false); break;
        case 'c': out += category; break;
        case 'm': out += message; break;
        case 'n': out += '\n'; break;
        case 'p': out += std::to_string(getpid()); break;
        case '%': out += '%'; break;
        default:
            out += '%';
            out += c;
        }
    }
    return out;
}

int syslog_priority(int level) {
    if (level >= 120) return LOG_CRIT;
    if (level >= 100) return LOG_ERR;
    if (level >= 80) return LOG_WARNING;
    if (level >= 60) return LOG_NOTICE;
    if (level >= 40) return LOG_INFO;
    return LOG_DEBUG;
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
    bool ruled = false;
    for (const rule &r : active->rules)
        ruled = ruled || category_matches(r, name);
    if (!ruled)
        return nullptr;
    auto &slot = active->categories[name];
    if (!slot)
        slot.reset(new zlog_category_t{name});
    return slot.get();
}

void vzlog(zlog_category_t *category, const char *, unsigned long, const char *, unsigned long,
           long, int level, const char *format, va_list args) {
    if (!category)
        return;
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
    for (const rule &r : active->rules) {
        if (!category_matches(r, category->name) || !level_matches(r, level))
            continue;
        const std::string &fmt =
            r.format.empty() ? active->default_format : active->formats[r.format];
        std::string line = render(fmt, category->name, level, message);
        switch (r.where) {
        case sink::out:
            fputs(line.c_str(), stdout);
            fflush(stdout);
            break;
        case sink::err:
            fputs(line.c_str(), stderr);
            break;
        case sink::sys:
            syslog(r.syslog_facility | syslog_priority(level), "%s", line.c_str());
            break;
        case sink::file: {
            FILE *&fp = active->files[r.path];
            if (!fp)
                fp = fopen(r.path.c_str(), "ae");
            if (fp) {
                fputs(line.c_str(), fp);
                fflush(fp);
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
