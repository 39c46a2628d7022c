// zonebuildd jobs run in process against a private MariaDB and a private named: the panel's
// basics (SOA defaults, clients 7 and 8, the include-entry template), the daemon's state
// initialised from a zonaris.conf naming both services, and helpers that add zones, records
// and change rows, run one job and ask named what it serves.
#pragma once

#include "zonebuildd.h"

#include "check_tool.h"
#include "dns_common.h"
#include "logging.h"
#include "mariadb_fixture.h"
#include "named_fixture.h"
#include "run_program.h"
#include "zonebuildd_in_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

class zonebuildd_jobs : public ::testing::Test {
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
        ASSERT_NO_FATAL_FAILURE(init_in_process(st, etc, keys));
        set_log_level(LOG_CRIT);
    }

    void TearDown() override { clean_invariant(st); }

    void exec(const std::string &sql) { ASSERT_EQ(0, db.exec(sql)) << db.last_error() << sql; }

    // A primary zone of `client` with its origin name server and www at `www`, changed.
    int zone(const std::string &name, int client = 7, const std::string &www = "192.0.2.1") {
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

    // Polls until named's answers for `name` A hold `answer`.
    bool served(const std::string &name, const std::string &answer) {
        return ns.wait_for_answer(name, "A", answer, 20);
    }

    test_database db = make_test_database();
    named_server ns;
    test_etc_dir etc;
    temp_dir work{"zb-jobs"};
    zonebuildd_state st;
};
