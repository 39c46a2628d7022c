// Include-file editing: a character scanner that copies the live include file into the one
// being built, leaving out the `zone` statements of the zones a job rewrites or removes, and
// that can pick single zones' statements out of the live file.
//
// The scanner does not parse the name server's grammar: it knows words, separators,
// double-quoted names, braces, semicolons and the three comment forms ("//", "/* */", "#").
#include "named_conf.h"

#include "dns_common.h"
#include "dns_log.h"
#include "logging.h"

#include <cstring>
#include <string>

namespace {

constexpr int max_word = 255; // a word or a quoted name has at most 254 characters

enum word_class { WORD_OTHER = 1, WORD_ZONE = 2, WORD_PID_FILE = 3 };

// One pass over one input. `copy_other` decides whether text outside `zone` statements
// reaches the output; `keep` decides, per zone name (with its final dot), whether the
// statement does.
struct scanner {
    FILE *in;
    FILE *out;
    int &line;
    const named_ctx &ctx;
    const std::string &input_name; // the file named in messages
    bool copy_other;
    bool newline_after_kept; // end every kept statement with exactly one newline
    std::string pushback;    // characters given back, read again last-in first-out
    bool io_failed = false;

    int get() {
        if (!pushback.empty()) {
            int c = static_cast<unsigned char>(pushback.back());
            pushback.pop_back();
            return c;
        }
        if (!in)
            return EOF;
        int c = getc_unlocked(in);
        if (c == '\n' || c == '\r')
            ++line;
        return c;
    }
    void unget(int c) { pushback.push_back(static_cast<char>(c)); }

    int write_failed() {
        io_failed = true;
        const named_paths &p = ctx.paths;
        const std::string where = p.temp_dir + "/" + p.work_name + "/" + p.include_base;
        const std::string info = "fail|write|" + where;
        sql_log(ctx.db, FACILITY_ZONEBUILD, 3, "File system interaction (I/O problem)", "ER05",
                info.c_str(), 0, 0, 0, nullptr, nullptr, ctx.event_level);
        LOGF(LOG_ERR, "Could not create %s.", where.c_str());
        return -1;
    }
    int put(std::string_view text, bool emit) {
        if (!emit || text.empty())
            return 0;
        if (fwrite(text.data(), 1, text.size(), out) != text.size())
            return write_failed();
        return 0;
    }
    int put(int c, bool emit) {
        if (!emit)
            return 0;
        if (fputc_unlocked(c, out) == EOF)
            return write_failed();
        return 0;
    }

    int process_comment(int kind, bool copy);
    int goto_next_zone();
    bool get_zone_name(bool zone_name, std::string &name);
    int skip_zone(bool copy);
    int pid_file_value();
    int pass(const zone_name_pred &keep, int *kept);
};

bool is_separator(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

int check_word(const std::string &word) {
    if (word == "zone")
        return WORD_ZONE;
    if (word == "pid-file")
        return WORD_PID_FILE;
    return WORD_OTHER;
}

// Called after the comment mark was read. Kinds: 1 "//", 2 "/*", 3 "#".
int scanner::process_comment(int kind, bool copy) {
    if (kind == 2) {
        if (put("/*", copy) != 0)
            return -1;
        int prev = 0;
        for (;;) {
            int c = get();
            if (c == EOF) {
                LOGF(LOG_ERR, "%s on line %d.", "Illegal use of comment !", line);
                return -1;
            }
            if (put(c, copy) != 0)
                return -1;
            if (prev == '*' && c == '/')
                return 0;
            prev = c; // starts at 0: the star of the opening mark does not close it
        }
    }
    std::string buffer = kind == 1 ? "//" : "#";
    const size_t room = kind == 1 ? 253 : 254;
    size_t taken = 0;
    for (;;) {
        int c = get();
        if (c == EOF) {
            if (taken == 0) {
                LOGF(LOG_ERR, "%s on line %d.", "Illegal use of comment !", line + 1);
                return -1;
            }
            break;
        }
        if (++taken > room) {
            LOGF(LOG_ERR, "Overflow!");
            return -1;
        }
        buffer.push_back(static_cast<char>(c));
        if (c == '\n')
            break;
    }
    return put(buffer, copy);
}

// Reads up to the end of the next word. 0 at the end of the input, the word's class after a
// word of class 1 or 3 was written (with the separator that ended it), 2 after the word
// "zone" (neither written), -1 on a failure. A comment mark ends a pending word like a
// separator does, so text keeps its order.
int scanner::goto_next_zone() {
    std::string word;
    auto finish_word = [&](int separator) -> int {
        int cls = check_word(word);
        if (cls == WORD_ZONE)
            return cls;
        if (put(word, copy_other) != 0)
            return -1;
        if (separator != EOF && put(separator, copy_other) != 0)
            return -1;
        return cls;
    };
    for (;;) {
        int c = get();
        if (c == EOF)
            return word.empty() ? 0 : (check_word(word) == WORD_ZONE ? -1 : finish_word(EOF));
        if (is_separator(c)) {
            if (word.empty()) {
                if (put(c, copy_other) != 0)
                    return -1;
                continue;
            }
            return finish_word(c);
        }
        int kind = 0;
        if (c == '#') {
            kind = 3;
        } else if (c == '/') {
            int next = get();
            if (next == '/')
                kind = 1;
            else if (next == '*')
                kind = 2;
            else if (next != EOF)
                unget(next);
            if (kind != 0 && !word.empty()) {
                unget(next);
                unget(c);
                return finish_word(EOF);
            }
        }
        if (kind == 3 && !word.empty()) {
            unget(c);
            return finish_word(EOF);
        }
        if (kind != 0) {
            if (process_comment(kind, copy_other) != 0)
                return -1;
            continue;
        }
        word.push_back(static_cast<char>(c));
        if (word.size() >= static_cast<size_t>(max_word)) {
            LOGF(LOG_ERR, "Maximum word length(%d) exceeded on line %d.", max_word, line);
            return -1;
        }
    }
}

// The next double-quoted text. For a zone name a final dot is added when missing (and to a
// one-character name, so the root zone "." reads as ".."). False when a "{" comes before the
// quote (no message) or on an error (logged).
bool scanner::get_zone_name(bool zone_name, std::string &name) {
    name.clear();
    for (;;) {
        int c = get();
        if (c == EOF) {
            LOGF(LOG_ERR, "EOF encountered too soon in %s, on line %d.", input_name.c_str(), line);
            return false;
        }
        if (c == '"')
            break;
        if (c == '{')
            return false;
    }
    for (;;) {
        int c = get();
        if (c == EOF) {
            LOGF(LOG_ERR, "EOF encountered too soon in %s, on line %d.", input_name.c_str(), line);
            return false;
        }
        if (c == '"')
            break;
        name.push_back(static_cast<char>(c));
        if (name.size() >= static_cast<size_t>(max_word)) {
            LOGF(LOG_ERR, "Maximum word length(%d) exceeded in %s, on line %d.", max_word,
                 input_name.c_str(), line);
            return false;
        }
    }
    if (zone_name && (name.size() == 1 || name.back() != '.'))
        name.push_back('.');
    return true;
}

// The rest of a statement up to the "};" that closes its outermost brace, copied or dropped.
// A dropped statement takes one newline that directly follows it along.
int scanner::skip_zone(bool copy) {
    int depth = 0;
    for (;;) {
        int c = get();
        if (c == EOF)
            return -1;
        if (c == '{') {
            if (put(c, copy) != 0)
                return -1;
            ++depth;
            continue;
        }
        if (c == '}') {
            if (get() != ';')
                return -1;
            if (put("};", copy) != 0)
                return -1;
            if (--depth < 0)
                return -1;
            if (depth > 0)
                continue;
            if (!copy) {
                int next = get();
                if (next != '\n' && next != EOF)
                    unget(next);
            }
            return 0;
        }
        int kind = 0;
        if (c == '#') {
            kind = 3;
        } else if (c == '/') {
            int next = get();
            if (next == '/')
                kind = 1;
            else if (next == '*')
                kind = 2;
            else if (next != EOF)
                unget(next);
        }
        if (kind != 0) {
            if (process_comment(kind, copy) != 0)
                return -1;
            continue;
        }
        if (put(c, copy) != 0)
            return -1;
    }
}

// After "pid-file": a quoted path is copied as one piece (comment marks inside it are part of
// the path); a bare value is left to the word scanner, which copies it unchanged. A quoted
// path that cannot be read whole fails the pass: leaving it out would break the statement.
int scanner::pid_file_value() {
    int c;
    while ((c = get()) != EOF && is_separator(c)) {
        if (put(c, copy_other) != 0)
            return -1;
    }
    if (c == EOF)
        return 0;
    if (c != '"') {
        unget(c);
        return 0;
    }
    unget(c);
    std::string path;
    if (!get_zone_name(false, path))
        return -1;
    return put("\"" + path + "\"", copy_other);
}

int syntax_error(const scanner &s) {
    const std::string info = s.ctx.paths.include_file + "|" + std::to_string(s.line);
    sql_log(s.ctx.db, FACILITY_ZONEBUILD, 3, "Syntax error", "EP01", info.c_str(), 0, 0, 0, nullptr,
            nullptr, s.ctx.event_level);
    LOGF(LOG_ERR, "namedconf error at %s:%d.", s.ctx.paths.include_file.c_str(), s.line);
    return -1;
}

int scanner::pass(const zone_name_pred &keep, int *kept) {
    for (;;) {
        int r = goto_next_zone();
        if (r == 0)
            return 0;
        if (r == WORD_OTHER)
            continue;
        if (r == WORD_PID_FILE) {
            if (pid_file_value() != 0)
                return io_failed ? -1 : syntax_error(*this);
            continue;
        }
        if (r != WORD_ZONE)
            return io_failed ? -1 : syntax_error(*this);

        std::string name;
        if (!get_zone_name(true, name))
            return syntax_error(*this);
        try_add_dot(name);
        if (!keep(name)) {
            if (skip_zone(false) != 0)
                return io_failed ? -1 : syntax_error(*this);
            continue;
        }
        try_rm_dot(name);
        if (put("zone \"" + name + "\"", true) != 0)
            return -1;
        if (skip_zone(true) != 0)
            return io_failed ? -1 : syntax_error(*this);
        if (newline_after_kept && put('\n', true) != 0)
            return -1;
        if (kept)
            ++*kept;
    }
}

} // namespace

int manage_namedconf(include_scan &scan, const zone_name_pred &in_change_set,
                     const named_ctx &ctx) {
    if (!scan.out) {
        LOGF(LOG_ERR, "No include file to write to.");
        return -1;
    }
    const std::string input_name = ctx.paths.include_file;
    scanner s{scan.in, scan.out, scan.line, ctx, input_name, true, false, {}};
    return s.pass([&](const std::string &name) { return !in_change_set(name); }, nullptr);
}

int copy_zone_entries(const std::string &live_path, const zone_name_pred &wanted, FILE *out,
                      const named_ctx &ctx) {
    if (!out) {
        LOGF(LOG_ERR, "No file to copy the zone statements to.");
        return -1;
    }
    FILE *in = fopen(live_path.c_str(), "re");
    if (!in) {
        LOGF(LOG_ERR, "Error opening zonaris include file %s: %s", live_path.c_str(),
             strerror(errno));
        return -1;
    }
    int line = 1;
    int kept = 0;
    scanner s{in, out, line, ctx, live_path, false, true, {}};
    int rc = s.pass(wanted, &kept);
    if (ferror(in)) {
        LOGF(LOG_ERR, "Error reading zonaris include file %s.", live_path.c_str());
        rc = -1;
    }
    fclose(in);
    return rc == 0 ? kept : -1;
}

int copy_zone_entry(const std::string &live_path, const std::string &zone_name, FILE *out,
                    const named_ctx &ctx) {
    std::string wanted = zone_name;
    if (wanted.size() == 1 || wanted.empty() || wanted.back() != '.')
        wanted.push_back('.');
    int n = copy_zone_entries(
        live_path, [&](const std::string &name) { return name == wanted; }, out, ctx);
    return n < 0 ? -1 : (n > 0 ? 1 : 0);
}
