#include "etc_fixture.h"
#include "logging.h"
#include "poolwatch_config.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

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
    EXPECT_EQ(poolwatch_read_config(path, cfg), 0);
    const std::string log = testing::internal::GetCapturedStdout();

    EXPECT_EQ(cfg.base.db.port, 3307u);
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
    EXPECT_TRUE(cfg.base.db.name.empty());
}

TEST(poolwatchdConfig, ScriptUserAndDampingKeys) {
    test_etc_dir etc;
    poolwatch_config cfg;
    ASSERT_EQ(poolwatch_read_config(etc.write_conf({}), cfg), 0);
    EXPECT_EQ(cfg.script_user, "nobody") << "never root unless the key says so";
    EXPECT_EQ(cfg.rise, 1);
    EXPECT_EQ(cfg.fall, 1);
    EXPECT_FALSE(cfg.keep_one_up);

    ASSERT_EQ(poolwatch_read_config(etc.write_conf({{"POOLWATCH_SCRIPT_USER", "daemon"},
                                                    {"POOLWATCH_RISE", "2"},
                                                    {"POOLWATCH_FALL", "3"},
                                                    {"POOLWATCH_KEEP_ONE_UP", "yes"}}),
                                    cfg),
              0);
    EXPECT_EQ(cfg.script_user, "daemon");
    EXPECT_EQ(cfg.rise, 2);
    EXPECT_EQ(cfg.fall, 3);
    EXPECT_TRUE(cfg.keep_one_up);

    ASSERT_EQ(poolwatch_read_config(etc.write_conf({{"POOLWATCH_RISE", "0"},
                                                    {"POOLWATCH_FALL", "-2"},
                                                    {"POOLWATCH_KEEP_ONE_UP", "maybe"}}),
                                    cfg),
              0);
    EXPECT_EQ(cfg.rise, 1);
    EXPECT_EQ(cfg.fall, 1);
    EXPECT_FALSE(cfg.keep_one_up);
}

TEST(poolwatchdConfig, TheScriptAccountIsLookedUp) {
    script_account a;
    ASSERT_EQ(poolwatch_script_account("nobody", a), 0);
    EXPECT_EQ(a.name, "nobody");
    EXPECT_NE(a.uid, 0u);
    EXPECT_EQ(a.switch_user, geteuid() == 0);
    EXPECT_EQ(poolwatch_script_account("no-such-user-here", a), -1);
    EXPECT_EQ(a.name, "nobody") << "a failed look-up changes nothing";
}
