// Include-file editing: a scanner that copies the live include file into the one being
// built, leaving out the `zone` statements of the zones a job rewrites or removes, and that
// can pick single zones' statements out of the live file.
//
// The scanner reads the file as named's configuration lexer does (words, double-quoted
// strings with backslash escapes, braces, semicolons, the comment forms "//", "/* */" and
// "#"), and finds statements as named's parser does: a statement ends with the ";" that
// follows it at brace depth 0, with any blank space or comment in between ("} ;" as well as
// "};"). A statement whose first word is `zone` (in any case) at the top level is a zone
// statement: the keyword, the zone name (quoted or not), an optional class word and a brace
// block. It does not check the rest of named's grammar: a file it passes is checked with
// BIND's own parser before it is installed.
#include "named_conf.h"

#include "dns_common.h"
#include "event_row.h"
#include "logging.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <strings.h>

namespace {

enum token_kind { TOKEN_END, TOKEN_WORD, TOKEN_QUOTED, TOKEN_OPEN, TOKEN_CLOSE, TOKEN_SEMI };

struct token {
    token_kind kind = TOKEN_END;
    std::string text; // as it stands in the file (a quoted string with its quotes)
};

bool is_separator(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool ends_word(int c) {
    return c == EOF || is_separator(c) || c == '{' || c == '}' || c == ';' || c == '"' || c == '#';
}

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
    bool newline_after_kept;             // end every kept statement with exactly one newline
    zone_statements *left_out = nullptr; // receives the statements `keep` refused
    std::string pushback;                // characters given back, read again last-in first-out
    bool io_failed = false;
    bool malformed = false;

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
    void unget(int c) {
        if (c != EOF)
            pushback.push_back(static_cast<char>(c));
    }

    int write_failed() {
        io_failed = true;
        const named_paths &p = ctx.paths;
        const std::string where = p.temp_dir + "/" + p.work_name + "/" + p.include_base;
        (void)event_row(FACILITY_ZONEBUILD, LOG_ERR, "File system interaction (I/O problem)",
                        "ER05")
            .info("fail|write|" + where)
            .write(ctx.db, ctx.event_level);
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

    bool read_failed() {
        if (!in || !ferror(in))
            return false;
        io_failed = true;
        LOGF(LOG_ERR, "Error reading zonaris include file %s: %s", input_name.c_str(),
             strerror(errno));
        return true;
    }

    bool comment(int mark, std::string &text);
    bool quoted(std::string &text);
    bool next_token(std::string &trivia, token &tok);
    int other_statement(token first);
    int zone_statement(const zone_name_pred &keep, int *kept);
    int syntax_error();
    int pass(const zone_name_pred &keep, int *kept);
};

// After the first character of a comment mark ("#" or "/" followed by "/" or "*"): reads the
// comment into `text`, mark included. A line comment ends with its line (the newline
// belongs to it) or with the input; a block comment must be closed.
bool scanner::comment(int mark, std::string &text) {
    text.push_back(static_cast<char>(mark));
    if (mark == '/') {
        const int kind = get();
        text.push_back(static_cast<char>(kind));
        if (kind == '*') {
            int prev = 0;
            for (int c = get(); c != EOF; prev = c, c = get()) {
                text.push_back(static_cast<char>(c));
                if (prev == '*' && c == '/')
                    return true;
            }
            LOGF(LOG_ERR, "%s on line %d.", "Illegal use of comment !", line);
            return false;
        }
    }
    for (int c = get(); c != EOF; c = get()) {
        text.push_back(static_cast<char>(c));
        if (c == '\n')
            break;
    }
    return true;
}

// After the opening quote: the string up to the closing quote that no backslash escapes.
bool scanner::quoted(std::string &text) {
    text.push_back('"');
    bool escaped = false;
    for (int c = get(); c != EOF; c = get()) {
        text.push_back(static_cast<char>(c));
        if (c == '"' && !escaped)
            return true;
        escaped = c == '\\' && !escaped;
    }
    LOGF(LOG_ERR, "EOF encountered too soon in %s, on line %d.", input_name.c_str(), line);
    return false;
}

// The blank space and comments before the next token go to `trivia`, the token to `tok`.
// False on an unterminated comment or quoted string.
bool scanner::next_token(std::string &trivia, token &tok) {
    tok = token{};
    for (;;) {
        int c = get();
        if (c == EOF)
            return true;
        if (is_separator(c)) {
            trivia.push_back(static_cast<char>(c));
            continue;
        }
        if (c == '/') {
            const int next = get();
            unget(next);
            if (next == '/' || next == '*') {
                if (!comment(c, trivia))
                    return false;
                continue;
            }
        }
        if (c == '#') {
            if (!comment(c, trivia))
                return false;
            continue;
        }
        tok.text.push_back(static_cast<char>(c));
        switch (c) {
        case '{':
            tok.kind = TOKEN_OPEN;
            return true;
        case '}':
            tok.kind = TOKEN_CLOSE;
            return true;
        case ';':
            tok.kind = TOKEN_SEMI;
            return true;
        case '"':
            tok.kind = TOKEN_QUOTED;
            tok.text.clear();
            return quoted(tok.text);
        default:
            break;
        }
        tok.kind = TOKEN_WORD;
        for (;;) {
            c = get();
            if (c == '/') {
                const int next = get();
                unget(next);
                if (next == '/' || next == '*') {
                    unget(c);
                    return true;
                }
            } else if (ends_word(c)) {
                unget(c);
                return true;
            }
            tok.text.push_back(static_cast<char>(c));
        }
    }
}

int scanner::syntax_error() {
    if (io_failed)
        return -1;
    malformed = true;
    (void)event_row(FACILITY_ZONEBUILD, LOG_ERR, "Syntax error", "EP01")
        .info(ctx.paths.include_file + "|" + std::to_string(line))
        .write(ctx.db, ctx.event_level);
    LOGF(LOG_ERR, "namedconf error at %s:%d.", ctx.paths.include_file.c_str(), line);
    return -1;
}

// A statement other than a zone statement, copied (when other text is) up to its ";". The
// input may end after a statement that lacks its ";" (the text is kept as it stands), but
// not inside a brace block.
int scanner::other_statement(token first) {
    int depth = 0;
    std::string text;
    token tok = std::move(first);
    for (;;) {
        if (tok.kind == TOKEN_OPEN)
            ++depth;
        if (tok.kind == TOKEN_CLOSE && --depth < 0)
            return syntax_error();
        text += tok.text;
        if (tok.kind == TOKEN_SEMI && depth == 0)
            return put(text, copy_other);
        if (tok.kind == TOKEN_END) {
            if (depth != 0 || read_failed())
                return syntax_error();
            return put(text, copy_other);
        }
        if (!next_token(text, tok))
            return syntax_error();
    }
}

// After the keyword `zone`: the name, then the rest of the statement up to its ";". A kept
// statement is written back as `zone "NAME"` (name without its final dot, whatever stood
// between keyword and name replaced by one blank) and the rest as it stood; a dropped one
// takes a newline that directly follows it along.
int scanner::zone_statement(const zone_name_pred &keep, int *kept) {
    std::string dropped;
    token name_token;
    if (!next_token(dropped, name_token))
        return syntax_error();
    std::string name;
    if (name_token.kind == TOKEN_QUOTED)
        name = name_token.text.substr(1, name_token.text.size() - 2);
    else if (name_token.kind == TOKEN_WORD)
        name = name_token.text;
    else
        return syntax_error();

    std::string rest;
    int depth = 0;
    bool block_seen = false;
    for (;;) {
        token tok;
        if (!next_token(rest, tok))
            return syntax_error();
        rest += tok.text;
        if (tok.kind == TOKEN_END) {
            read_failed();
            return syntax_error();
        }
        if (tok.kind == TOKEN_OPEN) {
            ++depth;
            block_seen = true;
        } else if (tok.kind == TOKEN_CLOSE) {
            if (--depth < 0)
                return syntax_error();
        } else if (depth == 0 && (tok.kind == TOKEN_SEMI || block_seen)) {
            // A zone statement is `zone NAME [CLASS] { ... } ;`.
            if (tok.kind != TOKEN_SEMI || !block_seen)
                return syntax_error();
            break;
        }
    }

    // The root zone "." reads as "..", which try_rm_dot turns back into ".".
    if (name.size() == 1 || name.empty() || name.back() != '.')
        name.push_back('.');
    try_add_dot(name);
    if (!keep(name)) {
        if (left_out) {
            std::string bare = name;
            try_rm_dot(bare);
            (*left_out)[name] = "zone \"" + bare + "\"" + rest;
        }
        const int next = get();
        if (next != '\n')
            unget(next);
        return 0;
    }
    try_rm_dot(name);
    if (put("zone \"" + name + "\"" + rest, true) != 0)
        return -1;
    if (newline_after_kept && put("\n", true) != 0)
        return -1;
    if (kept)
        ++*kept;
    return 0;
}

int scanner::pass(const zone_name_pred &keep, int *kept) {
    for (;;) {
        std::string trivia;
        token tok;
        if (!next_token(trivia, tok))
            return syntax_error();
        if (put(trivia, copy_other) != 0)
            return -1;
        if (tok.kind == TOKEN_END)
            return read_failed() ? -1 : 0;
        const int rc = tok.kind == TOKEN_WORD && strcasecmp(tok.text.c_str(), "zone") == 0
                           ? zone_statement(keep, kept)
                           : other_statement(std::move(tok));
        if (rc != 0)
            return -1;
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
    scanner s{scan.in, scan.out, scan.line, ctx, input_name, true, false, scan.left_out, {}};
    const int rc = s.pass([&](const std::string &name) { return !in_change_set(name); }, nullptr);
    scan.malformed = s.malformed;
    return rc;
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
    scanner s{in, out, line, ctx, live_path, false, true, nullptr, {}};
    const int rc = s.pass(wanted, &kept);
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

int read_zone_entries(const std::string &path, long offset, zone_statements &out,
                      const named_ctx &ctx) {
    FILE *in = fopen(path.c_str(), "re");
    if (!in || fseek(in, offset, SEEK_SET) != 0) {
        LOGF(LOG_ERR, "Error opening zonaris include file %s: %s", path.c_str(), strerror(errno));
        if (in)
            fclose(in);
        return -1;
    }
    int line = 1;
    const size_t before = out.size();
    scanner s{in, nullptr, line, ctx, path, false, false, &out, {}};
    const int rc = s.pass([](const std::string &) { return false; }, nullptr);
    fclose(in);
    return rc == 0 ? static_cast<int>(out.size() - before) : -1;
}
