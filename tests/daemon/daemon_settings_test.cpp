// The shared settings: keys, defaults, refusals, and a failed load that changes nothing.
#include "daemon_settings.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

namespace {

const program_identity feed = {"zonefeedd", "ZONEFEED", "/var/run/zonaris/zonefeedd.pid"};

} // namespace

TEST(DaemonSettings, ReadsTheSharedKeysAndTheCallersOwn) {
    temp_dir dir;
    const std::string conf = dir.file("zonaris.conf");
    write_text_file(conf, "DB_HOST 127.0.0.1\nDB_PORT = 3307\nDB_NAME zonaris\nDB_USER u\n"
                          "DB_PASSWD \"p w\"\nDB_TIMEOUT 5\nZONEFEED_PID_FILE /run//z/./f.pid\n"
                          "ZONEFEED_LOG_ENGINE_TYPE zlog\nZONEFEED_LOG_LEVEL DEBUG\n"
                          "ZONEBUILD_PID_FILE /other.pid\nZONEFEED_RUN_INTERVAL 60\n");
    std::optional<long long> interval;
    base_settings s;
    std::string error;
    ASSERT_EQ(0, read_base_settings(feed, conf, s, error,
                                    {{"ZONEFEED_RUN_INTERVAL", CONFIG_INT, &interval, nullptr}}))
        << error;
    EXPECT_EQ(s.db.host, "127.0.0.1");
    EXPECT_EQ(s.db.port, 3307u);
    EXPECT_EQ(s.db.password, "p w");
    EXPECT_EQ(s.db.timeout, 5u);
    EXPECT_EQ(s.pid_file, "/run/z/f.pid");
    EXPECT_FALSE(s.pid_file_default);
    EXPECT_EQ(s.log_engine_type, "zlog");
    EXPECT_EQ(s.log_engine_data, std::nullopt);
    EXPECT_EQ(s.log_level, "DEBUG");
    EXPECT_EQ(interval, 60);
    EXPECT_EQ(missing_db_setting(s.db), std::nullopt);
}

TEST(DaemonSettings, DefaultsForAbsentKeys) {
    temp_dir dir;
    write_text_file(dir.file("c"), "DB_HOST h\n");
    base_settings s;
    std::string error;
    ASSERT_EQ(0, read_base_settings(feed, dir.file("c"), s, error)) << error;
    EXPECT_EQ(s.pid_file, "/var/run/zonaris/zonefeedd.pid");
    EXPECT_TRUE(s.pid_file_default);
    EXPECT_EQ(s.db.port, 3306u);
    EXPECT_EQ(s.db.timeout, 60u);
    EXPECT_FALSE(s.db.port_given || s.db.timeout_given);
    EXPECT_EQ(missing_db_setting(s.db), "Database user was not specified.");
}

TEST(DaemonSettings, AFailedLoadLeavesTheRecordAlone) {
    temp_dir dir;
    const std::string conf = dir.file("c");
    base_settings s;
    std::string error;
    write_text_file(conf, "DB_HOST first\n");
    ASSERT_EQ(0, read_base_settings(feed, conf, s, error));
    struct {
        const char *text, *message;
    } cases[] = {
        {"DB_HOST second\nDB_PORT 70000\n", "Invalid database port: 70000."},
        {"DB_HOST second\nDB_PORT 33o6\n", "Invalid database port: 33o6."},
        {"DB_HOST second\nDB_TIMEOUT 0\n", "Invalid database timeout: 0."},
        {"DB_HOST second\nZONEFEED_PID_FILE run/f.pid\n", "An absolute pid file path is required."},
        {"DB_HOST second\nDB_NAME \"open\n", nullptr},
    };
    for (const auto &c : cases) {
        write_text_file(conf, c.text);
        EXPECT_EQ(-1, read_base_settings(feed, conf, s, error)) << c.text;
        EXPECT_EQ(error,
                  c.message ? c.message : "Failed to parse configuration file '" + conf + "'.");
        EXPECT_EQ(s.db.host, "first");
    }
    EXPECT_EQ(-1, read_base_settings(feed, dir.file("none"), s, error));
    EXPECT_EQ(s.db.host, "first");
}
