#include "zone_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "dns_common.h"
#include "dns_log.h"
#include "event_row.h"
#include "files.h"
#include "liblog.h"
#include "logging.h"
#include "zone_model.h"
#include "zone_serial.h"

namespace {

constexpr int facility = FACILITY_ZONEBUILD;
constexpr size_t txt_piece_max = 255;

void appendf(std::string &out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void appendf(std::string &out, const char *fmt, ...) {
    char small[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    if (n < 0)
        throw std::runtime_error("vsnprintf failed");
    if (static_cast<size_t>(n) < sizeof small) {
        out.append(small, n);
        return;
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    va_start(ap, fmt);
    vsnprintf(big.data(), big.size(), fmt, ap);
    va_end(ap);
    out.append(big.data(), n);
}

bool is_digit(char ch) {
    return ch >= '0' && ch <= '9';
}
bool is_printable(unsigned char ch) {
    return ch >= 0x20 && ch < 0x7f;
}

void append_decimal_escape(std::string &out, unsigned char ch) {
    char buf[8];
    snprintf(buf, sizeof buf, "\\%03u", ch);
    out += buf;
}

// Why a name cannot stand unquoted in a zone file, or nullptr when it can. A blank, a
// control character, ";", a parenthesis or a double quote would end the field, open a
// comment or a multi-line group; a leading "$" would start a directive; a backslash would
// escape whatever follows (after doubling, `allow_backslash` lets even runs through).
const char *unsafe_name(std::string_view name, bool allow_backslash = false) {
    if (name.empty())
        return "is empty";
    if (name[0] == '$')
        return "begins with '$'";
    for (unsigned char ch : name) {
        if (ch <= 0x20 || ch == 0x7f)
            return "holds a blank or a control character";
        if (ch == ';' || ch == '(' || ch == ')' || ch == '"')
            return "holds a zone-file special character";
        if (ch == '\\' && !allow_backslash)
            return "holds a backslash";
    }
    return nullptr;
}

// One unit of a stored TXT value as it goes between quotes: `text` to write and the number
// of stored bytes it stands for. Stored TXT text keeps the zone-file escapes it may carry
// ("\;", "\"", "\065"); anything that could end the string or the line is escaped here.
struct txt_unit {
    std::string text;
    size_t stored = 1;
};

txt_unit next_txt_unit(std::string_view value, size_t i) {
    txt_unit u;
    const unsigned char ch = value[i];
    if (ch == '\\') {
        const size_t rest = value.size() - i - 1;
        if (rest >= 3 && is_digit(value[i + 1]) && is_digit(value[i + 2]) &&
            is_digit(value[i + 3]) &&
            (value[i + 1] - '0') * 100 + (value[i + 2] - '0') * 10 + (value[i + 3] - '0') <= 255) {
            u.text.assign(value.substr(i, 4));
            u.stored = 4;
            return u;
        }
        if (rest >= 1 && !is_digit(value[i + 1]) && is_printable(value[i + 1])) {
            u.text.assign(value.substr(i, 2));
            u.stored = 2;
            return u;
        }
        // A backslash that escapes nothing valid stands for itself.
        u.text = "\\\\";
        return u;
    }
    if (ch == '"')
        u.text = "\\\"";
    else if (!is_printable(ch))
        append_decimal_escape(u.text, ch);
    else
        u.text.assign(1, static_cast<char>(ch));
    return u;
}

// The character strings of a TXT value: pieces of at most 255 stored bytes (never cutting
// an escape), each quoted, separated by one blank. An empty value is one empty string.
std::string txt_strings(std::string_view value) {
    if (value.empty())
        return "\"\"";
    std::string out = "\"";
    size_t piece = 0;
    for (size_t i = 0; i < value.size();) {
        txt_unit u = next_txt_unit(value, i);
        if (piece + u.stored > txt_piece_max) {
            out += "\" \"";
            piece = 0;
        }
        out += u.text;
        piece += u.stored;
        i += u.stored;
    }
    out += '"';
    return out;
}

// Raw text (no escapes of its own) as the inside of a quoted string.
std::string quoted_raw(std::string_view text) {
    std::string out;
    for (unsigned char ch : text) {
        if (ch == '\\' || ch == '"') {
            out += '\\';
            out += static_cast<char>(ch);
        } else if (!is_printable(ch)) {
            append_decimal_escape(out, ch);
        } else {
            out += static_cast<char>(ch);
        }
    }
    return out;
}

// A local part or domain of an e-mail address as (part of) a domain name: every character
// that the zone file would read as syntax is escaped.
void append_mail_part(std::string &out, std::string_view part, bool escape_dots) {
    for (unsigned char ch : part) {
        if ((ch == '.' && escape_dots) || ch == '\\' || ch == ';' || ch == '(' || ch == ')' ||
            ch == '"' || ch == '$' || ch == '@') {
            out += '\\';
            out += static_cast<char>(ch);
        } else if (ch <= 0x20 || ch >= 0x7f) {
            append_decimal_escape(out, ch);
        } else {
            out += static_cast<char>(ch);
        }
    }
}

bool enum_service(const enum_service_set *set, const std::string &services) {
    if (!set)
        return false;
    return set->count(services.substr(0, services.find(':'))) > 0;
}

// The zone is refused: log why and tell the caller.
int refuse(std::string_view zone_name, std::string *problem, const std::string &why) {
    LOGF(LOG_WARNING, "Zone %.*s not written: %s", static_cast<int>(zone_name.size()),
         zone_name.data(), why.c_str());
    if (problem)
        *problem = why;
    return -1;
}

// Checks the names of one record; the refusal text or an empty string.
std::string check_rec_names(const char *type, const zone_rec &rec, bool value_is_name) {
    if (const char *why = unsafe_name(rec.host))
        return std::string(type) + " record host '" + rec.host + "' " + why;
    if (value_is_name) {
        if (const char *why = unsafe_name(rec.value))
            return std::string(type) + " record value '" + rec.value + "' of host " + rec.host +
                   " " + why;
    }
    return std::string();
}

int format_records(const zone_info &zone, const enum_service_set *enum_services, std::string &out,
                   std::string &why) {
    const dns_recs &r = zone.records;
    struct simple {
        rec_slot slot;
        const char *type;
        const char *format;
    };
    // The first two of the fixed order: NS, CNAME.
    for (const simple &s : {simple{SLOT_NS, "NS", "%s\tIN NS\t\t%s\n"},
                            simple{SLOT_CNAME, "CNAME", "%s\tIN CNAME\t\t%s\n"}}) {
        for (const zone_rec &rec : r[s.slot]) {
            if (!(why = check_rec_names(s.type, rec, true)).empty())
                return -1;
            appendf(out, s.format, rec.host.c_str(), rec.value.c_str());
        }
    }
    for (const zone_rec &rec : r[SLOT_TXT]) {
        if (!(why = check_rec_names("TXT", rec, false)).empty())
            return -1;
        appendf(out, "%s\tIN TXT\t\t", rec.host.c_str());
        out += txt_strings(rec.value);
        out += '\n';
    }
    for (const simple &s : {simple{SLOT_A, "A", "%s\tIN A\t\t%s\n"},
                            simple{SLOT_AAAA, "AAAA", "%s\tIN AAAA\t\t%s\n"}}) {
        for (const zone_rec &rec : r[s.slot]) {
            if (!(why = check_rec_names(s.type, rec, true)).empty())
                return -1;
            appendf(out, s.format, rec.host.c_str(), rec.value.c_str());
        }
    }
    for (const zone_rec &rec : r[SLOT_MX]) {
        if (!(why = check_rec_names("MX", rec, true)).empty())
            return -1;
        appendf(out, "%s\tIN MX %d\t\t%s\n", rec.host.c_str(), rec.priority, rec.value.c_str());
    }
    for (const zone_rec &rec : r[SLOT_SRV]) {
        if (!(why = check_rec_names("SRV", rec, true)).empty())
            return -1;
        appendf(out, "%s %u\tIN SRV %d %u %u\t%s\n", rec.host.c_str(), rec.ttl, rec.priority,
                rec.priority_minor, rec.port, rec.value.c_str());
    }
    for (const zone_rec &rec : r[SLOT_PTR]) {
        if (!(why = check_rec_names("PTR", rec, true)).empty())
            return -1;
        appendf(out, "%s\tIN PTR\t\t%s\n", rec.host.c_str(), rec.value.c_str());
    }
    for (const zone_rec &rec : r[SLOT_NAPTR]) {
        if (!(why = check_rec_names("NAPTR", rec, false)).empty())
            return -1;
        std::string regexp;
        if (rec.regex && !rec.regex->empty() && !rec.value.empty())
            regexp = "!" + *rec.regex + "!" + rec.value + "!" + rec.regex_flag.value_or("");
        std::string services;
        if (rec.services)
            services =
                enum_service(enum_services, *rec.services) ? "E2U+" + *rec.services : *rec.services;
        std::string replacement = rec.replacement.value_or(".");
        escape_mysql_backslashes(replacement);
        if (const char *bad = unsafe_name(replacement, true)) {
            why = "NAPTR record replacement '" + replacement + "' of host " + rec.host + " " + bad;
            return -1;
        }
        appendf(out, "%s\tIN NAPTR %d %u \"%s\" \"%s\" \"%s\" %s\n", rec.host.c_str(), rec.priority,
                rec.priority_minor, quoted_raw(rec.flag.value_or("")).c_str(),
                quoted_raw(services).c_str(), quoted_raw(regexp).c_str(), replacement.c_str());
    }
    return 0;
}

// Creates a letter directory the way the name server expects to own it.
int create_letter_dir(const zonefile_env &env, const std::string &dir) {
    if (geteuid() != 0) {
        LOGF(LOG_ERR, "zonebuildd daemon is not running as root!");
        return -1;
    }
    // rwxr-x---: the name server reads through its owner or group, nobody else does.
    const mode_t mode = 0750;
    uid_t uid = (uid_t)-1;
    gid_t gid = (gid_t)-1;
    if (env.named_uid != (uid_t)-1) {
        uid = env.named_uid;
        gid = env.named_gid;
    } else if (env.named_gid != (gid_t)-1) {
        gid = env.named_gid;
    }
    int rc = mkdir(dir.c_str(), mode);
    int err = errno;
    if (rc == 0 && (chmod(dir.c_str(), mode) != 0 || ((uid != (uid_t)-1 || gid != (gid_t)-1) &&
                                                      chown(dir.c_str(), uid, gid) != 0))) {
        err = errno;
        rc = -1;
    }
    // Another worker may have made it in the meantime: what counts is that it is there.
    if (rc != 0 && !io_valid_dir(dir.c_str())) {
        LOGF(LOG_DEBUG, "mkdir %s: %s", dir.c_str(), strerror(err));
        LOGF(LOG_ERR, "Failed to create %s directory.", dir.c_str());
        return -1;
    }
    return 0;
}

void log_event(const zonefile_env &env, int level, const char *message, const char *code,
               const std::string &info, unsigned client_id) {
    (void)event_row(facility, level, message, code)
        .info(info)
        .client(client_id)
        .write(env.db, env.event_level);
}

// Removes one installed file; `label` names it in the messages ("zone file", "slave zone
// file"). 0, or -1 when the path is refused.
int remove_one(const zonefile_env &env, const std::string &dir, const std::string &file_name,
               const char *label, unsigned client_id) {
    const char letter = static_cast<char>(tolower(static_cast<unsigned char>(file_name[0])));
    std::string path = env.named_root + "/" + dir + "/" + letter + "/" + file_name;
    if (path_purge(path, 1) != 0) {
        LOGF(LOG_ERR, "Refused %s path for %s.", label, file_name.c_str());
        return -1;
    }
    if (unlink(path.c_str()) == 0) {
        LOGF(LOG_INFO, "Removed %s: %s", label, path.c_str());
        log_event(env, 5, "Zone file removed", "ER07", path, client_id);
    } else if (errno != ENOENT) {
        LOGF(LOG_DEBUG, "unlink %s: %s", path.c_str(), strerror(errno));
        LOGF(LOG_ERR, "Failed to remove %s: %s", label, path.c_str());
    }
    return 0;
}

} // namespace

int get_zone_type_code(const char *word) {
    if (!word) {
        FR_TRACE_RETURN();
        return -1;
    }
    if (strcmp(word, "master") == 0)
        return 1;
    if (strcmp(word, "slave") == 0)
        return 2;
    return 0;
}

void replace_slashes(std::string &name) {
    for (char &ch : name)
        if (ch == '/')
            ch = '_';
}

int zone_file_name(std::string_view zone_name, std::string &out) {
    std::string name(zone_name);
    replace_slashes(name);
    if (!name.empty() && name.back() == '.')
        name.pop_back();
    const bool bad_char =
        name.find_first_of(std::string_view("\"\\ \x7f", 4)) != std::string::npos ||
        std::any_of(name.begin(), name.end(),
                    [](char ch) { return static_cast<unsigned char>(ch) < 0x20; });
    if (name.empty() || name == "." || name == ".." || bad_char) {
        LOGF(LOG_ERR, "Zone name '%.*s' cannot name a zone file.",
             static_cast<int>(zone_name.size()), zone_name.data());
        return -1;
    }
    out = std::move(name);
    return 0;
}

std::optional<std::string> zone_letter_dir(const zonefile_env &env, const std::string &file_name,
                                           int type, int full) {
    const unsigned char first = file_name.empty() ? '\0' : file_name[0];
    const bool alnum = (first >= '0' && first <= '9') || (first >= 'a' && first <= 'z') ||
                       (first >= 'A' && first <= 'Z');
    if (!alnum) {
        LOGF(LOG_ERR, "The zone directory letter must be alphanumberic, not '%c'.", first);
        return std::nullopt;
    }
    const char letter = static_cast<char>(tolower(first));
    const std::string *zones_dir;
    if (type == 1)
        zones_dir = &env.master_dir;
    else if (type == 2)
        zones_dir = &env.secondary_dir;
    else {
        LOGF(LOG_ERR, "Unknown zone type: %d.", type);
        return std::nullopt;
    }
    std::string dir = env.named_root + "/" + *zones_dir + "/" + letter;
    if (env.letter_dirs.count(dir) == 0) {
        if (!io_valid_dir(dir.c_str()) && create_letter_dir(env, dir) != 0)
            return std::nullopt;
        env.letter_dirs.insert(dir);
    }
    return full ? dir : std::string(1, letter);
}

std::optional<std::string> form_soa_mail(const char *address) {
    if (!address) {
        FR_TRACE_RETURN();
        return std::nullopt;
    }
    const std::string_view addr(address);
    const size_t at = addr.find('@');
    if (at == std::string_view::npos || at == 0) {
        FR_TRACE_RETURN();
        return std::nullopt;
    }
    std::string_view domain = addr.substr(at + 1);
    // The zone file adds the final dot itself.
    if (!domain.empty() && domain.back() == '.')
        domain.remove_suffix(1);
    if (domain.empty()) {
        FR_TRACE_RETURN();
        return std::nullopt;
    }
    std::string out;
    append_mail_part(out, addr.substr(0, at), true);
    out += '.';
    append_mail_part(out, domain, false);
    return out;
}

std::string file_serial(const zone_info &zone, const zone_serial &serial) {
    return zone.soa.serial != 0 ? std::to_string(zone.soa.serial) : serial.serial;
}

int format_zone_text(std::string_view zone_name, const zone_info &zone, const zone_serial &serial,
                     const enum_service_set *enum_services, std::string &out,
                     std::string *problem) {
    out.clear();
    appendf(out, "$TTL\t%lld\n", static_cast<long long>(zone.soa.default_ttl));

    const std::optional<std::string> mailbox = form_soa_mail(zone.client_email.c_str());
    if (!mailbox)
        return refuse(zone_name, problem,
                      "the owner's e-mail address '" + zone.client_email +
                          "' gives no SOA mailbox");

    const zone_rec *origin = nullptr;
    for (const zone_rec &ns : zone.records[SLOT_NS]) {
        if (ns.host == zone_name) {
            origin = &ns;
            break;
        }
    }
    if (!origin) {
        LOGF(LOG_ERR, "Origin name server not found for %.*s", static_cast<int>(zone_name.size()),
             zone_name.data());
        if (problem)
            *problem = "no origin name server";
        return -1;
    }
    if (const char *why = unsafe_name(origin->value))
        return refuse(zone_name, problem,
                      "origin name server '" + origin->value + "' " + std::string(why));

    appendf(out, "@\tIN SOA\t%s\t%s. (\n", origin->value.c_str(), mailbox->c_str());
    appendf(out, "\t\t\t\t\t%s\t; serial\n", file_serial(zone, serial).c_str());
    appendf(out, "\t\t\t\t\t%lld\t; refresh\n", static_cast<long long>(zone.soa.refresh));
    appendf(out, "\t\t\t\t\t%lld\t; retry\n", static_cast<long long>(zone.soa.retry));
    appendf(out, "\t\t\t\t\t%lld\t; expire\n", static_cast<long long>(zone.soa.expire));
    appendf(out, "\t\t\t\t\t%lld )\t; min_ttl\n\n", static_cast<long long>(zone.soa.min_ttl));

    std::string why;
    if (format_records(zone, enum_services, out, why) != 0)
        return refuse(zone_name, problem, why);
    return 0;
}

int edit_zone_file(FILE *stream, const std::string &zone_name, const zone_info &zone, int zone_id,
                   const zone_serial &serial, const zonefile_env &env, std::string *problem) {
    std::string text;
    try {
        if (format_zone_text(zone_name, zone, serial, env.enum_services, text, problem) != 0)
            return -1;
    } catch (const std::exception &e) {
        LOGF(LOG_ERR, "Zone %s: %s", zone_name.c_str(), e.what());
        return -1;
    }
    // The generated serial is stored before the file goes out, so it stays stored even when
    // a later step fails and the next serial moves past it.
    if (zone.soa.serial == 0 && env.serial_queue)
        env.serial_queue->emplace_back(zone_id, serial.serial);
    else if (zone.soa.serial == 0 && env.db)
        set_sql_soa_serial(env.db, zone_id, serial.serial);
    if (!stream || fwrite(text.data(), 1, text.size(), stream) != text.size() ||
        fflush(stream) != 0) {
        LOGF(LOG_ERR, "Failed to write the zone file of %s: %s", zone_name.c_str(),
             strerror(errno));
        return -1;
    }
    return 0;
}

int write_zone_file(const std::string &path, const std::string &zone_name, const zone_info &zone,
                    int zone_id, const zone_serial &serial, const zonefile_env &env,
                    std::string *problem) {
    atomic_file file;
    if (file.open(path, 0644) != 0) {
        LOGF(LOG_ERR, "Could not create zone file %s: %s", path.c_str(), strerror(errno));
        return -1;
    }
    if (edit_zone_file(file.stream(), zone_name, zone, zone_id, serial, env, problem) != 0)
        return -1;
    if (file.commit() != 0) {
        LOGF(LOG_ERR, "Failed to close zone file %s: %s", path.c_str(), strerror(errno));
        return -1;
    }
    return 0;
}

int copy_zone_file(const zonefile_env &env, const std::string &source, const std::string &file_name,
                   unsigned client_id) {
    if (file_name.find('/') != std::string::npos || file_name == "." || file_name == "..") {
        LOGF(LOG_ERR, "Invalid zone file name %s.", file_name.c_str());
        return -1;
    }
    const std::optional<std::string> dir = zone_letter_dir(env, file_name, 1, 1);
    if (!dir)
        return -1;
    std::string dest = *dir + "/" + file_name;
    if (path_purge(dest, 1) != 0) {
        LOGF(LOG_ERR, "Invalid zone file path %s/%s.", dir->c_str(), file_name.c_str());
        return -1;
    }
    // The installed copy keeps the source's mode: a zone file is public data, and the name
    // server (another user) must be able to read it whatever umask the work copy was made
    // under.
    struct stat st;
    if (stat(source.c_str(), &st) == 0 && (st.st_mode & 0444) != 0444)
        chmod(source.c_str(), (st.st_mode & 07777) | 0444);
    if (fr_cp(source, dest) != 0) {
        const int err = errno;
        log_event(env, 3, "File system interaction (I/O problem)", "ER05", "fail|write|" + dest,
                  client_id);
        LOGF(LOG_DEBUG, "copy to %s: %s", dest.c_str(), strerror(err));
        LOGF(LOG_ERR, "Failed to copy %s to %s", source.c_str(), dest.c_str());
        return -1;
    }
    LOGF(LOG_INFO, "Copied %s to %s", source.c_str(), dest.c_str());
    log_event(env, 5, "Zone file created", "ER07", dest, client_id);
    return 0;
}

int remove_zone_file(const zonefile_env &env, std::string_view zone_name, int which,
                     unsigned client_id) {
    std::string file_name;
    if (zone_file_name(zone_name, file_name) != 0)
        return -1;
    if ((which & 1) && remove_one(env, env.master_dir, file_name, "zone file", client_id) != 0)
        return -1;
    if ((which & 2) &&
        remove_one(env, env.secondary_dir, file_name, "slave zone file", client_id) != 0)
        return -1;
    return 0;
}
