// The configuration check of the files named reads: a small named.conf text of `include`
// statements handed to the C check module (libisccfg, libbind9).
#include "named_conf_check.h"

#include "check_tool.h"
#include "event_row.h"
#include "files.h"
#include "logging.h"

#include <cstdio>
#include <cstdlib>

namespace {

// The event row holds at most this much of what the parser said.
constexpr size_t max_problem_text = 2000;

// `include "PATH";` for a path the parser reads back unchanged: quotes and line ends cannot
// stand in a quoted string, and a backslash would escape what follows it.
bool include_statement(const std::string &path, std::string &out) {
    if (path.find_first_of("\"\\\n\r") != std::string::npos)
        return false;
    out += "include \"" + path + "\";\n";
    return true;
}

} // namespace

int check_named_text(const std::string &text, std::string &problem) {
    bind9_consume_log(); // what earlier checks left is not this check's
    const int rc = bind9_checkconf(text.c_str());
    problem = bind9_consume_log();
    if (rc == 0)
        return 0;
    if (problem.empty())
        problem = bind9_result_totext(rc);
    return -1;
}

int check_named_files(const std::string &acl_path, const std::string &include_path,
                      std::string &problem) {
    std::string text;
    for (const std::string *path : {&acl_path, &include_path}) {
        if (path->empty())
            continue;
        if (!include_statement(*path, text)) {
            problem = "the path " + *path + " cannot be named in a configuration file";
            return -1;
        }
    }
    return check_named_text(text, problem);
}

void report_named_refusal(const named_ctx &ctx, const std::string &file,
                          const std::string &problem) {
    std::string text = problem;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    LOGF(LOG_ERR, "The name server would refuse %s; it is not installed: %s", file.c_str(),
         text.c_str());
    if (text.size() > max_problem_text)
        text.resize(max_problem_text);
    const std::string info = file + "|" + text;
    (void)event_row(FACILITY_ZONEBUILD, LOG_ERR, "Name server configuration refused", "EP02")
        .info(info)
        .write(ctx.db, ctx.event_level);
}

int check_entry_template(const std::string &entry_template, const named_ctx &ctx,
                         std::string *problem_out) {
    // Entries as a job writes them, for made-up zones; the letter directory is not made.
    const letter_dir_fn letter = [](const std::string &, int) -> std::optional<std::string> {
        return std::string("e");
    };
    const zone_entry primary = make_zone_entry(1, {"A192.0.2.1"});
    const zone_entry secondary = make_zone_entry(2, {"A192.0.2.1", "M192.0.2.2"});

    char *buf = nullptr;
    size_t len = 0;
    FILE *mem = open_memstream(&buf, &len);
    if (!mem) {
        LOGF(LOG_ERR, "Cannot render the zonaris.include template: out of memory.");
        return -1;
    }
    named_ctx quiet = ctx; // a rendering failure is reported below, not as an I/O event
    quiet.db = nullptr;
    const int primary_rc = generate_zone_entry(mem, "example.com", "example.com", primary,
                                               entry_template, letter, quiet);
    const int secondary_rc = generate_zone_entry(mem, "example.net", "example.net", secondary,
                                                 entry_template, letter, quiet);
    const bool closed = fclose(mem) == 0;
    std::string entries = buf ? std::string(buf, len) : std::string();
    free(buf);
    std::string problem;
    if (primary_rc != 0 || secondary_rc != 0 || !closed) {
        problem = "no entry could be rendered";
    } else {
        // The entries name the global transfer list; its content does not matter here.
        const std::string text = "acl common-allow-transfer { none; };\n" + entries;
        if (check_named_text(text, problem) == 0)
            return 0;
    }
    report_named_refusal(ctx, "zonaris.include template", problem);
    if (problem_out)
        *problem_out = problem;
    return -1;
}
