#include "catalog_zone.h"

#include "check_tool.h"
#include "dns_validator.h"
#include "event_row.h"
#include "logging.h"
#include "sql.h"
#include "zone_serial.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <openssl/evp.h>
#include <sstream>
#include <stdexcept>

namespace {

char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The canonical name in DNS wire format: length-prefixed labels, then the root label.
std::string wire_form(const std::string &canonical) {
    std::string wire;
    size_t start = 0;
    while (start < canonical.size()) {
        size_t end = canonical.find('.', start);
        if (end == std::string::npos)
            end = canonical.size();
        if (end > start) {
            const size_t len = std::min<size_t>(end - start, 63);
            wire.push_back(static_cast<char>(len));
            wire.append(canonical, start, len);
        }
        start = end + 1;
    }
    wire.push_back('\0');
    return wire;
}

bool valid_label(std::string_view label) {
    if (label.empty() || label.size() > 63)
        return false;
    return std::all_of(label.begin(), label.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || c == '-';
    });
}

// A canonical name as master-file text: characters with a meaning in that syntax (and any
// that is not printable ASCII) as \DDD.
std::string master_file_name(const std::string &name) {
    std::string out;
    for (unsigned char c : name) {
        const bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                           (c >= 'A' && c <= 'Z') || c == '-' || c == '_' || c == '/' || c == '.' ||
                           c == '*';
        if (plain) {
            out.push_back(static_cast<char>(c));
        } else {
            char buf[8];
            snprintf(buf, sizeof buf, "\\%03u", c);
            out += buf;
        }
    }
    return out;
}

// The reverse of master_file_name (also "\X" for a plain X).
std::string unescape_name(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out.push_back(text[i]);
            continue;
        }
        if (i + 3 < text.size() && isdigit(static_cast<unsigned char>(text[i + 1])) &&
            isdigit(static_cast<unsigned char>(text[i + 2])) &&
            isdigit(static_cast<unsigned char>(text[i + 3]))) {
            const int v =
                (text[i + 1] - '0') * 100 + (text[i + 2] - '0') * 10 + (text[i + 3] - '0');
            out.push_back(static_cast<char>(v & 0xff));
            i += 3;
        } else {
            out.push_back(text[++i]);
        }
    }
    return out;
}

std::vector<std::string> words_of(const std::string &line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    std::string w;
    while (in >> w)
        words.push_back(w);
    return words;
}

const char *const zones_suffix = ".zones";

} // namespace

std::string catalog_canonical_name(std::string_view zone_name) {
    std::string out;
    out.reserve(zone_name.size() + 1);
    for (char c : zone_name)
        out.push_back(ascii_lower(c));
    if (out.empty() || out.back() != '.')
        out.push_back('.');
    return out;
}

std::string catalog_base_label(std::string_view zone_name) {
    const std::string wire = wire_form(catalog_canonical_name(zone_name));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(wire.data(), wire.size(), digest, &len, EVP_sha256(), nullptr) != 1 || len < 8)
        throw std::runtime_error("SHA-256 digest failed");
    static const char hex[] = "0123456789abcdef";
    std::string label;
    for (int i = 0; i < 8; ++i) {
        label.push_back(hex[digest[i] >> 4]);
        label.push_back(hex[digest[i] & 0xf]);
    }
    return label;
}

std::vector<catalog_member> assign_member_labels(const std::set<std::string> &names,
                                                 const std::vector<catalog_member> &previous,
                                                 const catalog_label_fn &base_label) {
    std::map<std::string, std::string> label_of; // name -> label
    std::set<std::string> taken;
    for (const catalog_member &m : previous) {
        if (!names.count(m.name) || label_of.count(m.name) || !valid_label(m.label) ||
            !taken.insert(m.label).second)
            continue;
        label_of[m.name] = m.label;
    }
    for (const std::string &name : names) { // std::set: in the order of the names
        if (label_of.count(name))
            continue;
        const std::string base = base_label(name);
        std::string label = base;
        for (unsigned n = 2; taken.count(label); ++n)
            label = base + "-" + std::to_string(n);
        taken.insert(label);
        label_of[name] = label;
    }
    std::vector<catalog_member> out;
    out.reserve(label_of.size());
    for (auto &[name, label] : label_of)
        out.push_back({label, name});
    return out;
}

int parse_catalog_zone(std::string_view text, catalog_contents &out) {
    out = catalog_contents{};
    bool version = false;
    std::istringstream in{std::string(text)};
    std::string line;
    while (std::getline(in, line)) {
        const std::vector<std::string> w = words_of(line);
        if (w.size() >= 3 && w[1] == ";" && w[2] == "serial") {
            out.serial = parse_serial(w[0]);
        } else if (w.size() == 4 && w[0] == "version" && w[1] == "IN" && w[2] == "TXT") {
            version = w[3] == "\"2\"";
        } else if (w.size() == 4 && w[1] == "IN" && w[2] == "PTR") {
            const std::string &owner = w[0];
            const size_t suffix = strlen(zones_suffix);
            if (owner.size() <= suffix ||
                owner.compare(owner.size() - suffix, suffix, zones_suffix))
                continue;
            const std::string label = owner.substr(0, owner.size() - suffix);
            if (valid_label(label))
                out.members.push_back({label, catalog_canonical_name(unescape_name(w[3]))});
        }
    }
    return version && out.serial >= 0 ? 0 : -1;
}

std::string catalog_zone_text(std::string_view serial, const std::vector<catalog_member> &members) {
    std::string text;
    text.reserve(256 + members.size() * 64);
    text += "; Catalog zone (RFC 9432, schema version 2) of the primary zones of this server.\n"
            "; Written by zonebuildd: it is replaced whenever zones are added or removed.\n"
            "$TTL 0\n"
            "@\tIN SOA\tinvalid. invalid. (\n"
            "\t\t\t";
    text += serial;
    text += "\t; serial\n"
            "\t\t\t300\t; refresh\n"
            "\t\t\t300\t; retry\n"
            "\t\t\t2147483646\t; expire\n"
            "\t\t\t0 )\t; minimum\n"
            "@\tIN NS\tinvalid.\n"
            "version\tIN TXT\t\"2\"\n";
    for (const catalog_member &m : members) {
        text += m.label;
        text += zones_suffix;
        text += "\tIN PTR\t";
        text += master_file_name(m.name);
        text += '\n';
    }
    return text;
}

std::string catalog_serial(int64_t previous, std::string_view format, time_t now) {
    zone_serial s;
    compute_serial(previous >= 0 ? std::to_string(previous) : std::string(), 0, format, now, s);
    return s.serial;
}

std::set<std::string> catalog_member_names(const std::set<std::string> &served,
                                           const std::set<std::string> &before,
                                           const catalog_changes &changes,
                                           const std::string &catalog_name) {
    std::set<std::string> out;
    for (const std::string &name : served) {
        if (name == catalog_name || changes.dropped.count(name))
            continue;
        if (changes.primaries.count(name) || before.count(name))
            out.insert(name);
    }
    return out;
}

// ---------------------------------------------------------------------------------------

std::optional<std::string> catalog_configured_name(const std::string &value) {
    std::string bare = value;
    if (!bare.empty() && bare.back() == '.')
        bare.pop_back();
    if (bare.empty() || !valid_fq_domain(bare, 0)) {
        LOGF(LOG_ERR, "Invalid catalog zone name: %s.", value.c_str());
        return std::nullopt;
    }
    return catalog_canonical_name(bare);
}

int catalog_begin(catalog_job &cat, const std::string &configured, sql_conn *db) {
    cat = catalog_job{};
    if (configured.empty())
        return 0;
    const std::string name = catalog_canonical_name(configured);
    std::string bare = name;
    bare.pop_back();
    sql_result res;
    if (fr_sql_query(db, &res, "SELECT id FROM zone WHERE name = '%s' OR name = '%s' LIMIT 1", name,
                     bare) != 0) {
        LOGF(LOG_ERR, "Error during dialog with mysql.");
        return -1;
    }
    if (fr_sql_fetchrow(res)) {
        LOGF(LOG_ERR,
             "The catalog zone %s is also a zone in the panel: no catalog is written while it "
             "is.",
             bare.c_str());
        return 0;
    }
    if (zone_file_name(name, cat.file_name) != 0)
        return -1;
    cat.name = name;
    return 0;
}

bool catalog_statement(catalog_job &cat, const std::string &zone_name) {
    if (cat.name.empty() || catalog_canonical_name(zone_name) != cat.name)
        return false;
    cat.was_listed = true;
    return true;
}

bool catalog_needs_reload(const catalog_job &cat) {
    return cat.changed || (!cat.name.empty() && !cat.was_listed);
}

namespace {

// The canonical names of every `zone` statement in the include file at `path`.
int served_zones(const std::string &path, const named_ctx &ctx, std::set<std::string> &out) {
    char *buf = nullptr;
    size_t len = 0;
    FILE *sink = open_memstream(&buf, &len);
    if (!sink) {
        LOGF(LOG_ERR, "Failed to list the zones of %s: %s", path.c_str(), strerror(errno));
        return -1;
    }
    const int rc = copy_zone_entries(
        path,
        [&](const std::string &name) {
            out.insert(catalog_canonical_name(name));
            return false;
        },
        sink, ctx);
    fclose(sink);
    free(buf);
    return rc < 0 ? -1 : 0;
}

std::string bare_name(const std::string &canonical) {
    return canonical.substr(0, canonical.size() - 1);
}

} // namespace

int catalog_write(catalog_job &cat, const catalog_changes &changes, bool rebuild, FILE *include,
                  const catalog_env &env) {
    if (cat.name.empty())
        return 0;
    const std::string bare = bare_name(cat.name);
    if (fflush(include) != 0) {
        LOGF(LOG_ERR, "Failed to flush %s.", work_include_path(env.named.paths).c_str());
        return -1;
    }
    std::set<std::string> served;
    if (served_zones(work_include_path(env.named.paths), env.named, served) != 0)
        return -1;
    if (served.count(cat.name)) {
        LOGF(LOG_ERR, "The catalog zone %s is also a hosted zone: no catalog in this job.",
             bare.c_str());
        cat.name.clear();
        return 0;
    }
    const std::optional<std::string> dir = zone_letter_dir(env.zonefile, cat.file_name, 1, 1);
    if (!dir)
        return -1;
    cat.dest = *dir + "/" + cat.file_name;

    catalog_contents previous;
    std::string text;
    const bool have_previous =
        read_file(cat.dest, text) == 0 && parse_catalog_zone(text, previous) == 0;
    std::set<std::string> before;
    if (have_previous) {
        for (const catalog_member &m : previous.members)
            before.insert(m.name);
    } else if (!env.active_primaries || env.active_primaries(before) != 0) {
        LOGF(LOG_ERR, "Failed to read the primary zones for the catalog zone %s.", bare.c_str());
        return -1;
    }
    const std::vector<catalog_member> members = assign_member_labels(
        catalog_member_names(served, before, changes, cat.name), previous.members);
    cat.members = members.size();

    if (rebuild || !have_previous || members != previous.members) {
        const std::string serial =
            catalog_serial(previous.serial, env.serial_format, time(nullptr));
        text = catalog_zone_text(serial, members);
        const std::string work_path =
            env.work_dir + "/" + env.zonefile.master_dir + "/" + cat.file_name;
        if (write_file_atomic(work_path, text) != 0) {
            LOGF(LOG_ERR, "Could not create zone file %s.", work_path.c_str());
            return -1;
        }
        bind9_consume_log();
        const int rc = bind9_checkzone(bare.c_str(), work_path.c_str());
        if (rc != 0) {
            const std::string log = bind9_consume_log();
            LOGF(LOG_ERR, "Failed to parse zone file configuration for %s: %s %s", bare.c_str(),
                 bind9_result_totext(rc), log.c_str());
            return -1;
        }
        cat.staged = std::make_unique<atomic_file>();
        if (cat.staged->open(cat.dest) != 0 || cat.staged->write(text) != 0) {
            LOGF(LOG_ERR, "Could not create zone file %s: %s", cat.dest.c_str(), strerror(errno));
            cat.staged.reset();
            return -1;
        }
        cat.changed = true;
        LOGF(LOG_INFO, "Catalog zone %s: %zu zones, serial %s.", bare.c_str(), members.size(),
             serial.c_str());
    }
    const letter_dir_fn letter = [&](const std::string &file, int type) {
        return zone_letter_dir(env.zonefile, file, type, 0);
    };
    const zone_entry statement{1, {}, {}};
    if (generate_zone_entry(include, bare, cat.file_name, statement, env.entry_template, letter,
                            env.named) != 0) {
        LOGF(LOG_ERR, "Error adding entry to %s. Skipping...",
             live_include_path(env.named.paths).c_str());
        return -1;
    }
    return 0;
}

int catalog_install(catalog_job &cat, const catalog_env &env) {
    if (!cat.changed)
        return 0;
    cat.changed = false;
    const int rc = cat.staged->commit();
    cat.staged.reset();
    if (rc != 0) {
        LOGF(LOG_ERR, "Failed to install the catalog zone file %s: %s", cat.dest.c_str(),
             strerror(errno));
        return -1;
    }
    LOGF(LOG_INFO, "Copied catalog zone to %s", cat.dest.c_str());
    (void)event_row(FACILITY_ZONEBUILD, LOG_NOTICE, "Zone file created", "ER07")
        .info(cat.dest)
        .write(env.named.db, env.named.event_level);
    return 0;
}
