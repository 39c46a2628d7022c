// cfgwriter: copies the monitoring switches and the alert address that the panel keeps in
// the `misc` table into the monitoring configuration file (monitoring.conf in the
// configuration directory), keeping every other line of that file as it is.
//
// The file is rebuilt in a temporary file beside it (unpredictable name, created
// exclusively, so no link is followed), every write, the flush and the close are checked,
// and only then is it renamed onto the live file (onto the file a link names, when the
// monitoring file is a link). Any failure before that rename leaves the live file
// untouched and removes the temporary file; nothing is written unless every
// setting was read from the database. TEMP_D is therefore not used by this program.
//
// Diagnostics go to the library log (syslog, identity "cfgwriter") and, since an
// operator or the panel runs this program by hand, also to standard error.
#include "config.h"
#include "dns_common.h"
#include "files.h"
#include "liblog.h"
#include "sql.h"
#include "zonaris_version.h"

#include <popt.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const char *const version_line = "Kestrin Zonaris: cfgwriter: version: " ZONARIS_VERSION "\n";

// One line of the monitoring file that this program owns: the file key and the `misc`
// parameter it comes from. The order is the order in which keys are tried and appended.
struct monitor_key {
    const char *key;
    const char *param;
    bool is_switch; // 0 or 1; otherwise the text itself (the alert address)
};
const monitor_key monitor_keys[] = {
    {"NAMED_MONIT", "monitor_named", true},       {"MYSQL_MONIT", "monitor_mysql", true},
    {"ZNRSHTTP_MONIT", "monitor_httpd", true},    {"ZONEBUILD_MONIT", "monitor_zonebuild", true},
    {"ZONEFEED_MONIT", "monitor_zonefeed", true}, {"ALERT_EMAIL", "alert_email", false},
    {"POOLWATCH_MONIT", "poolwatchd", true},
};
constexpr size_t key_count = sizeof monitor_keys / sizeof monitor_keys[0];

struct db_settings {
    std::optional<long long> port;
    std::optional<std::string> host, name, user, password, temp_d;
};

// A failure: on standard error and in the library log at level 4.
void report(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void report(const char *fmt, ...) {
    char msg[4096];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    std::string_view text(msg);
    while (!text.empty() && text.back() == '\n')
        text.remove_suffix(1);
    fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
    fr_log_impl(__FILE_NAME__, __LINE__, "cfgwriter", LOG_WARNING, 0, "%.*s",
                static_cast<int>(text.size()), text.data());
}

// Reads the configuration and opens the database connection; nullptr after a reported
// failure.
sql_handle connect_database(const std::string &conf_path) {
    db_settings s;
    std::vector<config_entry> entries = {
        {"DB_PORT", CONFIG_INT, &s.port, nullptr},       {"DB_HOST", CONFIG_STR, nullptr, &s.host},
        {"DB_NAME", CONFIG_STR, nullptr, &s.name},       {"DB_USER", CONFIG_STR, nullptr, &s.user},
        {"DB_PASSWD", CONFIG_STR, nullptr, &s.password}, {"TEMP_D", CONFIG_STR, nullptr, &s.temp_d},
    };
    if (parseconfig(conf_path, entries) != 0) {
        report("Failed to parse configuration file %s", conf_path.c_str());
        return nullptr;
    }
    if (!s.host) {
        report("Database host is not setup in %s ...", conf_path.c_str());
        return nullptr;
    }
    if (!s.user) {
        report("Database user is not setup in %s ...", conf_path.c_str());
        return nullptr;
    }
    if (!s.password) {
        report("Database password is not setup in %s ...", conf_path.c_str());
        return nullptr;
    }
    if (!s.name) {
        report("Database name is not setup in %s ...", conf_path.c_str());
        return nullptr;
    }
    const long long port = s.port.value_or(0);
    if (port < 0 || port > 65535) {
        report("Invalid DB_PORT %lld in %s", port, conf_path.c_str());
        return nullptr;
    }
    std::string error;
    sql_handle db = fr_sql_init(*s.host, port == 0 ? 3306 : static_cast<unsigned>(port), *s.user,
                                *s.password, 0, &error);
    if (!db) {
        report("Failed to initialize database connection: %s", error.c_str());
        return nullptr;
    }
    if (fr_sql_selectdb(db.get(), *s.name) != 0) {
        report("Cannot select mysql database %s: %s", s.name->c_str(),
               fr_sql_error(db.get()).c_str());
        return nullptr;
    }
    return db;
}

// The alert address goes into the file as one line: surrounding blanks and line breaks
// (as a web form may leave them) are trimmed, and an address that still holds a control
// character is refused, so the database cannot add lines to the monitoring file.
bool clean_alert_email(std::string &value) {
    const char *blank = " \t\r\n\v\f";
    const size_t b = value.find_first_not_of(blank);
    if (b == std::string::npos) {
        value.clear();
        return true;
    }
    value = value.substr(b, value.find_last_not_of(blank) - b + 1);
    for (unsigned char c : value)
        if (c < 0x20 || c == 0x7f)
            return false;
    return true;
}

// The values of the seven keys, as they are written ("0", "1" or the address); nullopt
// after a reported failure. Nothing is guessed: a failed query fails the run.
std::optional<std::vector<std::string>> read_settings(sql_conn *db) {
    std::vector<std::string> values;
    for (const monitor_key &k : monitor_keys) {
        sql_result res;
        if (fr_sql_query(db, &res, "SELECT value FROM `misc` WHERE `param`='%s'", k.param) != 0) {
            report("%s", fr_sql_error(db).c_str());
            report("Problem encountered quering MySQL");
            return std::nullopt;
        }
        sql_row row = fr_sql_fetchrow(res);
        std::string value = row ? std::string(row.view(0)) : std::string();
        if (k.is_switch) {
            // Off only when the panel stored a value beginning with "0".
            values.push_back(!value.empty() && value[0] == '0' ? "0" : "1");
            continue;
        }
        if (!clean_alert_email(value)) {
            report("Refusing alert_email: the value holds control characters");
            return std::nullopt;
        }
        values.push_back(value);
    }
    return values;
}

// The line's first word: leading blanks skipped, ended by a blank or "=".
std::string_view first_word(std::string_view line) {
    const size_t b = line.find_first_not_of(" \t");
    if (b == std::string_view::npos)
        return {};
    line.remove_prefix(b);
    return line.substr(0, line.find_first_of(" \t=\r"));
}

// The new file's text: the old one with the first line of each key replaced and the keys
// it lacks appended.
std::string rewrite(const std::string &old_text, const std::vector<std::string> &values) {
    bool written[key_count] = {};
    auto key_line = [&](size_t i) {
        return std::string(monitor_keys[i].key) + " " + values[i] + "\n";
    };
    std::string out;
    size_t pos = 0;
    while (pos < old_text.size()) {
        size_t nl = old_text.find('\n', pos);
        const size_t end = nl == std::string::npos ? old_text.size() : nl;
        const std::string_view line(old_text.data() + pos, end - pos);
        pos = end + 1;

        size_t match = key_count;
        if (!line.empty() && line[0] != '#') {
            const std::string_view word = first_word(line);
            for (size_t i = 0; i < key_count && match == key_count; ++i)
                if (!written[i] && word == monitor_keys[i].key)
                    match = i;
        }
        if (match == key_count) {
            out.append(line);
            out += '\n';
            continue;
        }
        out += key_line(match);
        written[match] = true;
    }
    for (size_t i = 0; i < key_count; ++i)
        if (!written[i])
            out += key_line(i);
    return out;
}

// Writes `text` as the new monitoring file with the old file's permissions and owner.
int install(const std::string &path, const struct stat &old, const std::string &text) {
    atomic_file out;
    if (out.open(path, old.st_mode & 07777) != 0) {
        report("Cannot create file: %s\n%s", path.c_str(), strerror(errno));
        return -1;
    }
    if ((old.st_uid != geteuid() || old.st_gid != getegid()) &&
        fchown(fileno(out.stream()), old.st_uid, old.st_gid) != 0) {
        report("Cannot keep the owner of %s: %s", path.c_str(), strerror(errno));
        return -1;
    }
    if (out.write(text) != 0) {
        report("Error writing to file system: %s\n%s", out.temp_path().c_str(), strerror(errno));
        return -1;
    }
    if (out.commit() != 0) {
        report("Error writing to file system: %s\n%s", path.c_str(), strerror(errno));
        return -1;
    }
    return 0;
}

int run() {
    const std::string conf_path = etc_file("zonaris.conf");
    const std::string monitoring_path = etc_file("monitoring.conf");

    sql_handle db = connect_database(conf_path);
    struct stat st {};
    std::string old_text;
    bool ready = db != nullptr;
    if (ready && access(monitoring_path.c_str(), F_OK) == 0 &&
        access(monitoring_path.c_str(), W_OK) != 0) {
        report("Cannot write to file %s", monitoring_path.c_str());
        ready = false;
    }
    if (ready) {
        // The file must exist: a missing monitoring file stops the run.
        int err = 0;
        if (stat(monitoring_path.c_str(), &st) != 0)
            err = errno;
        else if (!S_ISREG(st.st_mode))
            err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        else if (read_file(monitoring_path, old_text) != 0)
            err = errno;
        if (err != 0) {
            report("Cannot open file for reading: %s\n%s", monitoring_path.c_str(), strerror(err));
            ready = false;
        }
    }
    if (!ready) {
        report("Failed to initialize cfgwriter. Exiting...");
        return 1;
    }

    int status = 0;
    auto level = fr_sql_misc_value(db.get(), "log_level", &status);
    if (status != 0) {
        report("%s", fr_sql_error(db.get()).c_str());
        report("Problem encountered quering MySQL");
        return 1;
    }
    fr_log_setlevel(level && !level->empty() && (*level)[0] >= '0' && (*level)[0] <= '7'
                        ? (*level)[0] - '0'
                        : LOG_ERR);

    auto values = read_settings(db.get());
    if (!values)
        return 1;
    // When the monitoring file is a link (into the monitoring system's own directory, say),
    // the file it names is replaced, and the link stays.
    std::string target = monitoring_path;
    if (char *real = realpath(monitoring_path.c_str(), nullptr)) {
        target = real;
        free(real);
    }
    return install(target, st, rewrite(old_text, *values)) == 0 ? 0 : 1;
}

} // namespace

int main(int argc, const char **argv) {
    int show_version = 0;
    struct poptOption options[] = {{"version", 'V', POPT_ARG_NONE, &show_version, 'V',
                                    "Displays version help and exits", nullptr},
                                   POPT_AUTOHELP POPT_TABLEEND};
    poptContext ctx = poptGetContext("cfgwriter", argc, argv, options, 0);
    poptSetOtherOptionHelp(ctx, "[-V|-h]\n");
    // Only the first option counts.
    const int rc = poptGetNextOpt(ctx);
    if (rc < -1) {
        printf("%s: %s\n", poptBadOption(ctx, POPT_BADOPTION_NOALIAS), poptStrerror(rc));
        poptFreeContext(ctx);
        return 1;
    }
    poptFreeContext(ctx);
    if (rc == 'V') {
        fputs(version_line, stdout);
        return 0;
    }

    fr_log_init("cfgwriter", LOG_USER);
    fr_log_setlevel(LOG_ERR);
    _init_global_str();
    int exit_status = 1;
    try {
        exit_status = run();
    } catch (const std::exception &e) {
        report("Run time error: %s", e.what());
    }
    fr_log_close();
    _free_global_str();
    return exit_status;
}
