// Configuration files: the accepted line forms, what counts as malformed, and that a
// failed parse changes nothing.
#include "config.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

struct parsed {
    int rc;
    std::optional<std::string> text;
    std::optional<long long> number;
};

// Parses `file_text` for the string key "KEY" and the integer key "PORT".
parsed parse(const std::string &file_text) {
    temp_dir dir;
    write_text_file(dir.file("zonaris.conf"), file_text);
    parsed p;
    p.rc = parseconfig(dir.file("zonaris.conf"), {{"KEY", CONFIG_STR, nullptr, &p.text},
                                                  {"PORT", CONFIG_INT, &p.number, nullptr}});
    return p;
}

} // namespace

TEST(ParseConfig, AcceptsEveryDocumentedLineForm) {
    struct {
        const char *file;
        const char *value;
    } cases[] = {
        {"KEY value\n", "value"},
        {"KEY = value\n", "value"},
        {"KEY=value\n", "value"},
        {"  KEY\tvalue  \n", "value"},
        {"KEY \"two words # not a comment\"\n", "two words # not a comment"},
        {"KEY \"\"\n", ""},
        {"KEY value # trailing comment\n", "value"},
        {"KEY \"quoted\" # comment\n", "quoted"},
        {"# KEY commented\nKEY real\n", "real"},
        {"\n\n   \nKEY value", "value"},       // blank lines, no final newline
        {"KEY value\r\n", "value"},            // CRLF
        {"KEY first\nKEY second\n", "second"}, // the last setting wins
        {"KEY /a/b=c\n", "/a/b=c"},            // "=" inside a value stays
        {"KEY caf\xc3\xa9\n", "caf\xc3\xa9"},  // UTF-8 passes unchanged
    };
    for (const auto &c : cases) {
        parsed p = parse(c.file);
        EXPECT_EQ(p.rc, 0) << c.file;
        EXPECT_EQ(p.text, std::optional<std::string>(c.value)) << c.file;
    }
}

TEST(ParseConfig, ReadsIntegersAndLeavesAbsentKeysUnset) {
    parsed p = parse("PORT 3307\nOTHER 1\n");
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.number, 3307);
    EXPECT_FALSE(p.text.has_value());
    EXPECT_EQ(parse("PORT = -1\n").number, -1);
}

TEST(ParseConfig, RefusesMalformedFilesWithoutChangingAnything) {
    const char *cases[] = {
        "KEY\n",                                 // key without value
        "KEY =\n",                               // same, with "="
        "KEY \"unterminated\n",                  // open quote
        "KEY \"x\" trailing\n",                  // text after the closing quote
        "KEY fine\nPORT 33o6\n",                 // integer key with text
        "KEY fine\nPORT 99999999999999999999\n", // integer out of range
        "KEY fine\nPORT\n",
    };
    for (const char *c : cases) {
        temp_dir dir;
        write_text_file(dir.file("c"), c);
        std::optional<std::string> text = "before";
        std::optional<long long> number = 7;
        EXPECT_EQ(parseconfig(dir.file("c"), {{"KEY", CONFIG_STR, nullptr, &text},
                                              {"PORT", CONFIG_INT, &number, nullptr}}),
                  -2)
            << c;
        EXPECT_EQ(text, "before") << c;
        EXPECT_EQ(number, 7) << c;
    }
}

TEST(ParseConfig, UnreadableFilesFail) {
    temp_dir dir;
    std::optional<std::string> text;
    EXPECT_EQ(parseconfig(dir.file("missing"), {{"KEY", CONFIG_STR, nullptr, &text}}), -1);
    EXPECT_EQ(parseconfig(dir.path(), {{"KEY", CONFIG_STR, nullptr, &text}}), -1); // a directory
    EXPECT_FALSE(text.has_value());
}

TEST(EtcFile, FollowsZonarisEtcD) {
    const char *old = getenv("ZONARIS_ETC_D");
    const std::string saved = old ? old : "";
    setenv("ZONARIS_ETC_D", "/tmp/private-etc", 1);
    EXPECT_EQ(etc_file("zonaris.conf"), "/tmp/private-etc/zonaris.conf");
    unsetenv("ZONARIS_ETC_D");
    EXPECT_EQ(etc_file("zlog.conf"), "/etc/zonaris/zlog.conf");
    setenv("ZONARIS_ETC_D", "", 1); // empty counts as unset
    EXPECT_EQ(etc_dir(), "/etc/zonaris");
    if (old)
        setenv("ZONARIS_ETC_D", saved.c_str(), 1);
    else
        unsetenv("ZONARIS_ETC_D");
}

TEST(ParseConfig, TheSampleFileParsesAndSetsTheDatabaseKeys) {
    const std::string sample = std::string(ZONARIS_SOURCE_DIR) + "/packaging/zonaris.conf";
    std::optional<std::string> host, passwd, temp_d;
    std::optional<long long> port;
    ASSERT_EQ(0, parseconfig(sample, {{"DB_HOST", CONFIG_STR, nullptr, &host},
                                      {"DB_PASSWD", CONFIG_STR, nullptr, &passwd},
                                      {"DB_PORT", CONFIG_INT, &port, nullptr},
                                      {"TEMP_D", CONFIG_STR, nullptr, &temp_d}}));
    EXPECT_EQ(host, "localhost");
    EXPECT_EQ(passwd, "change me");
    EXPECT_FALSE(port.has_value());            // documented, commented out
    EXPECT_EQ(temp_d, "/var/lib/zonaris/tmp"); // the directory the package creates
}
