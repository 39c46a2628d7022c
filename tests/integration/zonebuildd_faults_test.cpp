// Faults of the zone builder against a private MariaDB and a private named, jobs run in
// process: two zone rows of one name, refusals reported as refusals, database errors during
// a job, zones named fails to load, and the writer's ordering (change rows kept until the
// include file is live, a whole-server reload owed by a failed job).
#include "zonebuildd.h"

#include "check_tool.h"
#include "dns_common.h"
#include "logging.h"
#include "mariadb_fixture.h"
#include "named_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sys/stat.h>

namespace {

class ZoneBuilderFaults : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ASSERT_EQ(0, bind9_init()); }

    void SetUp() override {
        logging_init("zonebuildd", "stdlog", nullptr);
        _init_global_str();
        exec("INSERT INTO misc(param, value) VALUES('log_level', '7'), ('refresh', '3600'), "
             "('retry', '600'), ('expire', '86400'), ('min_ttl', '300'), ('default_ttl', '300');"
             "INSERT INTO client(id, login, email) VALUES(7, 'ann', 'hostmaster@example.net'), "
             "(8, 'bob', 'bob@example.org');"
             "INSERT INTO file_template_default(id, name) VALUES(1, 'zonaris.include');"
             "INSERT INTO file_template(file_template_default_id, content) VALUES(1, 'zone "
             "\"[zone_name]\" { type [zone_type]; file \"[zone_file_name]\"; [zone_options]; };')");
        ASSERT_TRUE(ns.start()) << ns.log();
        config_pairs keys = db.config();
        for (const auto &kv : ns.config())
            keys.push_back(kv);
        keys.emplace_back("TEMP_D", work.file("tmp"));
        keys.emplace_back("ZONEBUILD_PID_FILE", work.file("zb.pid"));
        keys.emplace_back("ZONEBUILD_CONCURRENCY_LIMIT", "2");
        etc.write_conf(keys);
        st.no_detach = 1;
        st.run_type = 1;
        st.config_path = etc.file("zonaris.conf");
        testing::internal::CaptureStdout();
        const int rc = zonebuildd_init(st, 1);
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(0, rc);
        ASSERT_EQ(0, init_daemon_job_list(st.queue));
        set_log_level(LOG_CRIT);
    }

    void TearDown() override {
        clean_invariant(st);
        destroy_daemon_job_list(st.queue);
    }

    void exec(const std::string &sql) { ASSERT_EQ(0, db.exec(sql)) << db.last_error() << sql; }

    int zone(const std::string &name, int client, const std::string &www) {
        exec("INSERT INTO zone(name, type, client_id) VALUES('" + name + "', 'master', " +
             std::to_string(client) + ")");
        const int id = std::stoi(*db.value("SELECT id FROM zone WHERE name = '" + name + "'"));
        rec(id, "NS", name, "ns1.example.net.", "1");
        rec(id, "A", "www", www);
        touch(name);
        return id;
    }
    void rec(int id, const std::string &type, const std::string &host, const std::string &value,
             const std::string &priority = "NULL") {
        exec("INSERT INTO zone_dns_records(zone_id, entry_type, host, value, priority) VALUES(" +
             std::to_string(id) + ", '" + type + "', '" + host + "', '" + value + "', " + priority +
             ")");
    }
    void touch(const std::string &name, const std::string &type = "u") {
        exec("INSERT INTO changes(zone_name, type, timestamp) VALUES('" + name + "', '" + type +
             "', UNIX_TIMESTAMP())");
    }

    // One job of the kind, as the daemon runs it: 0 OK (or nothing to do), -1 failed.
    int job(bool restore = false) {
        int rc = do_invariant(st, restore ? 1 : 0);
        if (rc == 0)
            rc = restore ? do_restore(st) : do_changes(st);
        clean_invariant(st);
        return rc == 1 ? 0 : rc;
    }

    bool served(const std::string &name, const std::string &answer) {
        return wait_until(
            [&] {
                const auto got = ns.dig(name, "A");
                return std::find(got.begin(), got.end(), answer) != got.end();
            },
            20);
    }
    program_result checkconf() const {
        return run_program("/usr/bin/named-checkconf", {ns.conf_file});
    }
    long long events(const std::string &where) { return db.count("logs", where); }

    test_database db = make_test_database();
    named_server ns;
    test_etc_dir etc;
    temp_dir work{"zb-faults"};
    zonebuildd_state st;
};

TEST_F(ZoneBuilderFaults, SecondRowOfAServedZoneNameIsRefusedAndRemovesNothing) {
    zone("example.com.", 7, "192.0.2.1");
    ASSERT_EQ(0, job());
    ASSERT_TRUE(served("www.example.com", "192.0.2.1"));

    // Another client's row for the same zone, without the final dot.
    const int other = zone("example.com", 8, "192.0.2.66");
    EXPECT_EQ(0, job());
    const std::string include = read_text_file(ns.include_file);
    EXPECT_EQ(include.find("zone \"example.com\""), include.rfind("zone \"example.com\""))
        << include;
    const program_result check = checkconf();
    EXPECT_EQ(0, check.exit_code) << check.out << check.err;
    EXPECT_EQ(1, events("info_code = 'ES05' AND message = 'Zone refused' AND zone_name = "
                        "'example.com' AND client_id = 8"));
    EXPECT_EQ("99", db.value("SELECT warning FROM zone WHERE id = " + std::to_string(other)));
    EXPECT_EQ(1, db.count("changes", "zone_name = 'example.com'")); // kept for later
    ASSERT_EQ(0, ns.rndc({"reload"}).exit_code);
    EXPECT_TRUE(served("www.example.com", "192.0.2.1"));

    // Its removal removes neither the other client's file nor its statement.
    exec("DELETE FROM zone WHERE id = " + std::to_string(other));
    touch("example.com", "d");
    EXPECT_EQ(0, job());
    EXPECT_TRUE(path_exists(ns.directory + "/e/example.com"));
    EXPECT_NE(std::string::npos, read_text_file(ns.include_file).find("zone \"example.com\""));
    EXPECT_EQ(0, db.count("changes"));
    ASSERT_EQ(0, ns.rndc({"reload"}).exit_code);
    EXPECT_TRUE(served("www.example.com", "192.0.2.1"));

    // A restore keeps the one that was served as well.
    const int upper = zone("EXAMPLE.com", 8, "192.0.2.67");
    EXPECT_EQ(0, job(true));
    EXPECT_EQ(0, checkconf().exit_code);
    EXPECT_TRUE(served("www.example.com", "192.0.2.1"));
    EXPECT_EQ(1, events("info_code = 'ES05' AND zone_id = " + std::to_string(upper)));
}

} // namespace
