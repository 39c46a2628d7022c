// The configuration check of the include file, the ACL file and the entry template: what
// named would refuse is never installed, and the check gives named-checkconf's answer.
#include "named_conf_check.h"

#include "check_tool.h"
#include "dns_common.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string good_template = "zone \"[zone_name]\" {\n\ttype [zone_type];\n"
                                  "\tfile \"[zone_file_name]\";\n\t[zone_options];\n};";

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

class NamedConfCheck : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { _init_global_str(); }

    temp_dir dir{"zonaris-conf-check"};
    named_ctx ctx;

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

    // named-checkconf's answer for a file that includes the ACL file and then `include`;
    // nullopt when the tool is not installed.
    std::optional<bool> named_checkconf_accepts(const std::string &include) {
        const std::string tool = "/usr/bin/named-checkconf";
        if (access(tool.c_str(), X_OK) != 0)
            return std::nullopt;
        const std::string wrapper = dir.file("wrapper.conf");
        write_text_file(wrapper, "include \"" + live_acl_path(ctx.paths) + "\";\ninclude \"" +
                                     include + "\";\n");
        const int status = std::system((tool + " " + wrapper + " >/dev/null 2>&1").c_str());
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
};

// Include files as a job may build them: the check and named-checkconf agree on each, and
// only an accepted one replaces the live file.
TEST_F(NamedConfCheck, OnlyAnIncludeFileNamedAcceptsIsInstalled) {
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
        if (const auto oracle = named_checkconf_accepts(c.accepted ? live : work)) {
            EXPECT_EQ(c.accepted, *oracle) << "named-checkconf disagrees";
        }
    }
}

// Without the ACL file the global list the entries name is unknown, as it would be to named.
TEST_F(NamedConfCheck, EntriesNeedTheAclFileBeforeThem) {
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

TEST_F(NamedConfCheck, TemplateIsCheckedByRenderingEntries) {
    const struct {
        const char *what;
        std::string text;
        bool accepted;
        const char *said;
    } cases[] = {
        {"the usual template", good_template, true, ""},
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

TEST_F(NamedConfCheck, TextGivenWholeIsCheckedToo) {
    std::string problem;
    EXPECT_EQ(0, check_named_text("acl common-allow-transfer { 10.0.0.1; };\n", problem));
    EXPECT_EQ(-1, check_named_text("acl common-allow-transfer {\n\t10.0.0.1\n};\n", problem));
    EXPECT_TRUE(contains(problem, "missing ';' before '}'")) << problem;
}

} // namespace
