// The include-file scanner: which statements of the live include file pass into the new one,
// how kept statements are written back, and which inputs are refused.
#include "named_conf.h"

#include "dns_common.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct scan_result {
    int rc;
    std::string out;
    int line;
};

named_ctx test_ctx() {
    named_ctx ctx;
    ctx.paths.include_file = "/etc/zonaris.include";
    ctx.paths.include_base = "zonaris.include";
    ctx.paths.temp_dir = "/tmp";
    ctx.paths.work_name = "tmp_1";
    return ctx;
}

// Runs one pass over `input`, dropping the zones named in `changed` (with final dots).
scan_result scan(const std::string &input, const std::set<std::string> &changed) {
    char *buf = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&buf, &len);
    FILE *in =
        input.empty() ? nullptr : fmemopen(const_cast<char *>(input.data()), input.size(), "r");
    include_scan s{in, out, 1};
    int rc = manage_namedconf(
        s, [&](const std::string &name) { return changed.count(name) > 0; }, test_ctx());
    if (in)
        fclose(in);
    fclose(out);
    scan_result r{rc, std::string(buf, len), s.line};
    free(buf);
    return r;
}

class IncludeScan : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { _init_global_str(); }
};

struct pass_case {
    const char *what;
    std::string input;
    std::set<std::string> changed;
    std::string expected;
};

TEST_F(IncludeScan, KeepsEverythingButTheChangedZones) {
    const pass_case cases[] = {
        {"changed zone dropped, other zone rewritten, options kept",
         "options { directory \"/var/named\"; };\n"
         "zone \"a.example.\" { type master; file \"a/a.example\"; };\n"
         "zone   \"b.example\" {\n\ttype master;\n\tfile \"b/b.example\";\n};\n",
         {"a.example."},
         "options { directory \"/var/named\"; };\n"
         "zone \"b.example\" {\n\ttype master;\n\tfile \"b/b.example\";\n};\n"},
        {"dropped statement takes its newline along, the blanks before it stay",
         "  zone \"a.example\" { type master; };\nzone \"b.example\" { type master; };\n",
         {"a.example."},
         "  zone \"b.example\" { type master; };\n"},
        {"a final dot of a kept name is removed",
         "zone \"b.example.\" { type master; };\n",
         {},
         "zone \"b.example\" { type master; };\n"},
        {"nested braces inside a statement",
         "zone \"a.example\" { allow-transfer { 10.0.0.1; }; };\n"
         "zone \"b.example\" { allow-transfer { 10.0.0.2; }; masters { 10.0.0.3; }; };\n",
         {"a.example."},
         "zone \"b.example\" { allow-transfer { 10.0.0.2; }; masters { 10.0.0.3; }; };\n"},
        {"a hash comment holding zone, a name and a brace is copied",
         "# zone \"a.example\" {\nzone \"a.example\" { type master; };\n",
         {"a.example."},
         "# zone \"a.example\" {\n"},
        {"a block comment inside a dropped statement is dropped",
         "zone \"a.example\" { /* zone \"b\" { */ type master; };\nzone \"c.example\" { };\n",
         {"a.example."},
         "zone \"c.example\" { };\n"},
        {"a comment inside a kept statement is kept",
         "zone \"c.example\" { // primary\n type master; };\n",
         {"a.example."},
         "zone \"c.example\" { // primary\n type master; };\n"},
        {"a word at the end of the input without a newline",
         "zone \"c.example\" { };\ntrailing",
         {},
         "zone \"c.example\" { };\ntrailing"},
        {"the root zone is written back as \".\"",
         "zone \".\" { type hint; file \"root.hint\"; };\n",
         {},
         "zone \".\" { type hint; file \"root.hint\"; };\n"},
        {"a comment right after a word keeps the text in order",
         "options {# note\n};\n",
         {},
         "options {# note\n};\n"},
        {"a line comment right after a word keeps the text in order",
         "include\"x\";// note\n",
         {},
         "include\"x\";// note\n"},
        {"a quoted pid-file path with comment marks is copied whole",
         "options { pid-file \"/run//named/#x.pid\"; };\n",
         {},
         "options { pid-file \"/run//named/#x.pid\"; };\n"},
        {"a bare pid-file value is copied unchanged",
         "options { pid-file none; };\nzone \"a.example\" { };\n",
         {},
         "options { pid-file none; };\nzone \"a.example\" { };\n"},
        {"a slash that starts no comment is an ordinary character",
         "zone \"c.example\" { file \"c/c.example\"; };\nkey a/b;\n",
         {},
         "zone \"c.example\" { file \"c/c.example\"; };\nkey a/b;\n"},
        {"an empty input gives an empty output", "", {"a.example."}, ""},
    };
    for (const pass_case &c : cases) {
        scan_result r = scan(c.input, c.changed);
        EXPECT_EQ(0, r.rc) << c.what;
        EXPECT_EQ(c.expected, r.out) << c.what;
    }
}

TEST_F(IncludeScan, CountsLinesThroughThePass) {
    scan_result r = scan("a\r\nb\nzone \"x.example\" {\n};\n", {});
    EXPECT_EQ(0, r.rc);
    EXPECT_EQ(6, r.line); // a CR LF pair counts twice
}

struct refusal_case {
    const char *what;
    std::string input;
    int line; // line counter when the pass gave up; 0: not checked
};

TEST_F(IncludeScan, RefusesMalformedInput) {
    const refusal_case cases[] = {
        {"statement not closed", "options { };\n\nzone \"a.example\" {\n type master;\n", 5},
        {"zone as the last word", "options { };\nzone", 0},
        {"zone without a name", "zone { type master; };\n", 0},
        {"zone without a block", "zone \"a.example\";\n", 0},
        {"a word between block and semicolon", "zone \"a.example\" { } master;\n", 0},
        {"more closing than opening braces", "zone \"a.example\" };\n", 0},
        {"a closing brace outside any statement", "options { };\n};\n", 0},
        {"block not closed at the end", "options { directory \"/x\";\n", 0},
        {"block comment never closed", "/* zone \"a\" {\n", 0},
        {"input ends inside a zone name", "zone \"a.exam", 0},
        {"input ends inside a quoted path", "options { pid-file \"/run/na", 0},
    };
    for (const refusal_case &c : cases) {
        scan_result r = scan(c.input, {});
        EXPECT_EQ(-1, r.rc) << c.what;
        if (c.line) {
            EXPECT_EQ(c.line, r.line) << c.what;
        }
    }
}

// named-checkconf's answer for `text` (nullopt when the tool is not installed).
std::optional<bool> named_checkconf_accepts(const std::string &text) {
    const std::string tool = "/usr/bin/named-checkconf";
    if (access(tool.c_str(), X_OK) != 0)
        return std::nullopt;
    temp_dir dir{"zonaris-scan-oracle"};
    const std::string path = dir.file("named.conf");
    write_text_file(path, text);
    const int status = std::system((tool + " " + path + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Files named reads, written as a hand or a template may write them: each is read, the
// changed zone's statement left out and the other one kept as it stood.
TEST_F(IncludeScan, ReadsEveryFileNamedReads) {
    const std::string other = "zone \"c.example\" { type master; file \"c/c.example\"; };\n";
    const std::string long_text(5000, 'c');
    const struct {
        const char *what;
        std::string changed; // the statement of a.example, left out
        std::string kept;    // a statement of b.example, kept
        std::string kept_as; // how the kept statement is written back
    } cases[] = {
        {"blank between brace and semicolon",
         "zone \"a.example\" { type master; file \"a/a.example\"; } ;\n",
         "zone \"b.example\" { type master; file \"b/b.example\"; } ;\n",
         "zone \"b.example\" { type master; file \"b/b.example\"; } ;\n"},
        {"semicolon on the next line, comment between",
         "zone \"a.example\" {\n\ttype master;\n\tfile \"a/a.example\";\n}\n;\n",
         "zone \"b.example\" { type master; file \"b/b.example\"; } /* end */ ;\n",
         "zone \"b.example\" { type master; file \"b/b.example\"; } /* end */ ;\n"},
        {"long comments of every kind",
         "# " + long_text + "\nzone \"a.example\" { type master; // " + long_text +
             "\nfile \"a/a.example\"; };\n",
         "/* " + long_text + " */\nzone \"b.example\" { type master; # " + long_text +
             "\n file \"b/b.example\"; };\n",
         "# " + long_text + "\n/* " + long_text + " */\nzone \"b.example\" { type master; # " +
             long_text + "\n file \"b/b.example\"; };\n"},
        {"no blanks at all, keyword in capitals, unquoted name, class",
         "ZONE\"a.example\"{type master;file\"a/a.example\";};\n",
         "zone b.example IN { type master; file \"b/b.example\"; };\n",
         "zone \"b.example\" IN { type master; file \"b/b.example\"; };\n"},
        {"braces, comment marks and escaped quotes inside quoted strings",
         "zone \"a.example\" { type master; file \"a/{a}//#.example\"; };\n",
         "zone \"b.example\" { type master; file \"b/\\\"b};\\\".example\"; };\n",
         "zone \"b.example\" { type master; file \"b/\\\"b};\\\".example\"; };\n"},
        {"long words",
         "zone \"a.example\" { type master; file \"" + std::string(600, 'f') + "\"; };\n",
         "zone \"b.example\" { type master; file \"" + std::string(600, 'g') + "\"; };\n",
         "zone \"b.example\" { type master; file \"" + std::string(600, 'g') + "\"; };\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string input = "# zones\n" + c.changed + c.kept + other;
        if (const auto oracle = named_checkconf_accepts(input)) {
            EXPECT_TRUE(*oracle) << "named-checkconf refuses the input";
        }
        scan_result r = scan(input, {"a.example."});
        EXPECT_EQ(0, r.rc);
        EXPECT_EQ("# zones\n" + c.kept_as + other, r.out);
    }
}

TEST_F(IncludeScan, FailedWriteFailsThePass) {
    FILE *full = fopen("/dev/full", "w");
    ASSERT_NE(nullptr, full);
    setvbuf(full, nullptr, _IONBF, 0);
    const std::string input = "zone \"b.example\" { };\n";
    FILE *in = fmemopen(const_cast<char *>(input.data()), input.size(), "r");
    include_scan s{in, full, 1};
    EXPECT_EQ(-1, manage_namedconf(
                      s, [](const std::string &) { return false; }, test_ctx()));
    fclose(in);
    fclose(full);
}

// Picking statements of single zones out of the live file.
class CopyEntries : public IncludeScan {
  protected:
    temp_dir dir{"zonaris-copy"};
    std::string live = dir.file("zonaris.include");

    std::pair<int, std::string> copy(const std::set<std::string> &wanted) {
        char *buf = nullptr;
        size_t len = 0;
        FILE *out = open_memstream(&buf, &len);
        int n = copy_zone_entries(
            live, [&](const std::string &name) { return wanted.count(name) > 0; }, out, test_ctx());
        fclose(out);
        std::pair<int, std::string> r{n, std::string(buf, len)};
        free(buf);
        return r;
    }
};

TEST_F(CopyEntries, CopiesOnlyTheWantedStatements) {
    write_text_file(live, "// kept zones\n"
                          "zone \"a.example\" { type master; file \"a/a.example\"; };\n"
                          "zone \"b.example\" {\n\ttype slave;\n\tmasters { 10.0.0.1; };\n};"
                          "zone \"c.example\" { type master; };\n");
    auto r = copy({"b.example."});
    EXPECT_EQ(1, r.first);
    EXPECT_EQ("zone \"b.example\" {\n\ttype slave;\n\tmasters { 10.0.0.1; };\n};\n", r.second);

    r = copy({"a.example.", "c.example."});
    EXPECT_EQ(2, r.first);
    EXPECT_EQ("zone \"a.example\" { type master; file \"a/a.example\"; };\n"
              "zone \"c.example\" { type master; };\n",
              r.second);

    r = copy({"d.example."});
    EXPECT_EQ(0, r.first);
    EXPECT_EQ("", r.second);
}

TEST_F(CopyEntries, SingleZoneByNameWithOrWithoutDot) {
    write_text_file(live, "zone \"a.example\" { type master; };\n");
    for (const char *name : {"a.example", "a.example."}) {
        char *buf = nullptr;
        size_t len = 0;
        FILE *out = open_memstream(&buf, &len);
        EXPECT_EQ(1, copy_zone_entry(live, name, out, test_ctx())) << name;
        fclose(out);
        EXPECT_EQ("zone \"a.example\" { type master; };\n", std::string(buf, len)) << name;
        free(buf);
    }
    FILE *out = fopen("/dev/null", "w");
    EXPECT_EQ(0, copy_zone_entry(live, "b.example", out, test_ctx()));
    fclose(out);
}

TEST_F(CopyEntries, UnreadableOrMalformedLiveFileIsAFailure) {
    FILE *out = fopen("/dev/null", "w");
    EXPECT_EQ(-1, copy_zone_entry(dir.file("missing"), "a.example", out, test_ctx()));
    write_text_file(live, "zone \"a.example\" { type master;\n");
    EXPECT_EQ(-1, copy_zone_entry(live, "a.example", out, test_ctx()));
    fclose(out);
}

// The statements a pass leaves out are handed back as the scanner writes statements, so that
// a job can tell which of them changed.
TEST_F(IncludeScan, StatementsLeftOutAreHandedBack) {
    const std::string input = "options { };\n"
                              "zone a.example { type master; /* } */ file \"a/a.example\"; } ;\n"
                              "zone \"b.example\" { type master; };\n";
    FILE *in = fmemopen(const_cast<char *>(input.data()), input.size(), "r");
    FILE *out = fopen("/dev/null", "w");
    zone_statements left_out;
    include_scan s{in, out, 1};
    s.left_out = &left_out;
    EXPECT_EQ(0, manage_namedconf(
                     s, [](const std::string &name) { return name == "a.example."; }, test_ctx()));
    fclose(in);
    fclose(out);
    EXPECT_EQ((zone_statements{{"a.example.", "zone \"a.example\" { type master; /* } */ file "
                                              "\"a/a.example\"; } ;"}}),
              left_out);
}

TEST_F(CopyEntries, ReadsTheStatementsFromAnOffset) {
    const std::string head = "zone \"a.example\" { type master; };\n";
    write_text_file(live, head + "zone \"b.example\" {\n\ttype master;\n};\n# end\n");
    zone_statements read;
    EXPECT_EQ(1, read_zone_entries(live, static_cast<long>(head.size()), read, test_ctx()));
    EXPECT_EQ((zone_statements{{"b.example.", "zone \"b.example\" {\n\ttype master;\n};"}}), read);
    read.clear();
    EXPECT_EQ(2, read_zone_entries(live, 0, read, test_ctx()));
    write_text_file(live, head + "zone \"b.example\" { type master;\n");
    EXPECT_EQ(-1, read_zone_entries(live, static_cast<long>(head.size()), read, test_ctx()));
    EXPECT_EQ(-1, read_zone_entries(dir.file("missing"), 0, read, test_ctx()));
}

} // namespace
