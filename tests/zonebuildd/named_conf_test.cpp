// Zone entries, chunk files, installing the include file, the ACL file and the rndc child.
#include "named_conf.h"

#include "named_conf_check.h"

#include "dns_common.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// A statement named accepts: the installation checks the file with BIND's parser.
const std::string valid_statement = "zone \"a.example\" { type master; file \"a/a.example\"; };\n";

const std::string entry_template = "zone \"[zone_name]\" {\n\ttype [zone_type];\n"
                                   "\tfile \"[zone_file_name]\";\n\t[zone_options];\n};";

std::string memstream_text(const std::function<void(FILE *)> &fill) {
    char *buf = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&buf, &len);
    fill(out);
    fclose(out);
    std::string text(buf, len);
    free(buf);
    return text;
}

class NamedFiles : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { _init_global_str(); }

    temp_dir dir{"zonaris-named-files"};
    named_ctx ctx;
    std::vector<std::pair<std::string, int>> letters_asked;

    void SetUp() override {
        ctx.paths.named_root = dir.make_subdir("root");
        dir.make_subdir("root/etc");
        ctx.paths.include_file = "etc/zonaris.include";
        ctx.paths.include_base = "zonaris.include";
        ctx.paths.acl_file = "etc/zonaris.acl";
        ctx.paths.acl_base = "zonaris.acl";
        ctx.paths.master_dir = "/var/named";
        ctx.paths.secondary_dir = "/var/named/slaves";
        ctx.paths.temp_dir = dir.make_subdir("tmp");
        ctx.paths.work_name = "tmp_42";
        dir.make_subdir("tmp/tmp_42");
    }

    letter_dir_fn letters() {
        return [this](const std::string &file, int type) -> std::optional<std::string> {
            letters_asked.emplace_back(file, type);
            return std::string(1, file[0]);
        };
    }

    // The entry written for `zone`, and the result.
    std::pair<int, std::string> entry(const std::string &name, const std::string &file,
                                      const zone_entry &zone,
                                      const std::string &tmpl = entry_template) {
        int rc = 0;
        std::string text = memstream_text([&](FILE *out) {
            rc = generate_zone_entry(out, name, file, zone, tmpl, letters(), ctx);
        });
        return {rc, text};
    }
};

TEST_F(NamedFiles, PrimaryEntryFromTheTemplate) {
    auto r = entry("a.example", "a.example", make_zone_entry(1, {"A192.0.2.1"}));
    EXPECT_EQ(0, r.first);
    EXPECT_EQ("zone \"a.example\" {\n\ttype master;\n\tfile \"a/a.example\";\n"
              "\tallow-transfer {\n\t\t192.0.2.1;\n\t\tcommon-allow-transfer;\n\t};\n};\n",
              r.second);
    ASSERT_EQ(1u, letters_asked.size());
    EXPECT_EQ(std::make_pair(std::string("a.example"), 1), letters_asked[0]);
}

TEST_F(NamedFiles, PrimaryWithoutAddressesStillGetsTheCommonList) {
    auto r = entry("b.example", "b.example", make_zone_entry(1, {}));
    EXPECT_EQ(0, r.first);
    EXPECT_EQ("zone \"b.example\" {\n\ttype master;\n\tfile \"b/b.example\";\n"
              "\tallow-transfer {\n\t\tcommon-allow-transfer;\n\t};\n};\n",
              r.second);
}

TEST_F(NamedFiles, SecondaryEntryNamesItsPrimaries) {
    auto r = entry("s.example", "s.example",
                   make_zone_entry(2, {"M198.51.100.7", "A10.1.0.0/16", "M2001:db8::53"}));
    EXPECT_EQ(0, r.first);
    EXPECT_EQ("zone \"s.example\" {\n\ttype slave;\n\tfile \"slaves/s/s.example\";\n"
              "\tallow-transfer {\n\t\t10.1.0.0/16;\n\t\tcommon-allow-transfer;\n\t};\n"
              "\tmasters {\n\t\t198.51.100.7;\n\t\t2001:db8::53;\n\t};\n};\n",
              r.second);
    EXPECT_EQ(2, letters_asked.at(0).second);
}

TEST_F(NamedFiles, SecondaryDirectoryOutsideThePrimaryOneIsWrittenWhole) {
    for (const char *secondary : {"/srv/dns/slaves", "/var/named2/slaves"}) {
        ctx.paths.secondary_dir = secondary;
        auto r = entry("s.example", "s.example", make_zone_entry(2, {"M198.51.100.7"}),
                       "[zone_file_name]");
        EXPECT_EQ(0, r.first);
        EXPECT_EQ(std::string(secondary) + "/s/s.example\n", r.second);
    }
}

TEST_F(NamedFiles, TemplateTextAroundThePlaceholders) {
    // every occurrence is replaced; a template ending in a newline gets no second one
    auto r = entry("a.example", "a.example", make_zone_entry(1, {}),
                   "# [zone_name] ([zone_type])\nzone \"[zone_name]\" { };\n");
    EXPECT_EQ(0, r.first);
    EXPECT_EQ("# a.example (master)\nzone \"a.example\" { };\n", r.second);
    // an empty template writes nothing and is no failure here
    r = entry("a.example", "a.example", make_zone_entry(1, {}), "");
    EXPECT_EQ(0, r.first);
    EXPECT_EQ("", r.second);
}

struct address_case {
    const char *key;
    const char *written; // nullptr: left out
};

TEST_F(NamedFiles, OnlyValidAddressesReachTheEntry) {
    const address_case cases[] = {
        {"A192.0.2.1", "192.0.2.1"},
        {"A10.0.0.0/8", "10.0.0.0/8"},
        {"A10.0.0.0-8", "10.0.0.0/8"},
        {"A2001:db8::/32", "2001:db8::/32"},
        {"A1.2.3.4; }; allow-update { any", nullptr},
        {"A10.0.0.1/8", nullptr}, // host bits
        {"A10.0.0.0/8x", nullptr},
        {"A192.0.2.01", nullptr},
        {"Aany", nullptr},
        {"A", nullptr},
        {"A192.0.2.1\n", nullptr},
    };
    for (const address_case &c : cases) {
        auto r = entry("a.example", "a.example", make_zone_entry(1, {c.key}), "[zone_options]");
        EXPECT_EQ(0, r.first) << c.key;
        const std::string expected = std::string("allow-transfer {\n") +
                                     (c.written ? std::string("\t\t") + c.written + ";\n" : "") +
                                     "\t\tcommon-allow-transfer;\n\t}\n";
        EXPECT_EQ(expected, r.second) << c.key;
    }
}

TEST_F(NamedFiles, SecondaryWithoutAValidPrimaryWritesNothing) {
    for (const std::vector<std::string> &keys : std::vector<std::vector<std::string>>{
             {}, {"A192.0.2.1"}, {"M192.0.2.1; }; also-notify { 10.0.0.1"}, {"M10.0.0.0/8"}}) {
        auto r = entry("s.example", "s.example", make_zone_entry(2, keys));
        EXPECT_EQ(-1, r.first);
        EXPECT_EQ("", r.second);
    }
}

TEST_F(NamedFiles, RefusedZonesWriteNothing) {
    struct {
        const char *what, *name, *file;
        int type;
    } cases[] = {
        {"quote in the name", "x\" { type master; }; zone \"y.example", "x.example", 1},
        {"blank in the name", "a example.com", "a.example.com", 1},
        {"newline in the name", "a.example\n", "a.example", 1},
        {"quote in the file name", "a.example", "a\".example", 1},
        {"unknown type", "a.example", "a.example", 3},
    };
    for (const auto &c : cases) {
        zone_entry z = make_zone_entry(c.type, {"M192.0.2.1"});
        auto r = entry(c.name, c.file, z);
        EXPECT_EQ(-1, r.first) << c.what;
        EXPECT_EQ("", r.second) << c.what;
    }
    // reverse zones, classless ones included, are zone names
    auto r = entry("0/25.2.0.192.in-addr.arpa", "0_25.2.0.192.in-addr.arpa", make_zone_entry(1, {}),
                   "[zone_name] [zone_file_name]");
    EXPECT_EQ(0, r.first);
    EXPECT_EQ("0/25.2.0.192.in-addr.arpa 0/0_25.2.0.192.in-addr.arpa\n", r.second);
}

TEST_F(NamedFiles, NoLetterDirectoryNoEntry) {
    int rc = 0;
    std::string text = memstream_text([&](FILE *out) {
        rc = generate_zone_entry(
            out, "a.example", "a.example", make_zone_entry(1, {}), entry_template,
            [](const std::string &, int) { return std::optional<std::string>(); }, ctx);
    });
    EXPECT_EQ(-1, rc);
    EXPECT_EQ("", text);
}

TEST_F(NamedFiles, OptionKeysAreFiledByPrefix) {
    zone_entry z;
    EXPECT_EQ(0, add_zone_entry_option(z, "A10.0.0.1"));
    EXPECT_EQ(0, add_zone_entry_option(z, "A10.0.0.1"));
    EXPECT_EQ(0, add_zone_entry_option(z, "M10.0.0.2"));
    EXPECT_EQ(-1, add_zone_entry_option(z, "X10.0.0.3"));
    EXPECT_EQ(-1, add_zone_entry_option(z, "A"));
    EXPECT_EQ(std::vector<std::string>{"10.0.0.1"}, z.allow_transfer);
    EXPECT_EQ(std::vector<std::string>{"10.0.0.2"}, z.masters);
}

// ---------------------------------------------------------------------------------------
// Chunks and the include file

FILE *chunk_with(const std::string &path, int count, const std::string &text) {
    FILE *f = fopen(path.c_str(), "w+");
    EXPECT_EQ(0, chunk_begin(f));
    fputs(text.c_str(), f);
    EXPECT_EQ(0, chunk_finish(f, count));
    rewind(f);
    return f;
}

TEST_F(NamedFiles, MergeAppendsEveryChunkAndSumsTheCounts) {
    std::vector<FILE *> chunks = {
        chunk_with(dir.file("c0"), 2, "zone \"a\" { };\nzone \"b\" { };\n"),
        chunk_with(dir.file("c1"), 0, ""),
        chunk_with(dir.file("c2"), 3, "zone \"c\" { };"), // removals count without a line
    };
    int total = 0;
    std::string text = memstream_text([&](FILE *out) {
        fputs("// kept\n", out);
        total = merge_namedconf(chunks, out, ctx);
    });
    for (FILE *f : chunks)
        fclose(f);
    EXPECT_EQ(5, total);
    EXPECT_EQ("// kept\nzone \"a\" { };\nzone \"b\" { };\nzone \"c\" { };\n", text);
}

TEST_F(NamedFiles, MergeRefusesAChunkWithoutItsCount) {
    write_text_file(dir.file("short"), "ab");
    FILE *good = chunk_with(dir.file("c0"), 1, "zone \"a\" { };\n");
    FILE *bad = fopen(dir.file("short").c_str(), "r");
    FILE *negative = chunk_with(dir.file("c2"), -3, "");
    FILE *out = fopen("/dev/null", "w");
    EXPECT_EQ(-1, merge_namedconf({good, bad}, out, ctx));
    EXPECT_EQ(-1, merge_namedconf({negative}, out, ctx));
    EXPECT_EQ(-1, merge_namedconf({nullptr}, out, ctx));
    fclose(out);
    fclose(good);
    fclose(bad);
    fclose(negative);
}

TEST_F(NamedFiles, InstallReplacesTheLiveIncludeFileWhole) {
    const std::string live = live_include_path(ctx.paths);
    const std::string work = work_include_path(ctx.paths);
    write_text_file(live, "old\n");
    write_text_file(work, valid_statement);
    ASSERT_EQ(0, install_namedconf(ctx));
    EXPECT_EQ(valid_statement, read_text_file(live));
    EXPECT_FALSE(path_exists(work));

    // nothing built: the live file stays as it is and no temporary file is left beside it
    EXPECT_EQ(-1, install_namedconf(ctx));
    EXPECT_EQ(valid_statement, read_text_file(live));
    EXPECT_EQ(std::vector<std::string>{"zonaris.include"}, [&] {
        std::vector<std::string> names;
        for (const auto &e : std::filesystem::directory_iterator(ctx.paths.named_root + "/etc"))
            names.push_back(e.path().filename().string());
        return names;
    }());
}

// A reader that opened the live file before the installation still reads the old text
// whole: the new file was renamed into place, the old one was never rewritten.
TEST_F(NamedFiles, LiveFilesAreReplacedNotRewritten) {
    const std::string include = live_include_path(ctx.paths);
    const std::string acl = live_acl_path(ctx.paths);
    const std::string old_text(200000, '#');
    write_text_file(include, old_text);
    write_text_file(acl, old_text);
    FILE *include_reader = fopen(include.c_str(), "r");
    FILE *acl_reader = fopen(acl.c_str(), "r");
    ASSERT_NE(nullptr, include_reader);
    ASSERT_NE(nullptr, acl_reader);

    write_text_file(work_include_path(ctx.paths), valid_statement);
    ASSERT_EQ(0, install_namedconf(ctx));
    ASSERT_EQ(0, restore_acl({"10.0.0.1"}, ctx));

    for (FILE *reader : {include_reader, acl_reader}) {
        std::string seen(old_text.size() + 1, '\0');
        seen.resize(fread(seen.data(), 1, seen.size(), reader));
        EXPECT_EQ(old_text, seen);
        fclose(reader);
    }
    EXPECT_EQ(valid_statement, read_text_file(include));
    EXPECT_EQ("acl common-allow-transfer {\n\t10.0.0.1;\n};\n", read_text_file(acl));
}

// ---------------------------------------------------------------------------------------
// ACL file

TEST_F(NamedFiles, AclFileFromTheSet) {
    const std::string live = live_acl_path(ctx.paths);
    write_text_file(live, "old\n");
    ASSERT_EQ(0, restore_acl({"10.0.0.2", "10.0.0.1", "10.0.0.1", "2001:db8::/32"}, ctx));
    EXPECT_EQ("acl common-allow-transfer {\n\t10.0.0.1;\n\t10.0.0.2;\n\t2001:db8::/32;\n};\n",
              read_text_file(live));
    ASSERT_EQ(0, restore_acl({}, ctx));
    EXPECT_EQ("acl common-allow-transfer {\n};\n", read_text_file(live));
}

TEST_F(NamedFiles, AclFileLeavesOutInvalidEntries) {
    ASSERT_EQ(0, restore_acl({"10.0.0.1", "1.2.3.4; }; acl evil { any", "10.0.0.0-8", "any",
                              "192.168.1.1/24"},
                             ctx));
    EXPECT_EQ("acl common-allow-transfer {\n\t10.0.0.0/8;\n\t10.0.0.1;\n};\n",
              read_text_file(live_acl_path(ctx.paths)));
}

TEST_F(NamedFiles, FailedAclWriteKeepsThePreviousFile) {
    ctx.paths.acl_file = "missing-dir/zonaris.acl";
    EXPECT_EQ(-1, restore_acl({"10.0.0.1"}, ctx));
    EXPECT_FALSE(path_exists(ctx.paths.named_root + "/missing-dir"));

    // the destination cannot be replaced (a non-empty directory stands there)
    ctx.paths.acl_file = "etc/blocked";
    dir.make_subdir("root/etc/blocked/inside");
    EXPECT_EQ(-1, restore_acl({"10.0.0.1"}, ctx));
    EXPECT_TRUE(path_exists(ctx.paths.named_root + "/etc/blocked/inside"));
    for (const auto &e : std::filesystem::directory_iterator(ctx.paths.named_root + "/etc"))
        EXPECT_EQ(std::string::npos, e.path().filename().string().find(".tmp."))
            << e.path().string();
}

// ---------------------------------------------------------------------------------------
// rndc

bool has_children() {
    errno = 0;
    return !(waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD);
}

TEST_F(NamedFiles, RndcRunsWithoutAShellAndIsReaped) {
    // a directory name a shell would take apart
    const std::string bin = dir.make_subdir("bin; touch injected");
    const std::string args = dir.file("args");
    write_text_file(bin + "/rndc",
                    "#!/bin/sh\nprintf '%s|' \"$0\" \"$@\" > '" + args + "'\nexit ${RC:-0}\n",
                    0755);
    EXPECT_EQ(0, notify_named(bin));
    EXPECT_EQ(bin + "/rndc|reload|", read_text_file(args));
    EXPECT_FALSE(path_exists(dir.file("injected")));
    EXPECT_FALSE(path_exists("injected"));
    EXPECT_FALSE(has_children());

    setenv("RC", "7", 1);
    EXPECT_EQ(7, notify_named(bin));
    unsetenv("RC");
    EXPECT_FALSE(has_children());
}

TEST_F(NamedFiles, RndcFailuresAreReported) {
    // no rndc in the directory: the child cannot execute it
    EXPECT_EQ(255, notify_named(dir.make_subdir("empty")));
    // killed by a signal
    const std::string bin = dir.make_subdir("sig");
    write_text_file(bin + "/rndc", "#!/bin/sh\nkill -9 $$\n", 0755);
    EXPECT_EQ(-1, notify_named(bin));
    EXPECT_EQ(-1, notify_named(""));
    EXPECT_FALSE(has_children());
}

// ---------------------------------------------------------------------------------------
// The configuration check: what named would refuse is never installed, and the check gives
// named-checkconf's answer.

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// named-checkconf's answer for a file at `wrapper` that includes the ACL file at `acl` and
// then `include`; nullopt when the tool is not installed.
std::optional<bool> named_checkconf_accepts(const std::string &wrapper, const std::string &acl,
                                            const std::string &include) {
    const std::string tool = "/usr/bin/named-checkconf";
    if (access(tool.c_str(), X_OK) != 0)
        return std::nullopt;
    write_text_file(wrapper, "include \"" + acl + "\";\ninclude \"" + include + "\";\n");
    const int status = std::system((tool + " " + wrapper + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Include files as a job may build them: the check and named-checkconf agree on each, and
// only an accepted one replaces the live file.
TEST_F(NamedFiles, OnlyAnIncludeFileNamedAcceptsIsInstalled) {
    const std::string entry = "zone \"a.example\" {\n\ttype master;\n\tfile \"a/a.example\";\n"
                              "\tallow-transfer {\n\t\tcommon-allow-transfer;\n\t};\n};\n";
    const struct {
        const char *what;
        std::string text;
        bool accepted;
        const char *said; // part of what the parser said
    } cases[] = {
        {"entries naming the global list", entry, true, ""},
        {"entry closed with a blank before the semicolon",
         "zone \"a.example\" { type master; file \"a/a.example\"; } ;\n", true, ""},
        {"missing semicolon", "zone \"a.example\" { type master; file \"a/a.example\" };\n", false,
         "missing ';' before '}'"},
        {"the same zone twice", entry + entry, false, "zone 'a.example': already exists"},
        {"primary zone without a file",
         "zone \"a.example\" { type master; allow-transfer { common-allow-transfer; }; };\n", false,
         "missing 'file' entry"},
        {"an unknown list",
         "zone \"a.example\" { type master; file \"a/a.example\"; "
         "allow-transfer { other-list; }; };\n",
         false, "undefined ACL 'other-list'"},
    };
    write_text_file(live_acl_path(ctx.paths), "acl common-allow-transfer {\n\t10.0.0.1;\n};\n");
    const std::string live = live_include_path(ctx.paths);
    const std::string work = work_include_path(ctx.paths);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        write_text_file(live, "// live\n");
        write_text_file(work, c.text);
        EXPECT_EQ(c.accepted ? 0 : -1, install_namedconf(ctx));
        EXPECT_EQ(c.accepted ? c.text : "// live\n", read_text_file(live));
        if (!c.accepted) {
            std::string problem;
            EXPECT_EQ(-1, check_named_files(live_acl_path(ctx.paths), work, problem));
            EXPECT_TRUE(contains(problem, c.said)) << problem;
            EXPECT_TRUE(contains(problem, work)) << problem; // the file and line are named
        }
        if (const auto oracle = named_checkconf_accepts(
                dir.file("wrapper.conf"), live_acl_path(ctx.paths), c.accepted ? live : work)) {
            EXPECT_EQ(c.accepted, *oracle) << "named-checkconf disagrees";
        }
    }
}

// Without the ACL file the global list the entries name is unknown, as it would be to named.
TEST_F(NamedFiles, EntriesNeedTheAclFileBeforeThem) {
    const std::string work = work_include_path(ctx.paths);
    write_text_file(work, "zone \"a.example\" { type master; file \"a/a.example\"; "
                          "allow-transfer { common-allow-transfer; }; };\n");
    std::string problem;
    EXPECT_EQ(-1, check_named_files("", work, problem));
    EXPECT_TRUE(contains(problem, "undefined ACL 'common-allow-transfer'")) << problem;
    write_text_file(dir.file("acl"), "acl common-allow-transfer { none; };\n");
    EXPECT_EQ(0, check_named_files(dir.file("acl"), work, problem)) << problem;
    EXPECT_EQ(-1, check_named_files(dir.file("missing"), work, problem));
    EXPECT_EQ(-1, check_named_files(dir.file("quo\"te"), work, problem));
}

TEST_F(NamedFiles, TemplateIsCheckedByRenderingEntries) {
    const struct {
        const char *what;
        std::string text;
        bool accepted;
        const char *said;
    } cases[] = {
        {"the usual template", entry_template, true, ""},
        {"one line, blank before the final semicolon",
         "zone \"[zone_name]\" { type [zone_type]; file \"[zone_file_name]\"; [zone_options]; } ;",
         true, ""},
        {"missing semicolon",
         "zone \"[zone_name]\" { type [zone_type]; file \"[zone_file_name]\" [zone_options]; };",
         false, "missing ';'"},
        {"misspelt option",
         "zone \"[zone_name]\" { typ [zone_type]; file \"[zone_file_name]\"; [zone_options]; };",
         false, "unknown option 'typ'"},
        {"no options placeholder (secondary without primaries)",
         "zone \"[zone_name]\" { type [zone_type]; file \"[zone_file_name]\"; };", false,
         "missing 'primaries' entry"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::string problem;
        EXPECT_EQ(c.accepted ? 0 : -1, check_entry_template(c.text, ctx, &problem));
        EXPECT_TRUE(contains(problem, c.said)) << problem;
    }
}

TEST_F(NamedFiles, TextGivenWholeIsCheckedToo) {
    std::string problem;
    EXPECT_EQ(0, check_named_text("acl common-allow-transfer { 10.0.0.1; };\n", problem));
    EXPECT_EQ(-1, check_named_text("acl common-allow-transfer {\n\t10.0.0.1\n};\n", problem));
    EXPECT_TRUE(contains(problem, "missing ';' before '}'")) << problem;
}

} // namespace
