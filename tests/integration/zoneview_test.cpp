// zoneview: which file a zone name leads to, what is refused, and that every failure
// gives its message and status 1 instead of a crash.
#include "etc_fixture.h"
#include "run_program.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

struct zoneview_case : ::testing::Test {
    test_etc_dir etc;
    temp_dir named{"zonaris-named"};
    std::string secondary = "/sec";

    zoneview_case() { etc.write_conf({{"NAMED_D", named.path()}, {"SECONDARY_D", secondary}}); }
    // A secondary zone file `name` below letter directory `letter`.
    void zone_file(char letter, const std::string &name, const std::string &content) {
        const std::string dir = named.make_subdir("sec/" + std::string(1, letter));
        write_text_file(dir + "/" + name, content);
    }
    program_result view(const std::vector<std::string> &args) {
        run_options o;
        o.env = {etc.env()};
        o.timeout_s = 30;
        return run_program("zoneview", args, o);
    }
};

} // namespace

TEST_F(zoneview_case, PrintsTheFileFollowedByOneNewline) {
    zone_file('e', "example.com", "$ORIGIN example.com.\n@ IN SOA ns1 host 1 2 3 4 5\n");
    program_result r = view({"--file", "example.com"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "$ORIGIN example.com.\n@ IN SOA ns1 host 1 2 3 4 5\n\n");
    EXPECT_EQ(r.err, "");

    zone_file('b', "big.example", std::string(5000, 'x'));
    r = view({"-f", "big.example"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, std::string(5000, 'x') + "\n");

    zone_file('e', "empty.example", "");
    r = view({"-f", "empty.example"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "\n");
}

TEST_F(zoneview_case, FindsTheFileByNameAsTheZoneBuilderNamesIt) {
    struct {
        const char *zone;
        char letter;
        const char *file;
    } cases[] = {
        {"Example.ORG", 'e', "Example.ORG"}, // letter lower-cased, file name kept
        {"0/26.2.0.192.in-addr.arpa", '0', "0_26.2.0.192.in-addr.arpa"},
        {"64/27.100.51.198.IN-ADDR.ARPA", '6', "64_27.100.51.198.IN-ADDR.ARPA"},
        {"1.e164.Arpa", '1', "1.e164.Arpa"},
        {"\xc3\xa9t\xc3\xa9.example", '\xc3', "\xc3\xa9t\xc3\xa9.example"}, // binary bytes
    };
    for (const auto &c : cases) {
        zone_file(c.letter, c.file, std::string("zone ") + c.zone);
        program_result r = view({"-f", c.zone});
        EXPECT_EQ(r.exit_code, 0) << c.zone << ": " << r.err;
        EXPECT_EQ(r.out, std::string("zone ") + c.zone + "\n") << c.zone;
    }
}

TEST_F(zoneview_case, OnlyNamesEndingInArpaAreMangled) {
    // With a final dot ".ARPA" is not at the end: the "/" stays and makes a subdirectory.
    const std::string zone = "0/26.2.0.192.in-addr.arpa.";
    zone_file('0', "0_26.2.0.192.in-addr.arpa.", "mangled");
    program_result r = view({"-f", zone});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("Cannot open \"" + named.path() + "/sec/0/" + zone + "\" file!"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.out, "");
}

TEST_F(zoneview_case, RefusesPathsThatClimbUpwards) {
    write_text_file(named.file("secret"), "do not show");
    const char *names[] = {"../secret", "x/../../secret", "a../", "..", "e/.."};
    for (const char *name : names) {
        program_result r = view({"-f", name});
        EXPECT_EQ(r.exit_code, 1) << name;
        EXPECT_EQ(r.err, "Path cannot contain one or more \"../\" swquences!\n") << name;
        EXPECT_EQ(r.out, "") << name;
    }
    // The configured directories are checked too.
    etc.write_conf({{"NAMED_D", named.path()}, {"SECONDARY_D", "/sec/../sec"}});
    zone_file('e', "example.com", "x");
    program_result r = view({"-f", "example.com"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("swquences"), std::string::npos);
}

TEST_F(zoneview_case, FailuresGiveTheirMessageAndStatusOne) {
    named.make_subdir("sec/d/dir.example");
    const std::string long_name(5000, 'l');
    struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"-f", "missing.example"},
         "Cannot open \"" + named.path() + "/sec/m/missing.example\" file!\n"},
        {{"-f", "dir.example"}, "Cannot open \"" + named.path() + "/sec/d/dir.example\" file!\n"},
        {{"-f", long_name}, "Cannot open \"" + named.path() + "/sec/l/" + long_name + "\" file!\n"},
        {{"-f", "\x01\x02\x7f\xff"},
         "Cannot open \"" + named.path() + "/sec/\x01/\x01\x02\x7f\xff\" file!\n"},
        {{"-f", ""}, "Zone name cannot be empty!\n"},
        {{"--version", "--file", "x"}, "Cannot specify --version and --file at the same time!\n"},
        {{"--bogus"}, "--bogus: unknown option\n"},
        {{"-f"}, "-f: missing argument\n"},
        {{"-f", "a", "stray"}, "Unexpected argument: stray\n"},
    };
    for (const auto &c : cases) {
        program_result r = view(c.args);
        EXPECT_EQ(r.exit_code, 1) << c.args[0];
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(zoneview_case, OnlyRegularFilesInsideTheSecondaryDirectory) {
    write_text_file(named.file("secret"), "do not show");
    named.make_subdir("sec/e");
    named.make_subdir("sec/m");
    zone_file('b', "b.example", "inside");
    named.make_subdir("sec/a");
    struct {
        const char *link, *target, *name;
    } refused[] = {
        {"sec/e/escape", "/", "escape/etc/hostname"},           // a link to "/"
        {"sec/e/etc.example", "/etc/hostname", "etc.example"},  // a file outside
        {"sec/e/up.example", "../../secret", "up.example"},     // relative, climbing out
        {"sec/m/mem.example", "/proc/self/mem", "mem.example"}, // a special file outside
    };
    for (const auto &c : refused) {
        ASSERT_EQ(0, symlink(c.target, named.file(c.link).c_str()));
        program_result r = view({"-f", c.name});
        EXPECT_EQ(r.exit_code, 1) << c.name;
        EXPECT_EQ(r.out, "") << c.name;
        EXPECT_NE(r.err.find("Cannot open \""), std::string::npos) << c.name << ": " << r.err;
    }
    // A link that stays inside the directory is followed.
    ASSERT_EQ(0, symlink("../b/b.example", named.file("sec/a/alias.example").c_str()));
    program_result r = view({"-f", "alias.example"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "inside\n");
}

TEST_F(zoneview_case, ConfigurationProblems) {
    struct {
        std::string text, err;
    } cases[] = {
        {"SECONDARY_D /sec\n", "NAMED_D file isn't configured!\n"},
        {"NAMED_D /var/named\n", "SECONDARY_D file isn't configured!\n"},
        {"NAMED_D \"unterminated\n",
         "Failed to parse configuration file " + etc.file("zonaris.conf") + "\n"},
    };
    for (const auto &c : cases) {
        etc.write_conf_text(c.text);
        program_result r = view({"-f", "example.com"});
        EXPECT_EQ(r.exit_code, 1) << c.text;
        EXPECT_EQ(r.err, c.err);
    }
}

TEST(Zoneview, VersionAndUsage) {
    program_result v = run_program("zoneview", {"--version"});
    EXPECT_EQ(v.exit_code, 0);
    EXPECT_EQ(v.out, "Zonaris: zoneview: version: 5.2.6\n");
    program_result none = run_program("zoneview", {});
    EXPECT_EQ(none.exit_code, 1);
    EXPECT_NE(none.err.find("Usage: zoneview"), std::string::npos) << none.err;
    EXPECT_EQ(none.out, "");
    program_result h = run_program("zoneview", {"--help"});
    EXPECT_EQ(h.exit_code, 0);
    for (const char *text : {"--file=string", "File to be displayed",
                             "Display version number and exit", "Help options:"})
        EXPECT_NE(h.out.find(text), std::string::npos) << text;
}
