// Zone entries, chunk files, the include file's installation, the global ACL file and the
// reload request to the name server.
#include "named_conf.h"

#include "event_row.h"
#include "program_runner.h"

#include "dns_log.h"
#include "dns_validator.h"
#include "files.h"
#include "liblog.h"
#include "logging.h"
#include "named_conf_check.h"
#include "sql.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char *const placeholder_name = "[zone_name]";
const char *const placeholder_type = "[zone_type]";
const char *const placeholder_file = "[zone_file_name]";
const char *const placeholder_options = "[zone_options]";

void replace_all(std::string &text, std::string_view token, std::string_view value) {
    for (size_t pos = text.find(token); pos != std::string::npos;
         pos = text.find(token, pos + value.size()))
        text.replace(pos, token.size(), value);
}

void io_event(const named_ctx &ctx, const std::string &info) {
    (void)event_row(FACILITY_ZONEBUILD, 3, "File system interaction (I/O problem)", "ER05")
        .info(info)
        .write(ctx.db, ctx.event_level);
}

// ER05 row and error for a failed write to the include file being built.
int include_write_failed(const named_ctx &ctx) {
    const named_paths &p = ctx.paths;
    const std::string where = p.temp_dir + "/" + p.work_name + "/" + p.include_base;
    io_event(ctx, "fail|write|" + where);
    LOGF(LOG_ERR, "Could not create %s.", where.c_str());
    return -1;
}

int write_all(FILE *stream, std::string_view text) {
    return fwrite(text.data(), 1, text.size(), stream) == text.size() ? 0 : -1;
}

// A name the name server may read between double quotes: a domain name or one of the
// reverse zone forms (classless IPv4 names hold a "/").
bool valid_zone_name(std::string_view name) {
    return valid_fq_domain(name, 0) || valid_arpa_zone(name, 0) || valid_arpa_ip6_zone(name, 0) ||
           valid_arpa_e164_zone(name);
}

// A zone file name holds only characters that stand safely inside a quoted path.
bool valid_file_name(std::string_view name) {
    if (name.empty() || name == "." || name == "..")
        return false;
    for (unsigned char c : name)
        if (!isalnum(c) && c != '.' && c != '-' && c != '_')
            return false;
    return true;
}

// An address as the name server reads it: a dotted quad without leading zeros, or IPv6.
bool valid_server_address(std::string_view text) {
    return valid_named_ipv4(text) || (text.find(':') != std::string_view::npos && valid_ipv6(text));
}

// Makes the rename of a file replaced in `path`'s directory durable: after a crash the
// directory names either the old or the new file. A failure is logged; the file itself is
// already complete.
void sync_parent_dir(const std::string &path) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : path.substr(0, slash);
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || fsync(fd) != 0)
        LOGF(LOG_WARNING, "Failed to sync directory %s: %s", dir.c_str(), strerror(errno));
    if (fd >= 0)
        close(fd);
}

} // namespace

// An address-match entry for an ACL or allow-transfer list: an address, or a network
// without host bits. A network written with "-" is given back with "/", the only
// separator the name server reads. nullopt when the text is not such an entry.
std::optional<std::string> acl_entry_text(std::string_view text) {
    if (!valid_acl_ip_cidr(text))
        return std::nullopt;
    size_t cut = text.rfind('/');
    if (cut == std::string_view::npos)
        cut = text.rfind('-');
    const std::string_view address = text.substr(0, cut);
    if (!valid_server_address(address))
        return std::nullopt;
    if (cut == std::string_view::npos)
        return std::string(text);
    const std::string_view prefix = text.substr(cut + 1);
    if (prefix.empty() || prefix.size() > 3 ||
        prefix.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    return std::string(address) + "/" + std::string(prefix);
}

std::string path_base_name(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string live_include_path(const named_paths &paths) {
    return paths.named_root + "/" + paths.include_file;
}

std::string work_include_path(const named_paths &paths) {
    return paths.temp_dir + "/" + paths.work_name + "/" + paths.include_base;
}

std::string live_acl_path(const named_paths &paths) {
    return paths.named_root + "/" + paths.acl_file;
}

// ---------------------------------------------------------------------------------------
// Zone entries

int get_sql_template(sql_conn *db, std::string &entry_template) {
    sql_result res;
    if (fr_sql_query(db, &res,
                     "SELECT `file_template`.`content`   FROM `file_template`, "
                     "`file_template_default`   WHERE name = 'zonaris.include'  \tAND "
                     "file_template_default.id = file_template_default_id ") != 0) {
        FR_LOG(LOG_WARNING, "%s", fr_sql_error(db).c_str());
        return -1;
    }
    sql_row row = fr_sql_fetchrow(res);
    if (!row || row.is_null(0)) {
        FR_TRACE_RETURN();
        return -1;
    }
    std::string text(row.view(0));
    if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
        LOGF(LOG_ERR, "The zonaris.include template is empty.");
        return -1;
    }
    if (text.find(placeholder_name) == std::string::npos) {
        LOGF(LOG_ERR, "The zonaris.include template holds no %s placeholder.", placeholder_name);
        return -1;
    }
    entry_template = std::move(text);
    return 0;
}

int add_zone_entry_option(zone_entry &zone, std::string_view key) {
    if (key.size() < 2)
        return -1;
    std::vector<std::string> *list = nullptr;
    if (key[0] == 'A')
        list = &zone.allow_transfer;
    else if (key[0] == 'M')
        list = &zone.masters;
    else
        return -1;
    const std::string address(key.substr(1));
    for (const std::string &known : *list)
        if (known == address)
            return 0;
    list->push_back(address);
    return 0;
}

zone_entry make_zone_entry(int type, const std::vector<std::string> &option_keys) {
    zone_entry entry;
    entry.type = type;
    for (const std::string &key : option_keys)
        add_zone_entry_option(entry, key);
    return entry;
}

int generate_zone_entry(FILE *stream, const std::string &zone_name,
                        const std::string &zone_file_name, const zone_entry &zone,
                        const std::string &entry_template, const letter_dir_fn &make_letter,
                        const named_ctx &ctx) {
    if (!valid_zone_name(zone_name)) {
        LOGF(LOG_ERR, "Invalid zone name '%s': no zone statement written.", zone_name.c_str());
        return -1;
    }
    if (!valid_file_name(zone_file_name)) {
        LOGF(LOG_ERR, "Invalid zone file name '%s' for zone %s.", zone_file_name.c_str(),
             zone_name.c_str());
        return -1;
    }
    if (zone.type != 1 && zone.type != 2) {
        LOGF(LOG_ERR, "Zone type other than master|slave.");
        return -1;
    }
    if (!make_letter) {
        LOGF(LOG_ERR, "No letter directory maker given for zone %s.", zone_name.c_str());
        return -1;
    }
    const std::optional<std::string> letter = make_letter(zone_file_name, zone.type);
    if (!letter)
        return -1;

    std::string path;
    if (zone.type == 1) {
        path = *letter + "/" + zone_file_name;
    } else {
        const named_paths &p = ctx.paths;
        const std::string below = p.master_dir + "/";
        std::string prefix = p.secondary_dir;
        if (p.secondary_dir.size() > below.size() && p.secondary_dir.starts_with(below))
            prefix = p.secondary_dir.substr(below.size());
        path = prefix + "/" + *letter + "/" + zone_file_name;
    }

    std::string options = "allow-transfer {\n";
    for (const std::string &address : zone.allow_transfer) {
        const std::optional<std::string> entry = acl_entry_text(address);
        if (!entry) {
            LOGF(LOG_ERR, "Invalid allow-transfer address '%s' of zone %s left out.",
                 address.c_str(), zone_name.c_str());
            continue;
        }
        options += "\t\t" + *entry + ";\n";
    }
    options += "\t\tcommon-allow-transfer;\n\t}";
    if (zone.type == 2) {
        options += ";\n\tmasters {\n";
        int found = 0;
        for (const std::string &address : zone.masters) {
            if (!valid_server_address(address)) {
                LOGF(LOG_ERR, "Invalid master address '%s' of zone %s left out.", address.c_str(),
                     zone_name.c_str());
                continue;
            }
            options += "\t\t" + address + ";\n";
            ++found;
        }
        if (found == 0) {
            LOGF(LOG_ERR, "No valid master found for slave zone %s", zone_name.c_str());
            return -1;
        }
        options += "\t}";
    }

    std::string text = entry_template;
    replace_all(text, placeholder_name, zone_name);
    replace_all(text, placeholder_type, zone.type == 1 ? "master" : "slave");
    replace_all(text, placeholder_file, path);
    replace_all(text, placeholder_options, options);
    if (text.empty())
        return 0;
    if (text.back() != '\n')
        text.push_back('\n');
    if (write_all(stream, text) != 0)
        return include_write_failed(ctx);
    return 0;
}

// ---------------------------------------------------------------------------------------
// Chunk files and the include file

std::string chunk_file_path(const named_paths &paths, int daemon_pid, int worker) {
    return paths.temp_dir + "/" + paths.work_name + "/" + std::to_string(daemon_pid) + "_chunk_" +
           std::to_string(worker);
}

int chunk_begin(FILE *chunk) {
    const int32_t zero = 0;
    return fwrite(&zero, sizeof zero, 1, chunk) == 1 ? 0 : -1;
}

int chunk_finish(FILE *chunk, int count) {
    const int32_t value = count;
    if (fflush(chunk) != 0 || fseek(chunk, 0, SEEK_SET) != 0)
        return -1;
    if (fwrite(&value, sizeof value, 1, chunk) != 1 || fflush(chunk) != 0)
        return -1;
    return fseek(chunk, 0, SEEK_END) == 0 ? 0 : -1;
}

int merge_namedconf(const std::vector<FILE *> &chunks, FILE *include_out, const named_ctx &ctx) {
    long long total = 0;
    char *line = nullptr;
    size_t cap = 0;
    int rc = 0;
    for (size_t i = 0; i < chunks.size() && rc == 0; ++i) {
        FILE *chunk = chunks[i];
        int32_t count = 0;
        if (!chunk || fread(&count, sizeof count, 1, chunk) != 1 || count < 0) {
            LOGF(LOG_ERR, "Chunk %zu holds no valid zone count.", i);
            rc = -1;
            break;
        }
        total += count;
        ssize_t n;
        while ((n = getline(&line, &cap, chunk)) > 0) {
            std::string_view text(line, static_cast<size_t>(n));
            if (text.back() == '\n')
                text.remove_suffix(1);
            if (write_all(include_out, text) != 0 || fputc('\n', include_out) == EOF) {
                rc = include_write_failed(ctx);
                break;
            }
        }
        if (rc == 0 && ferror(chunk)) {
            LOGF(LOG_ERR, "Failed to read chunk %zu: %s", i, strerror(errno));
            rc = -1;
        }
    }
    free(line);
    if (rc != 0)
        return -1;
    if (total > INT32_MAX) {
        LOGF(LOG_ERR, "Zone count of the chunks out of range.");
        return -1;
    }
    return static_cast<int>(total);
}

int install_namedconf(const named_ctx &ctx) {
    const std::string from = work_include_path(ctx.paths);
    const std::string to = live_include_path(ctx.paths);
    // named reads the include file after the ACL file; a file it would refuse never goes live.
    const std::string acl = live_acl_path(ctx.paths);
    std::string problem;
    if (check_named_files(access(acl.c_str(), F_OK) == 0 ? acl : "", from, problem) != 0) {
        report_named_refusal(ctx, to, problem);
        return -1;
    }
    // Copied through a synced temporary file beside the live one and renamed onto it, so
    // the name server reads either the old file or the whole new one.
    if (fr_cp(from, to) != 0) {
        LOGF(LOG_ERR, "Error renaming %s to %s", from.c_str(), to.c_str());
        return -1;
    }
    sync_parent_dir(to);
    unlink(from.c_str());
    (void)event_row(FACILITY_ZONEBUILD, 5, "zonaris.include changed", "ER07")
        .info(to)
        .write(ctx.db, ctx.event_level);
    return 0;
}

// ---------------------------------------------------------------------------------------
// Global ACL

int get_sql_acl(sql_conn *db, acl_set &acl) {
    sql_result res;
    if (fr_sql_query(db, &res, "SELECT ip FROM global_transfer_ips ") != 0) {
        FR_LOG(LOG_WARNING, "%s", fr_sql_error(db).c_str());
        return -1;
    }
    while (sql_row row = fr_sql_fetchrow(res)) {
        if (!row.is_null(0))
            acl.insert(std::string(row.view(0)));
    }
    return 0;
}

std::string acl_file_text(const acl_set &acl) {
    std::string text = "acl common-allow-transfer {\n";
    for (const std::string &address : acl) {
        const std::optional<std::string> entry = acl_entry_text(address);
        if (!entry) {
            LOGF(LOG_ERR, "Invalid global transfer address '%s' left out.", address.c_str());
            continue;
        }
        text += "\t" + *entry + ";\n";
    }
    text += "};\n";
    return text;
}

int install_acl_text(const std::string &text, const named_ctx &ctx) {
    const std::string path = live_acl_path(ctx.paths);
    std::string problem;
    if (check_named_text(text, problem) != 0) {
        report_named_refusal(ctx, path, problem);
        return ACL_REFUSED;
    }

    atomic_file out;
    if (out.open(path, 0644) != 0) {
        LOGF(LOG_ERR, "Failed to open temporary acl file %s: %s", path.c_str(), strerror(errno));
        return -1;
    }
    if (out.write(text) != 0) {
        io_event(ctx, "fail|write|" + out.temp_path());
        LOGF(LOG_ERR, "Failed to write %s.", out.temp_path().c_str());
        out.discard();
        return -1;
    }
    if (out.commit() != 0) {
        LOGF(LOG_ERR, "Failed to install new acl file: %s", strerror(errno));
        return -1;
    }
    sync_parent_dir(path);
    (void)event_row(FACILITY_ZONEBUILD, 5, "zonaris.acl changed", "ER07")
        .info(path)
        .write(ctx.db, ctx.event_level);
    LOGF(LOG_INFO, "Global ACL successfully restored.");
    return 0;
}

int restore_acl(const acl_set &acl, const named_ctx &ctx) {
    LOGF(LOG_INFO, "Restoring global ACL.");
    return install_acl_text(acl_file_text(acl), ctx);
}

// ---------------------------------------------------------------------------------------
// Name server control

int run_rndc(const std::string &rndc_dir, const std::vector<std::string> &args,
             std::string *output) {
    if (rndc_dir.empty()) {
        LOGF(LOG_ERR, "No rndc directory given.");
        return -1;
    }
    program_run run;
    run.path = rndc_dir + "/rndc";
    run.argv.push_back("rndc");
    run.argv.insert(run.argv.end(), args.begin(), args.end());
    run.capture = output != nullptr;
    run.limit = rndc_time_limit;
    const run_result r = run_child_program(run);
    if (output)
        *output = r.output;
    switch (r.end) {
    case RUN_EXITED:
        return r.exit_code;
    case RUN_EXEC_FAILED:
        return 255;
    default:
        LOGF(LOG_ERR, "%s did not finish: %s.", run.path.c_str(), run_result_text(r).c_str());
        return -1;
    }
}

int notify_named(const std::string &rndc_dir) {
    return run_rndc(rndc_dir, {"reload"});
}

namespace {

// The "Named restart attempt" row of a reload's exit code.
void reload_event(const named_ctx &ctx, int code) {
    (void)event_row(FACILITY_ZONEBUILD, code == 0 ? 5 : 3, "Named restart attempt", "ER02")
        .info((code == 0 ? "ok|" : "fail|") + std::to_string(code))
        .write(ctx.db, ctx.event_level);
}

} // namespace

int reload_changed(const named_ctx &ctx, bool reconfig, const std::vector<std::string> &zones) {
    std::vector<std::vector<std::string>> calls;
    if (reconfig)
        calls.push_back({"reconfig"});
    for (const std::string &zone : zones)
        calls.push_back({"reload", zone});
    int code = 0;
    for (const std::vector<std::string> &args : calls) {
        code = run_rndc(ctx.paths.rndc_dir, args);
        const std::string command = args.size() == 1 ? args[0] : args[0] + " " + args[1];
        LOGF(LOG_INFO, "`rndc %s` terminated with code %d.", command.c_str(), code);
        if (code != 0)
            break;
    }
    if (!calls.empty())
        reload_event(ctx, code);
    return code == 0 ? 0 : -1;
}

int reload_named(const named_ctx &ctx) {
    const int code = notify_named(ctx.paths.rndc_dir);
    LOGF(LOG_INFO, "`rndc reload` terminated with code %d.", code);
    reload_event(ctx, code);
    if (code != 0) {
        LOGF(LOG_ERR, "The name server did not reload; the reload is retried with the next job.");
        return -1;
    }
    return 0;
}
