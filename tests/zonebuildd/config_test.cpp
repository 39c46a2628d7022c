// The zone builder's configuration load (defaults, checks and their messages) and its work
// directory (set-up, undo on failure, stale directories, the live include file).
#include "zb_config.h"

#include "dns_common.h"
#include "etc_fixture.h"
#include "logging.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <optional>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class ConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        logging_init("zonebuildd", "stdlog", nullptr);
        set_log_level(LOG_DEBUG);
        _init_global_str();
    }

    // Loads `extra` on top of a file holding the four database keys (a key given in
    // `extra` with an empty value is left out of the file). Captures the log lines.
    int load(const config_pairs &extra, zb_settings &out, bool first = true) {
        config_pairs keys = {{"DB_HOST", "127.0.0.1"},
                             {"DB_USER", "zonaris"},
                             {"DB_PASSWD", "secret"},
                             {"DB_NAME", "panel"}};
        for (const auto &[key, value] : extra) {
            std::erase_if(keys, [&](const auto &kv) { return kv.first == key; });
            if (!value.empty())
                keys.emplace_back(key, value);
        }
        const std::string path = etc.write_conf(keys);
        zb_load_options opt;
        opt.first = first;
        opt.current_pid_file = "/run/zonaris/running.pid";
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int rc = zb_load_settings(path, opt, out);
        info = testing::internal::GetCapturedStdout();
        errors = testing::internal::GetCapturedStderr();
        return rc;
    }

    test_etc_dir etc;
    std::string info, errors;
};

TEST_F(ConfigTest, AbsentKeysTakeTheirDefaults) {
    zb_settings s;
    ASSERT_EQ(0, load({}, s)) << errors;
    EXPECT_EQ("/usr/sbin", s.rndc_dir);
    EXPECT_EQ("/var/named/chroot", s.named_root);
    EXPECT_EQ("/etc/zonaris.include", s.named_file);
    EXPECT_EQ("zonaris.include", s.named_file_base);
    EXPECT_EQ("/etc/zonaris.acl", s.acl_file);
    EXPECT_EQ("zonaris.acl", s.acl_file_base);
    EXPECT_EQ("/var/named", s.master_d);
    EXPECT_EQ("/var/named/slaves", s.secondary_d);
    EXPECT_EQ("/usr/local/zonaris/tmp", s.temp_d);
    EXPECT_EQ("tmp_" + std::to_string(getpid()), s.work_name);
    EXPECT_EQ("/var/run/zonaris/zonebuildd.pid", s.base.pid_file);
    EXPECT_EQ(1800u, s.run_interval);
    EXPECT_EQ(2, s.concurrency_limit);
    EXPECT_EQ(static_cast<uid_t>(-1), s.named_uid);
    EXPECT_EQ(static_cast<gid_t>(-1), s.named_gid);
    EXPECT_EQ(3306u, s.base.db.port);
    EXPECT_EQ(60u, s.base.db.timeout);
    EXPECT_EQ("RFC", s.serial_format);
    EXPECT_NE(std::string::npos, info.find("Database port not specified. Using default: 3306."));
    EXPECT_NE(std::string::npos,
              info.find("rdnc directory was not specified. Using default: /usr/sbin."));
    EXPECT_NE(std::string::npos, info.find("Pid file path not set in '"));
}

TEST_F(ConfigTest, ConfiguredValuesAreNormalisedAndKept) {
    zb_settings s;
    ASSERT_EQ(0, load({{"NAMED_D", "/srv//named/./root/"},
                       {"NAMED_FILE", "etc/zonaris.include"},
                       {"TEMP_D", "/var/tmp/zb"},
                       {"DB_PORT", "3307"},
                       {"DB_TIMEOUT", "5"},
                       {"ZONEBUILD_RUN_INTERVAL", "60"},
                       {"ZONEBUILD_CONCURRENCY_LIMIT", "8"},
                       {"ZONEBUILD_WORKER_STALL_LIMIT", "900"},
                       {"ZONE_SERIAL", "timestamp"},
                       {"ZONEBUILD_PID_FILE", "/run/zb.pid"}},
                      s))
        << errors;
    EXPECT_EQ("/srv/named/root", s.named_root);
    EXPECT_EQ("etc/zonaris.include", s.named_file);
    EXPECT_EQ("zonaris.include", s.named_file_base);
    EXPECT_EQ("/var/tmp/zb", s.temp_d);
    EXPECT_EQ(3307u, s.base.db.port);
    EXPECT_EQ(5u, s.base.db.timeout);
    EXPECT_EQ(60u, s.run_interval);
    EXPECT_EQ(8, s.concurrency_limit);
    EXPECT_EQ(900, s.worker_stall_limit);
    EXPECT_EQ("timestamp", s.serial_format);
    EXPECT_EQ("/run/zb.pid", s.base.pid_file);
    EXPECT_NE(std::string::npos, info.find("Using configured database port: 3307."));
}

TEST_F(ConfigTest, NamedOwnerIsLookedUp) {
    const passwd *pw = getpwuid(0);
    const group *gr = getgrgid(0);
    ASSERT_TRUE(pw && gr);
    zb_settings s;
    ASSERT_EQ(0, load({{"NAMED_USERNAME", pw->pw_name}, {"NAMED_GROUP", gr->gr_name}}, s));
    EXPECT_EQ(0u, s.named_uid);
    EXPECT_EQ(0u, s.named_gid);
}

TEST_F(ConfigTest, UnknownSerialFormatIsTakenAsRfc) {
    zb_settings s;
    ASSERT_EQ(0, load({{"ZONE_SERIAL", "weekly"}}, s));
    EXPECT_EQ("RFC", s.serial_format);
}

TEST_F(ConfigTest, RereadKeepsTheRunningPidFile) {
    zb_settings s;
    ASSERT_EQ(0, load({{"ZONEBUILD_PID_FILE", "relative.pid"}}, s, false));
    EXPECT_EQ("/run/zonaris/running.pid", s.base.pid_file);
}

struct refusal {
    config_pairs keys;
    std::string message;
};

class ConfigRefusal : public ConfigTest, public ::testing::WithParamInterface<refusal> {};

TEST_P(ConfigRefusal, IsRefusedWithItsMessage) {
    zb_settings s;
    EXPECT_EQ(-1, load(GetParam().keys, s));
    EXPECT_NE(std::string::npos, errors.find(GetParam().message)) << errors;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigRefusal,
    ::testing::Values(
        refusal{{{"ZONEBUILD_RUN_INTERVAL", "0"}}, "Invalid run interval value: 0."},
        refusal{{{"ZONEBUILD_RUN_INTERVAL", "-5"}}, "Invalid run interval value: -5."},
        refusal{{{"ZONEBUILD_RUN_INTERVAL", "99999999999"}}, "Invalid run interval value"},
        refusal{{{"ZONEBUILD_CONCURRENCY_LIMIT", "0"}}, "Invalid concurrency limit value: 0."},
        refusal{{{"ZONEBUILD_CONCURRENCY_LIMIT", "-3"}}, "Invalid concurrency limit value: -3."},
        refusal{{{"ZONEBUILD_WORKER_STALL_LIMIT", "0"}}, "Invalid worker stall limit: 0."},
        refusal{{{"DB_PASSWD", ""}}, "Database password was not specified."},
        refusal{{{"DB_HOST", ""}}, "Database host url was not specified."},
        refusal{{{"DB_USER", ""}}, "Database user was not specified."},
        refusal{{{"DB_NAME", ""}}, "Database name was not specified."},
        refusal{{{"DB_PORT", "0"}}, "Invalid database port: 0."},
        refusal{{{"DB_PORT", "65536"}}, "Invalid database port: 65536."},
        refusal{{{"DB_TIMEOUT", "0"}}, "Invalid database timeout: 0."},
        refusal{{{"ZONEBUILD_PID_FILE", "run/zonebuildd.pid"}},
                "An absolute pid file path is required."},
        refusal{{{"NAMED_USERNAME", "no-such-user-zb"}}, "Unknown named user: no-such-user-zb."},
        refusal{{{"NAMED_GROUP", "no-such-group-zb"}}, "Unknown named group: no-such-group-zb."},
        refusal{{{"ZONEBUILD_RUN_INTERVAL", "often"}}, "Failed to parse configuration file"},
        refusal{{{"NAMED_D", "/./"}}, "Invalid named root directory specified: /./."}));

TEST_F(ConfigTest, MissingFileIsRefused) {
    zb_settings s;
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, zb_load_settings(etc.file("absent.conf"), zb_load_options{}, s));
    EXPECT_NE(std::string::npos,
              testing::internal::GetCapturedStderr().find("Failed to parse configuration file"));
}

// ---------------------------------------------------------------------------------------
// Work directory

class WorkArea : public ConfigTest {
  protected:
    void SetUp() override {
        ConfigTest::SetUp();
        root.make_subdir("named/etc");
        root.make_subdir("named/var/named");
        root.make_subdir("named/var/named/slaves");
        write_text_file(root.file("named/etc/zonaris.include"), "zone \"a.example\" { };\n");
        s.named_root = root.file("named");
        s.named_file = "/etc/zonaris.include";
        s.named_file_base = "zonaris.include";
        s.master_d = "/var/named";
        s.secondary_d = "/var/named/slaves";
        s.temp_d = root.file("tmp");
        s.work_name = "tmp_" + std::to_string(getpid());
    }

    int setup(int create, work_area &wa) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int rc = setup_fs(s, create, wa, nullptr, 3);
        info = testing::internal::GetCapturedStdout();
        errors = testing::internal::GetCapturedStderr();
        return rc;
    }

    std::string work() const { return s.temp_d + "/" + s.work_name; }

    temp_dir root{"zb-work"};
    zb_settings s;
};

TEST_F(WorkArea, SetUpMirrorsTheNameServerLayoutAndTearDownRemovesIt) {
    work_area wa;
    // A narrow umask neither narrows what the name server must read nor is changed.
    const mode_t saved = umask(077);
    const int rc = setup(0, wa);
    const mode_t after = umask(saved);
    ASSERT_EQ(0, rc) << errors;
    EXPECT_EQ(077u, after);
    EXPECT_TRUE(io_valid_dir((work() + "/var/named").c_str()));
    EXPECT_TRUE(io_valid_dir((work() + "/var/named/slaves").c_str()));
    ASSERT_NE(nullptr, wa.live_include);
    ASSERT_NE(nullptr, wa.tmp_include);
    EXPECT_TRUE(io_valid_file((work() + "/zonaris.include").c_str()));
    struct stat st {};
    ASSERT_EQ(0, stat((work() + "/zonaris.include").c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 07777);
    ASSERT_EQ(0, stat((work() + "/var/named").c_str(), &st));
    EXPECT_EQ(0750u, st.st_mode & 07777);
    clean_fs(wa);
    EXPECT_FALSE(path_exists(work()));
    EXPECT_EQ(nullptr, wa.live_include);
}

TEST_F(WorkArea, StaleWorkDirectoryOfOurNameIsReplaced) {
    root.make_subdir("tmp/" + s.work_name + "/var/named");
    write_text_file(work() + "/var/named/leftover", "old");
    work_area wa;
    ASSERT_EQ(0, setup(0, wa)) << errors;
    EXPECT_FALSE(path_exists(work() + "/var/named/leftover"));
    EXPECT_NE(std::string::npos, info.find("Removing stale work directory")) << info;
    clean_fs(wa);
}

struct broken_layout {
    std::string remove; // below the fixture root
    std::string message;
};

class WorkAreaFailure : public WorkArea, public ::testing::WithParamInterface<broken_layout> {};

TEST_P(WorkAreaFailure, UndoesWhatItMade) {
    ASSERT_EQ(0, remove_tree(root.file(GetParam().remove)));
    work_area wa;
    const mode_t before = umask(022);
    EXPECT_EQ(-1, setup(0, wa));
    EXPECT_NE(std::string::npos, errors.find(GetParam().message)) << errors;
    EXPECT_FALSE(path_exists(work()));
    EXPECT_EQ(nullptr, wa.live_include);
    EXPECT_EQ(nullptr, wa.tmp_include);
    EXPECT_FALSE(wa.made);
    EXPECT_EQ(022u, umask(before)); // left as it was
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WorkAreaFailure,
    ::testing::Values(broken_layout{"named/etc/zonaris.include", "The zonaris include file"},
                      broken_layout{"named/var/named/slaves", "The secondary DNS zones directory"},
                      broken_layout{"named", "named root directory check failed"}));

TEST_F(WorkArea, RestoreLeavesTheLiveIncludeFileAlone) {
    work_area wa;
    ASSERT_EQ(0, setup(1, wa)) << errors;
    EXPECT_EQ(nullptr, wa.live_include);
    ASSERT_NE(nullptr, wa.tmp_include);
    clean_fs(wa);
    EXPECT_EQ("zone \"a.example\" { };\n", read_text_file(root.file("named/etc/zonaris.include")));

    // Even without a live include file a restore can start: it builds one from nothing.
    ASSERT_EQ(0, remove_tree(root.file("named/etc/zonaris.include")));
    ASSERT_EQ(0, setup(1, wa)) << errors;
    EXPECT_FALSE(path_exists(root.file("named/etc/zonaris.include")));
    clean_fs(wa);
}

TEST_F(WorkArea, MissingTempDirectoryIsCreated) {
    s.temp_d = root.file("deep/er/tmp");
    work_area wa;
    ASSERT_EQ(0, setup(0, wa)) << errors;
    EXPECT_TRUE(io_valid_dir(s.temp_d.c_str()));
    clean_fs(wa);
}

} // namespace
