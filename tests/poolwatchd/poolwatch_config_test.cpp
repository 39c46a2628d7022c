#include "etc_fixture.h"
#include "logging.h"
#include "poolwatch_config.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using testing::HasSubstr;
using testing::Not;

namespace {

// Reads a configuration made of `keys` and gives what was logged meanwhile.
std::string read_config(const config_pairs &keys, poolwatch_config &cfg) {
    test_etc_dir etc;
    const std::string path = etc.write_conf(keys);
    logging_init("poolwatchd", "stdlog", nullptr);
    set_log_level(LOG_DEBUG);
    testing::internal::CaptureStdout();
    poolwatch_read_config(path, cfg);
    return testing::internal::GetCapturedStdout();
}

const config_pairs db_keys = {
    {"DB_NAME", "zonaris"}, {"DB_HOST", "127.0.0.1"}, {"DB_USER", "u"}, {"DB_PASSWD", "p"}};

} // namespace

TEST(poolwatchdConfig, TakesEveryKeyThatIsSet) {
    config_pairs keys = db_keys;
    keys.insert(keys.end(), {{"DB_PORT", "3307"},
                             {"POOLWATCH_CONCURRENCY", "9"},
                             {"POOLWATCH_DRIFT", "2"},
                             {"POOLWATCH_TIMEOUT", "30"},
                             {"POOLWATCH_POOLING_INTERVAL", "5"},
                             {"POOLWATCH_PID_FILE", "/run/pw.pid"},
                             {"POOLWATCH_D", "/opt/scripts/"},
                             {"POOLWATCH_LOG_LEVEL", "NOTICE"}});
    poolwatch_config cfg;
    const std::string log = read_config(keys, cfg);
    EXPECT_EQ(cfg.db_name, "zonaris");
    EXPECT_EQ(cfg.db_passwd, "p");
    EXPECT_EQ(cfg.db_port, 3307u);
    EXPECT_EQ(cfg.concurrency, 9);
    EXPECT_EQ(cfg.drift, 2);
    EXPECT_EQ(cfg.timeout, 30);
    EXPECT_EQ(cfg.pooling_interval, 5);
    EXPECT_EQ(cfg.pid_file, "/run/pw.pid");
    EXPECT_EQ(cfg.script_dir, "/opt/scripts/");
    EXPECT_EQ(cfg.log_level, "NOTICE");
    EXPECT_FALSE(cfg.log_engine_type.has_value());
    EXPECT_THAT(log, Not(HasSubstr("WARNING")));
}

TEST(poolwatchdConfig, MissingNegativeAndZeroNumbersTakeTheirDefaultsWithTheirWarnings) {
    config_pairs keys = db_keys;
    keys.insert(keys.end(), {{"POOLWATCH_CONCURRENCY", "0"},
                             {"POOLWATCH_TIMEOUT", "-4"},
                             {"POOLWATCH_POOLING_INTERVAL", "0"}});
    poolwatch_config cfg;
    const std::string log = read_config(keys, cfg);
    EXPECT_EQ(cfg.concurrency, 4);
    EXPECT_EQ(cfg.drift, 7);
    EXPECT_EQ(cfg.timeout, 60);
    EXPECT_EQ(cfg.pooling_interval, 25);
    EXPECT_THAT(log, HasSubstr("Configuration directive POOLWATCH_CONCURRENCY must be a positive "
                               "number, default: POOLWATCH_CONCURRENCY = 4\n"));
    EXPECT_THAT(log, HasSubstr("Configuration directive POOLWATCH_DRIFT not found or a negative "
                               "number found, default: POOLWATCH_DRIFT = 7\n"));
    EXPECT_THAT(log, HasSubstr("Configuration directive POOLWATCH_TIMEOUT not found or a negative "
                               "number had been set, default: POOLWATCH_TIMEOUT = 60\n"));
    EXPECT_THAT(log, HasSubstr("Configuration directive POOLWATCH_POOLING_INTERVAL must be a "
                               "positive number, default: POOLWATCH_POOLING_INTERVAL = 25\n"));
    EXPECT_THAT(log, HasSubstr("Configuration directive POOLWATCH_PID_FILE not found, default: "
                               "POOLWATCH_PID_FILE = /var/run/zonaris/poolwatch.pid\n"));
    EXPECT_THAT(log, HasSubstr("Configuration directive POOLWATCH_D not found, default: "
                               "POOLWATCH_D = /usr/local/zonaris/poolwatch/bin\n"));
    EXPECT_EQ(cfg.db_port, 0u) << "no DB_PORT: the client's default port";
}

TEST(poolwatchdConfig, AMalformedFileGivesNoDatabaseKeysSoStartUpRefuses) {
    test_etc_dir etc;
    const std::string path = etc.write_conf_text("DB_NAME zonaris\nPOOLWATCH_DRIFT soon\n");
    poolwatch_config cfg;
    EXPECT_EQ(poolwatch_read_config(path, cfg), -1);
    EXPECT_FALSE(cfg.db_name.has_value());
    EXPECT_EQ(cfg.drift, 7);
}

TEST(poolwatchdConfig, ReadconfigFindsThePidFileOrFallsBackToTheDefault) {
    test_etc_dir etc;
    poolwatch_config cfg;
    poolwatch_read_pid_config(etc.write_conf({{"POOLWATCH_PID_FILE", "/tmp/x.pid"}}), cfg);
    EXPECT_EQ(cfg.pid_file, "/tmp/x.pid");
    poolwatch_read_pid_config(etc.write_conf({{"DB_NAME", "z"}}), cfg);
    EXPECT_EQ(cfg.pid_file, "/var/run/zonaris/poolwatch.pid");
}
