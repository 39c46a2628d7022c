#include "etc_fixture.h"
#include "logging.h"
#include "poolwatch_config.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using testing::HasSubstr;

TEST(poolwatchdConfig, UnusableNumbersAndMissingPathsTakeTheirDefaultsWithTheirWarnings) {
    test_etc_dir etc;
    const std::string path = etc.write_conf({{"DB_PORT", "3307"},
                                             {"POOLWATCH_CONCURRENCY", "0"},
                                             {"POOLWATCH_DRIFT", "3"},
                                             {"POOLWATCH_TIMEOUT", "-4"}});
    logging_init("poolwatchd", "stdlog", nullptr);
    set_log_level(LOG_DEBUG);
    testing::internal::CaptureStdout();
    poolwatch_config cfg;
    poolwatch_read_config(path, cfg);
    const std::string log = testing::internal::GetCapturedStdout();

    EXPECT_EQ(cfg.db_port, 3307u);
    EXPECT_EQ(cfg.drift, 3);
    EXPECT_EQ(cfg.concurrency, 4);
    EXPECT_EQ(cfg.timeout, 60);
    EXPECT_EQ(cfg.pooling_interval, 25);
    EXPECT_THAT(log, HasSubstr("Configuration directive POOLWATCH_CONCURRENCY must be a positive "
                               "number, default: POOLWATCH_CONCURRENCY = 4\n"));
    EXPECT_THAT(log, HasSubstr("Configuration directive POOLWATCH_TIMEOUT not found or a negative "
                               "number had been set, default: POOLWATCH_TIMEOUT = 60\n"));
    EXPECT_THAT(log, HasSubstr("Configuration directive POOLWATCH_POOLING_INTERVAL not found or a "
                               "negative number had been set, default: "
                               "POOLWATCH_POOLING_INTERVAL = 25\n"));
    EXPECT_THAT(log, HasSubstr("Configuration directive POOLWATCH_PID_FILE not found, default: "
                               "POOLWATCH_PID_FILE = /var/run/zonaris/poolwatch.pid\n"));
    EXPECT_THAT(log, HasSubstr("Configuration directive POOLWATCH_D not found, default: "
                               "POOLWATCH_D = /usr/local/zonaris/poolwatch/bin\n"));
    EXPECT_THAT(log, testing::Not(HasSubstr("POOLWATCH_DRIFT")));
}

TEST(poolwatchdConfig, AMalformedFileGivesNoDatabaseKeysSoStartUpRefuses) {
    test_etc_dir etc;
    poolwatch_config cfg;
    EXPECT_EQ(
        poolwatch_read_config(etc.write_conf_text("DB_NAME zonaris\nPOOLWATCH_DRIFT soon\n"), cfg),
        -1);
    EXPECT_FALSE(cfg.db_name.has_value());
}
