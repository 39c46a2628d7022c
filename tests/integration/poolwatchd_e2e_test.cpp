// End to end: a pool of two addresses serving www.example.net. When the test for one of
// them starts failing, poolwatchd switches its record off and queues the zone, zonebuildd
// rewrites the zone, and the name server stops answering with that address; when the test
// passes again the address comes back.
#include "etc_fixture.h"
#include "mariadb_fixture.h"
#include "named_fixture.h"
#include "run_program.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <sys/stat.h>

namespace {

const char *const entry_template = "zone \"[zone_name]\" {\n\ttype [zone_type];\n"
                                   "\tfile \"[zone_file_name]\";\n\t[zone_options];\n};";

class poolwatchdEndToEnd : public testing::Test {
  protected:
    void SetUp() override {
        if (!path_exists(program_path("zonebuildd")))
            GTEST_SKIP() << "zonebuildd has not been built (" << program_path("zonebuildd")
                         << " is missing): the zone rewrite half of this test cannot run";
        ASSERT_TRUE(named.start()) << named.log();
    }

    void TearDown() override {
        for (auto *p : {&poolwatchd, &zonebuildd}) {
            if (!*p || !(*p)->running())
                continue;
            (*p)->signal(SIGTERM);
            if (!(*p)->wait_exit(30))
                (*p)->kill_now();
        }
        if (HasFailure()) {
            for (auto *p : {&poolwatchd, &zonebuildd})
                if (*p)
                    std::cerr << "--- output\n" << (*p)->out() << "--- errors\n" << (*p)->err();
            std::cerr << "--- named\n" << named.log();
            for (const auto &row : db.rows("SELECT name, warning_desc FROM zone"))
                std::cerr << "--- zone " << row[0].value_or("") << ": " << row[1].value_or("")
                          << "\n";
        }
    }

    void exec(const std::string &sql) {
        ASSERT_EQ(db.exec(sql), 0) << db.last_error() << "\n" << sql;
    }

    std::vector<std::string> www() {
        std::vector<std::string> answers = named.dig("www.example.net", "A");
        std::sort(answers.begin(), answers.end());
        return answers;
    }

    test_database db = make_test_database();
    named_server named;
    test_etc_dir etc;
    temp_dir dir{"pw-e2e"};
    std::optional<running_program> zonebuildd, poolwatchd;
};

} // namespace

TEST_F(poolwatchdEndToEnd, AFailingMemberLeavesTheServedAnswerAndReturnsWhenItRecovers) {
    // The scripts run as "nobody": they must reach the scripts and the flags.
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const std::string scripts = dir.make_subdir("scripts"), flags = dir.make_subdir("flags");
    ASSERT_EQ(chmod(flags.c_str(), 0755), 0);
    write_text_file(scripts + "/check",
                    "#!/bin/sh\n[ -e " + flags + "/down-$1 ] && exit 1\nexit 0\n", 0755);
    dir.make_subdir("tmp");

    exec("INSERT INTO misc(param, value) VALUES('log_level', '5'), ('refresh', '3600'), "
         "('retry', '600'), ('expire', '1209600'), ('min_ttl', '300'), ('default_ttl', '300')");
    exec("INSERT INTO client(id, login, email) VALUES(7, 'ann', 'hostmaster@example.net')");
    exec("INSERT INTO file_template_default(id, name, content) VALUES(1, 'zonaris.include', '')");
    exec(std::string("INSERT INTO file_template(file_template_default_id, content) VALUES(1, '") +
         entry_template + "')");
    exec("INSERT INTO zone(id, name, type, client_id) VALUES(1, 'example.net.', 'master', 7)");
    exec("INSERT INTO zone_dns_records(id, zone_id, entry_type, host, value, priority) VALUES "
         "(1, 1, 'NS', 'example.net.', 'ns1.example.net.', 1), "
         "(2, 1, 'A', 'ns1', '127.0.0.1', 0), "
         "(3, 1, 'A', 'www', '192.0.2.1', 0), "
         "(4, 1, 'A', 'www', '192.0.2.2', 0)");
    exec("INSERT INTO rrobin_protocols(code, script) VALUES('CHECK', 'check')");
    exec("INSERT INTO rrobin_pool(id, name, zone_id, protocol_code, monit_interval, test_url) "
         "VALUES(1, 'www', 1, 'CHECK', 1, '$RR')");
    exec("INSERT INTO rrobin_pool_records(rrobin_pool_id, zone_dns_records_id) VALUES(1, 3), (1, "
         "4)");
    exec("INSERT INTO changes(zone_name, type, timestamp) VALUES('example.net.', 'u', "
         "UNIX_TIMESTAMP())");

    config_pairs keys = db.config();
    for (const auto &kv : named.config())
        keys.push_back(kv);
    keys.insert(keys.end(), {{"TEMP_D", dir.file("tmp")},
                             {"ZONEBUILD_PID_FILE", dir.file("zonebuildd.pid")},
                             {"ZONEBUILD_RUN_INTERVAL", "1"},
                             {"POOLWATCH_PID_FILE", dir.file("poolwatch.pid")},
                             {"POOLWATCH_D", scripts},
                             {"POOLWATCH_POOLING_INTERVAL", "1"},
                             {"POOLWATCH_TIMEOUT", "5"},
                             {"POOLWATCH_LOG_LEVEL", "NOTICE"}});
    etc.write_conf(keys);
    run_options opts;
    opts.env = {etc.env()};

    zonebuildd = start_program("zonebuildd", {"-X"}, opts);
    ASSERT_TRUE(wait_until([&] { return www().size() == 2; }, 60)) << "the zone is not served";
    poolwatchd = start_program("poolwatchd", {"-X"}, opts);

    write_text_file(flags + "/down-192.0.2.2", "");
    ASSERT_TRUE(wait_until(
        [&] { return db.value("SELECT status FROM zone_dns_records WHERE id = 4") == "9"; }, 60));
    ASSERT_TRUE(wait_until([&] { return www() == std::vector<std::string>{"192.0.2.1"}; }, 60))
        << "the disabled address is still served";

    unlink((flags + "/down-192.0.2.2").c_str());
    ASSERT_TRUE(wait_until(
        [&] { return db.value("SELECT status FROM zone_dns_records WHERE id = 4") == "1"; }, 60));
    EXPECT_TRUE(wait_until(
        [&] {
            return www() == std::vector<std::string>{"192.0.2.1", "192.0.2.2"};
        },
        60))
        << "the recovered address is not served again";
}
