#include "poolwatch_testrun.h"

#include <gtest/gtest.h>

TEST(poolwatchdScriptPath, IsAPlainNameInsideTheDirectory) {
    std::string path;
    ASSERT_EQ(poolwatch_script_path("/opt/pw/", "check_http", "HTTP", path), 0);
    EXPECT_EQ(path, "/opt/pw/check_http");
    const std::vector<std::string> names = {
        "", ".", "..", "../bin/sh", "/bin/sh", "sub/check", "check/", std::string("a\0b", 3)};
    for (const std::string &name : names) {
        std::string out = "untouched";
        EXPECT_EQ(poolwatch_script_path("/opt/pw", name, "HTTP", out), -1) << name;
        EXPECT_EQ(out, "untouched") << name;
    }
}

TEST(poolwatchdCommandArgs, ReplacesOnlyTheFirstPlaceholder) {
    struct {
        const char *url, *want;
    } cases[] = {
        {"http://$RR/health", "http://192.0.2.7/health"},
        {"http://$RR/$RR", "http://192.0.2.7/$RR"},
        {"http://$rr:80/", "http://192.0.2.7:80/"},
        {"$rr then $RR", "$rr then 192.0.2.7"}, // "$RR" wins over an earlier "$rr"
        {"http://example.net/", "http://example.net/"},
        {"$R", "$R"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(poolwatch_build_cmd_args(c.url, "192.0.2.7"), c.want) << c.url;
}

TEST(poolwatchdEnvironment, IsTheTimeoutThenTheUsableRowsInOrder) {
    EXPECT_EQ(poolwatch_build_environment({{"PORT", "1"}, {"HOST_HEADER", "www"}}, "p"),
              (std::vector<std::string>{"TIMEOUT=20", "PORT=1", "HOST_HEADER=www"}));
    EXPECT_EQ(poolwatch_build_environment({{"PORT", "1"}, {"TIMEOUT", "5"}}, "p"),
              (std::vector<std::string>{"TIMEOUT=5", "PORT=1"}));
    const std::string long_value(511, 'x'); // "A=" and this is 513 characters, one too many
    auto env = poolwatch_build_environment({{std::nullopt, "v"},
                                            {"", "v"},
                                            {"EMPTY", ""},
                                            {"NULLV", std::nullopt},
                                            {"A", long_value},
                                            {"B", long_value.substr(1)}},
                                           "p");
    EXPECT_EQ(env, (std::vector<std::string>{"TIMEOUT=20", "B=" + long_value.substr(1)}));
}

TEST(poolwatchdEnvironment, RefusesNamesThatAnythingReadsAtStartUp) {
    // Each of these ran code as root in an audit, or loads code, libraries or configuration
    // the same way; a name differing only in case is refused too.
    const struct {
        const char *family;
        std::vector<const char *> names;
    } families[] = {
        {"loader", {"LD_PRELOAD", "LD_LIBRARY_PATH", "LD_AUDIT", "ld_preload"}},
        {"C library",
         {"MALLOC_CHECK_", "MALLOC_ARENA_MAX", "GLIBC_TUNABLES", "GCONV_PATH", "LOCPATH", "NLSPATH",
          "HOSTALIASES", "RES_OPTIONS", "LOCALDOMAIN", "TZDIR"}},
        {"shell",
         {"BASH_ENV", "ENV", "IFS", "PATH", "SHELLOPTS", "BASHOPTS", "PS4", "CDPATH",
          "PROMPT_COMMAND", "BASH_XTRACEFD", "HOME", "BASH_FUNC_f%%"}},
        {"Perl", {"PERL5OPT", "PERL5DB", "PERL5LIB", "PERLLIB", "PERLIO"}},
        {"Python", {"PYTHONPATH", "PYTHONSTARTUP", "PYTHONWARNINGS", "PYTHONHOME", "BROWSER"}},
        {"Node.js", {"NODE_OPTIONS", "NODE_PATH", "NPM_CONFIG_PREFIX"}},
        {"Ruby", {"RUBYOPT", "RUBYLIB", "GEM_PATH", "BUNDLE_GEMFILE"}},
        {"PHP, Java, Tcl, Lua",
         {"PHPRC", "PHP_INI_SCAN_DIR", "JAVA_TOOL_OPTIONS", "_JAVA_OPTIONS", "CLASSPATH",
          "TCLLIBPATH", "LUA_INIT"}},
        {"tools", {"OPENSSL_CONF", "CURL_HOME", "WGETRC", "GIT_SSH_COMMAND", "XDG_CONFIG_HOME"}},
        {"not a name", {"1ABC", "A-B", "A B", "A=B", "é", ""}},
    };
    for (const auto &f : families) {
        for (const char *name : f.names) {
            EXPECT_FALSE(poolwatch_valid_env_name(name)) << f.family << ": " << name;
            EXPECT_EQ(poolwatch_build_environment({{name, "x"}}, "p"),
                      std::vector<std::string>{"TIMEOUT=20"})
                << f.family << ": " << name;
        }
    }
    for (const char *name : {"TIMEOUT", "_X", "port", "Host2", "PATHS", "MY_LD_DIR", "EXPECT"})
        EXPECT_TRUE(poolwatch_valid_env_name(name)) << name;
}
