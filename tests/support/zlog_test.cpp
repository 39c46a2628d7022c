// The zlog-compatible engine: which configurations it accepts, which rules select which
// lines, and how formats render them.
#include "temp_dir.h"
#include "zlog.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

// Writes a configuration whose rules send to files of `dir` ("OUT" in the text is replaced
// by the directory), initialises the engine with it, and stops the engine at the end.
struct engine_fixture {
    temp_dir dir;
    int rc = -1;

    explicit engine_fixture(std::string text) {
        for (size_t p; (p = text.find("OUT")) != std::string::npos;)
            text.replace(p, 3, dir.path());
        write_text_file(dir.file("zlog.conf"), text);
        rc = zlog_init(dir.file("zlog.conf").c_str());
    }
    ~engine_fixture() { zlog_fini(); }
    std::string out(const std::string &name) const { return read_text_file(dir.file(name)); }
};

void emit(const char *category, int level, const char *message) {
    zlog_category_t *c = zlog_get_category(category);
    ASSERT_NE(c, nullptr) << category;
    zlog(c, "", 0, "", 0, 0, level, "%s", message);
}

} // namespace

TEST(Zlog, RefusesUnusableConfigurations) {
    const char *cases[] = {
        "",                                            // no section at all
        "rule.DEBUG >stdout\n",                        // a rule outside any section
        "[rules]\nzonebuildd.LOUD >stdout\n",          // unknown level
        "[rules]\nzonebuildd >stdout\n",               // no level
        "[rules]\nzonebuildd.DEBUG >stdout; nosuch\n", // unknown format name
        "[formats]\nsimple\n[rules]\n*.* >stdout\n",   // format without "="
        "[unknown]\n",                                 // unknown section
        "[rules\n",                                    // unclosed section
        "[global]\nfile perms = 999\n[rules]\n*.* >stdout\n",
        "[rules]\n*.* >syslog, LOG_NOWHERE\n",
    };
    for (const char *c : cases) {
        engine_fixture e(c);
        EXPECT_EQ(e.rc, -1) << c;
    }
    EXPECT_EQ(zlog_init("/nonexistent/zlog.conf"), -1);
    EXPECT_EQ(zlog_init(nullptr), -1);
}

TEST(Zlog, GivesOnlyCategoriesThatARuleNames) {
    engine_fixture e("[rules]\nzonebuildd.* \"OUT/a.log\"\nzonefeed_.* \"OUT/b.log\"\n");
    ASSERT_EQ(e.rc, 0);
    EXPECT_NE(zlog_get_category("zonebuildd"), nullptr);
    EXPECT_EQ(zlog_get_category("poolwatchd"), nullptr);
    EXPECT_NE(zlog_get_category("zonefeed"), nullptr);   // "zonefeed_" covers "zonefeed" ...
    EXPECT_NE(zlog_get_category("zonefeed_x"), nullptr); // ... and names beginning with it
    EXPECT_EQ(zlog_get_category("zonefeedd"), nullptr);
    EXPECT_EQ(zlog_get_category(nullptr), nullptr);
}

TEST(Zlog, RulesSelectLinesByLevelOperator) {
    engine_fixture e("[formats]\nlvl = \"%V \"\n[rules]\n"
                     "c.INFO \"OUT/at_least\"; lvl\n"
                     "c.=WARN \"OUT/exactly\"; lvl\n"
                     "c.!DEBUG \"OUT/not\"; lvl\n"
                     "c.* \"OUT/any\"; lvl\n"
                     "*.ERROR \"OUT/all_categories\"; lvl\n"
                     "!.* \"OUT/unclaimed\"; lvl\n");
    ASSERT_EQ(e.rc, 0);
    for (int level : {20, 40, 60, 80, 100, 120})
        emit("c", level, "");
    emit("other", 100, "");
    emit("other", 40, "");
    EXPECT_EQ(e.out("at_least"), "INFO NOTICE WARN ERROR FATAL ");
    EXPECT_EQ(e.out("exactly"), "WARN ");
    EXPECT_EQ(e.out("not"), "INFO NOTICE WARN ERROR FATAL ");
    EXPECT_EQ(e.out("any"), "DEBUG INFO NOTICE WARN ERROR FATAL ");
    EXPECT_EQ(e.out("all_categories"), "ERROR FATAL ERROR ");
    EXPECT_EQ(e.out("unclaimed"), "ERROR INFO "); // "other" has no rule of its own
}

TEST(Zlog, RendersFormatConversions) {
    struct {
        const char *format;
        const char *expected;
    } cases[] = {
        {"%m", "text"},
        {"%c|%V|%v|%%|%n", "zonebuildd|WARN|warn|%|\n"},
        {"[%-6V][%6V][%.3c]", "[WARN  ][  WARN][zon]"},
        {"%d(X%%Y)", "X%Y"},      // strftime pattern without time fields
        {"plain %q", "plain %q"}, // unknown conversions stay as written
    };
    for (const auto &c : cases) {
        engine_fixture e(std::string("[formats]\nf = \"") + c.format +
                         "\"\n[rules]\nzonebuildd.* \"OUT/log\"; f\n");
        ASSERT_EQ(e.rc, 0) << c.format;
        emit("zonebuildd", 80, "text");
        EXPECT_EQ(e.out("log"), c.expected) << c.format;
    }
}

TEST(Zlog, TimeAndProcessConversionsHaveTheirShape) {
    engine_fixture e("[formats]\nf = \"%d(%Y-%m-%d %H:%M:%S).%ms %p %m\"\n"
                     "[rules]\nzonebuildd.* \"OUT/log\"; f\n");
    ASSERT_EQ(e.rc, 0);
    emit("zonebuildd", 40, "hello");
    const std::string line = e.out("log");
    const std::string pid = std::to_string(getpid());
    ASSERT_EQ(line.size(), 23 + 1 + pid.size() + 1 + 5) << line;
    EXPECT_EQ(line.substr(4, 1), "-");
    EXPECT_EQ(line.substr(19, 1), ".");
    EXPECT_EQ(line.substr(24), pid + " hello");
}

TEST(Zlog, UsesTheDefaultFormatAndFilePermissions) {
    engine_fixture e("[global]\ndefault format = \"<%V> %m\"\nfile perms = 640\n"
                     "[rules]\nzonebuildd.* OUT/plain.log\n");
    ASSERT_EQ(e.rc, 0);
    emit("zonebuildd", 100, "one\n");
    emit("zonebuildd", 20, "two\n");
    EXPECT_EQ(e.out("plain.log"), "<ERROR> one\n<DEBUG> two\n");
    struct stat st {};
    ASSERT_EQ(0, stat(e.dir.file("plain.log").c_str(), &st));
    EXPECT_EQ(st.st_mode & 0777, 0640u & ~umask(umask(0)));
}

TEST(Zlog, AnUnwritableLogFileDoesNotStopOtherRules) {
    engine_fixture e("[formats]\nf = \"%m\"\n[rules]\n"
                     "zonebuildd.* \"OUT/missing-dir/log\"; f\n"
                     "zonebuildd.* \"OUT/good\"; f\n");
    ASSERT_EQ(e.rc, 0);
    emit("zonebuildd", 60, "a");
    emit("zonebuildd", 60, "b");
    EXPECT_EQ(e.out("good"), "ab");
    EXPECT_FALSE(path_exists(e.dir.file("missing-dir")));
}

TEST(Zlog, LongMessagesArriveWhole) {
    engine_fixture e("[formats]\nf = \"%m\"\n[rules]\nzonebuildd.* \"OUT/log\"; f\n");
    ASSERT_EQ(e.rc, 0);
    const std::string big(20000, 'q');
    emit("zonebuildd", 60, big.c_str());
    EXPECT_EQ(e.out("log"), big);
}

TEST(Zlog, TheSampleConfigurationDefinesEveryProgramsCategory) {
    const std::string sample = std::string(ZONARIS_SOURCE_DIR) + "/packaging/zlog.conf";
    ASSERT_EQ(0, zlog_init(sample.c_str()));
    for (const char *name : {"zonebuildd", "zonefeedd", "poolwatchd", "zonebuild", "zonefeed"})
        EXPECT_NE(zlog_get_category(name), nullptr) << name;
    EXPECT_EQ(zlog_get_category("cfgwriter"), nullptr);
    zlog_fini();
}

TEST(Zlog, ACategoryHandleSurvivesAReload) {
    temp_dir dir;
    write_text_file(dir.file("a.conf"), "[formats]\nf = \"a:%m \"\n[rules]\nzonefeedd.* \"" +
                                            dir.file("log") + "\"; f\n");
    write_text_file(dir.file("b.conf"), "[formats]\nf = \"b:%m \"\n[rules]\nzonefeedd.* \"" +
                                            dir.file("log") + "\"; f\n");
    ASSERT_EQ(0, zlog_init(dir.file("a.conf").c_str()));
    zlog_category_t *held = zlog_get_category("zonefeedd");
    ASSERT_NE(held, nullptr);
    zlog(held, "", 0, "", 0, 0, 40, "one");
    zlog_fini();
    zlog(held, "", 0, "", 0, 0, 40, "dropped"); // no engine: nothing, and no crash
    ASSERT_EQ(0, zlog_init(dir.file("b.conf").c_str()));
    zlog(held, "", 0, "", 0, 0, 40, "two");
    EXPECT_EQ(zlog_get_category("zonefeedd"), held);
    zlog_fini();
    EXPECT_EQ(read_text_file(dir.file("log")), "a:one b:two ");
}
