// The shipped configuration works as it stands: every program's own configuration reading
// accepts packaging/zonaris.conf, the commented-out lines show the defaults the programs
// really take, and each daemon logs into a file of a directory its service unit creates.
#include "etc_fixture.h"
#include "feed_config.h"
#include "poolwatch_config.h"
#include "run_program.h"
#include "sql.h"
#include "temp_dir.h"
#include "tool_common.h"
#include "zb_config.h"
#include "zlog.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sstream>

namespace {

const std::string source_dir = ZONARIS_SOURCE_DIR;
const std::string sample_path = source_dir + "/packaging/zonaris.conf";

std::string sample_text() {
    std::string text = read_text_file(sample_path);
    EXPECT_FALSE(text.empty()) << sample_path;
    return text;
}

// "KEY value" lines of the sample: the set ones, or the commented-out defaults ("#KEY value").
std::map<std::string, std::string> sample_lines(bool commented) {
    std::map<std::string, std::string> keys;
    const std::regex line(commented ? "^#([A-Z][A-Z0-9_]+)\\s+(\\S.*?)\\s*$"
                                    : "^([A-Z][A-Z0-9_]+)\\s+\"?([^\"]*?)\"?\\s*$");
    std::istringstream in(sample_text());
    for (std::string text; std::getline(in, text);) {
        std::smatch m;
        if (std::regex_match(text, m, line))
            keys.emplace(m[1], m[2]);
    }
    return keys;
}

// The lines of `path` that match `pattern`, first group each.
std::vector<std::string> matches(const std::string &path, const std::string &pattern) {
    std::vector<std::string> out;
    const std::regex re(pattern);
    std::istringstream in(read_text_file(path));
    for (std::string text; std::getline(in, text);) {
        std::smatch m;
        if (std::regex_search(text, m, re))
            out.push_back(m[1]);
    }
    return out;
}

struct etc_copy {
    test_etc_dir etc;
    std::string conf;
    etc_copy() {
        conf = etc.write_conf_text(sample_text());
        setenv("ZONARIS_ETC_D", etc.path().c_str(), 1);
    }
    ~etc_copy() { unsetenv("ZONARIS_ETC_D"); }
};

} // namespace

TEST(SampleConfig, EveryProgramsConfigurationReadingAcceptsIt) {
    etc_copy copy;
    zb_settings zb;
    ASSERT_EQ(0, zb_load_settings(copy.conf, zb_load_options{}, zb));
    EXPECT_EQ(zb.named_root, "/var/lib/bind/zonaris");
    EXPECT_NE(zb.named_uid, static_cast<uid_t>(-1)) << "named's account is set";

    poolwatch_config pw;
    ASSERT_EQ(0, poolwatch_read_config(copy.conf, pw));
    EXPECT_FALSE(missing_db_setting(pw.base.db).has_value());

    // zonefeedd looks its run account up when started as root; the test machine need not
    // have the package's account, so the copy names root (a later line wins).
    const std::string feed_conf =
        copy.etc.write_conf_text(sample_text() + "ZONEFEED_USER root\nZONEFEED_GROUP root\n");
    feed_settings feed;
    ASSERT_EQ(0, load_feed_settings(feed_conf, nullptr, feed));
    EXPECT_EQ(feed.download_d, "/var/lib/zonaris/download");
    EXPECT_EQ(feed.sendmail, "/usr/sbin/sendmail");

    for (const tool_identity *tool : {&zonebuild_identity, &zonefeed_identity}) {
        tool_settings ts;
        ASSERT_EQ(0, tool_read_config(*tool, ts)) << tool->name;
        EXPECT_EQ(0, tool_check_db_settings(*tool, ts)) << tool->name;
    }

    // zoneview needs both of its keys: it gets as far as looking for the zone's file.
    program_result r =
        run_program("zoneview", {"--file", "example.com"}, run_options().add_env(copy.etc.env()));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Cannot open \"/var/lib/bind/zonaris/var/named/slaves/e/example.com\" file!\n")
        << r.err;
}

TEST(SampleConfig, CommentedOutLinesShowTheDefaultsTheProgramsTake) {
    const std::map<std::string, std::string> shown = sample_lines(true);
    temp_dir dir;
    const std::string minimal = dir.file("minimal.conf");
    write_text_file(minimal, "DB_HOST h\nDB_USER u\nDB_PASSWD p\nDB_NAME n\n");

    zb_settings zb;
    ASSERT_EQ(0, zb_load_settings(minimal, zb_load_options{}, zb));
    const std::map<std::string, std::string> zonebuildd_defaults = {
        {"TEMP_D", zb.temp_d},
        {"NAMED_D", zb.named_root},
        {"MASTER_D", zb.master_d},
        {"SECONDARY_D", zb.secondary_d},
        {"RNDC_BIN_D", zb.rndc_dir},
        {"NAMED_FILE", zb.named_file},
        {"NAMED_ACL_FILE", zb.acl_file},
        {"ZONEBUILD_PID_FILE", zb.base.pid_file},
        {"ZONEBUILD_RUN_INTERVAL", std::to_string(zb.run_interval)},
        {"ZONEBUILD_CONCURRENCY_LIMIT", std::to_string(zb.concurrency_limit)},
        {"ZONE_SERIAL", zb.serial_format},
        {"DB_PORT", std::to_string(zb.base.db.port)},
        {"DB_TIMEOUT", std::to_string(FR_SQL_DEFAULT_TIMEOUT)},
    };
    poolwatch_config pw;
    ASSERT_EQ(0, poolwatch_read_config(minimal, pw));
    const std::map<std::string, std::string> poolwatchd_defaults = {
        {"POOLWATCH_PID_FILE", pw.base.pid_file},
        {"POOLWATCH_D", pw.script_dir},
        {"POOLWATCH_CONCURRENCY", std::to_string(pw.concurrency)},
        {"POOLWATCH_DRIFT", std::to_string(pw.drift)},
        {"POOLWATCH_TIMEOUT", std::to_string(pw.timeout)},
        {"POOLWATCH_POOLING_INTERVAL", std::to_string(pw.pooling_interval)},
        {"POOLWATCH_SCRIPT_USER", pw.script_user},
        {"POOLWATCH_RISE", std::to_string(pw.rise)},
        {"POOLWATCH_FALL", std::to_string(pw.fall)},
        {"POOLWATCH_KEEP_ONE_UP", pw.keep_one_up ? "yes" : "no"},
    };
    write_text_file(minimal, read_text_file(minimal) + "ZONEFEED_USER root\nZONEFEED_GROUP root\n");
    feed_settings feed;
    ASSERT_EQ(0, load_feed_settings(minimal, nullptr, feed));
    const std::map<std::string, std::string> zonefeedd_defaults = {
        {"DOWNLOAD_D", feed.download_d},
        {"ZONEFEED_PID_FILE", feed.base.pid_file},
        {"ZONEFEED_RUN_INTERVAL", std::to_string(feed.run_interval)},
        {"DOWNLOAD_URL_TIMEOUT", std::to_string(feed.download_timeout)},
        {"DOWNLOAD_URL_CONNECT_TIMEOUT", std::to_string(feed.connect_timeout)},
        {"MAX_FILE_SIZE", std::to_string(feed.max_file_size / 1024)},
        {"MAX_DOWNLOAD_THREADS", std::to_string(feed.max_download_threads)},
        {"ZONEFEED_CONCURRENCY_LIMIT", std::to_string(feed.concurrency_limit)},
        {"MAX_ZONES_PERFILE", std::to_string(feed.max_zones_perfile)},
        {"MAX_RECORDS", std::to_string(feed.max_records)},
        {"DOWNLOAD_URL_VERIFY_CERT", feed.verify_cert ? "1" : "0"},
        {"SENDMAIL_TIME_LIMIT", std::to_string(feed.mail_time_limit)},
        {"DB_TIMEOUT", std::to_string(feed.base.db.timeout)},
    };
    for (const auto *defaults : {&zonebuildd_defaults, &poolwatchd_defaults, &zonefeedd_defaults})
        for (const auto &[key, value] : *defaults) {
            auto it = shown.find(key);
            ASSERT_NE(it, shown.end()) << key << " has no commented-out default line";
            EXPECT_EQ(it->second, value) << key;
        }
    // Keys without a default are never shown as if they had one.
    for (const char *key : {"NAMED_USERNAME", "NAMED_GROUP", "SENDMAIL_BIN_FILE",
                            "ZONEBUILD_CATALOG_ZONE", "DOWNLOAD_URL_CA_FILE"})
        EXPECT_EQ(shown.count(key), 0u) << key;
}

TEST(SampleConfig, EveryDaemonLogsToAFileInADirectoryItsUnitCreates) {
    const std::map<std::string, std::string> set = sample_lines(false);
    const std::string zlog_sample = source_dir + "/packaging/zlog.conf";
    ASSERT_EQ(0, zlog_init(zlog_sample.c_str()));
    for (const std::string daemon : {"zonebuildd", "zonefeedd", "poolwatchd"}) {
        std::string prefix = daemon == "poolwatchd"  ? "POOLWATCH"
                             : daemon == "zonefeedd" ? "ZONEFEED"
                                                     : "ZONEBUILD";
        // Unset, the engine would be stdlog (or syslog for poolwatchd): set it explicitly.
        ASSERT_EQ(set.count(prefix + "_LOG_ENGINE_TYPE"), 1u) << daemon;
        EXPECT_EQ(set.at(prefix + "_LOG_ENGINE_TYPE"), "zlog") << daemon;
        EXPECT_EQ(set.at(prefix + "_LOG_ENGINE_DATA"), "/etc/zonaris/zlog.conf") << daemon;
        EXPECT_NE(zlog_get_category(daemon.c_str()), nullptr) << daemon;

        const std::vector<std::string> logs_dirs =
            matches(source_dir + "/packaging/" + daemon + ".service.in", "^LogsDirectory=(\\S+)");
        ASSERT_EQ(logs_dirs.size(), 1u) << daemon;
        const std::vector<std::string> files =
            matches(zlog_sample, "^" + daemon + "\\.\\S+\\s+\"([^\"]+)\"");
        ASSERT_FALSE(files.empty()) << daemon << " writes no log file";
        for (const std::string &file : files)
            EXPECT_EQ(file.rfind("/var/log/" + logs_dirs[0] + "/", 0), 0u)
                << file << " is not in the directory of " << daemon << ".service";
    }
    zlog_fini();
}

TEST(SampleConfig, EveryKeyOfTheSampleIsDescribedInItsManualPage) {
    const std::string page = read_text_file(source_dir + "/docs/man/zonaris.conf.5.scd");
    ASSERT_FALSE(page.empty());
    for (bool commented : {false, true})
        for (const auto &[key, value] : sample_lines(commented))
            EXPECT_NE(page.find("*" + key + "*"), std::string::npos)
                << key << " is not in zonaris.conf(5)";
}
