// zonebuildd end to end: panel data in a private MariaDB, the daemon writing zones, include
// and ACL files for a private named, and dig asking that named what it serves.
#include "zone_writer.h"
#include "zonebuildd.h"

#include "mariadb_fixture.h"
#include "named_fixture.h"
#include "run_program.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <sstream>

namespace {

size_t count_text(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

const char *const entry_template = "zone \"[zone_name]\" {\n\ttype [zone_type];\n"
                                   "\tfile \"[zone_file_name]\";\n\t[zone_options];\n};";

// Panel data: a client, the SOA defaults, the include template.
void load_panel_basics(test_database &db) {
    ASSERT_EQ(
        0, db.exec(std::string(
                       "INSERT INTO misc(param, value) VALUES('log_level', '7'), ('refresh', "
                       "'3600'), ('retry', '600'), ('expire', '86400'), ('min_ttl', '300'), "
                       "('default_ttl', '300');"
                       "INSERT INTO client(id, login, name, email) VALUES(7, 'ann', 'Ann', "
                       "'hostmaster@example.net');"
                       "INSERT INTO srv_service_protocol_type(name, record_type) VALUES('sip', "
                       "'NAPTR');"
                       "INSERT INTO file_template_default(id, name) VALUES(1, 'zonaris.include');"
                       "INSERT INTO file_template(file_template_default_id, content) VALUES(1, '") +
                   entry_template + "')"))
        << db.last_error();
}

class ZoneBuilder : public ::testing::Test {
  protected:
    void SetUp() override {
        load_panel_basics(db);
        ASSERT_TRUE(ns.start()) << ns.log();
        write_conf({});
    }

    void TearDown() override {
        if (daemon && daemon->running()) {
            daemon->signal(SIGTERM);
            daemon->wait_exit(60);
        }
    }

    void write_conf(const config_pairs &changes) {
        config_pairs keys = db.config();
        for (const auto &kv : ns.config())
            keys.push_back(kv);
        keys.emplace_back("TEMP_D", work.file("tmp"));
        keys.emplace_back("ZONEBUILD_PID_FILE", work.file("zonebuildd.pid"));
        keys.emplace_back("ZONEBUILD_RUN_INTERVAL", "3600");
        keys.emplace_back("ZONEBUILD_CONCURRENCY_LIMIT", "3");
        for (const auto &[k, v] : changes) {
            std::erase_if(keys, [&](const auto &kv) { return kv.first == k; });
            keys.emplace_back(k, v);
        }
        etc.write_conf(keys);
    }

    void exec(const std::string &sql) { ASSERT_EQ(0, db.exec(sql)) << db.last_error() << sql; }

    int zone(const std::string &name, const std::string &type = "master") {
        exec("INSERT INTO zone(name, type, client_id) VALUES('" + name + "', '" + type + "', 7)");
        const int id = std::stoi(*db.value("SELECT id FROM zone WHERE name = '" + name + "'"));
        if (type == "master")
            rec(id, "NS", name, "ns1.example.net.", "1");
        return id;
    }

    void rec(int id, const std::string &type, const std::string &host, const std::string &value,
             const std::string &priority = "NULL") {
        exec("INSERT INTO zone_dns_records(zone_id, entry_type, host, value, priority) VALUES(" +
             std::to_string(id) + ", '" + type + "', '" + host + "', '" + value + "', " + priority +
             ")");
    }

    // A primary zone with one A record for "www", queued for the next job.
    int www_zone(const std::string &name, const std::string &address) {
        const int id = zone(name);
        rec(id, "A", "www", address);
        touch(name);
        return id;
    }

    // The panel deletes a zone; the deletion is queued.
    void delete_zone(int id, const std::string &name) {
        exec("DELETE FROM zone_dns_records WHERE zone_id = " + std::to_string(id));
        exec("DELETE FROM zone WHERE id = " + std::to_string(id));
        touch(name, "d");
    }

    void touch(const std::string &name, const std::string &type = "u") {
        exec("INSERT INTO changes(zone_name, type, timestamp) VALUES('" + name + "', '" + type +
             "', UNIX_TIMESTAMP())");
    }

    void start_daemon() {
        run_options opts;
        opts.env = {etc.env()};
        daemon.emplace(start_program(program_path("zonebuildd"), {"-X"}, opts));
        ASSERT_TRUE(wait_until([&] { return jobs("Changes") >= 1; }, 60)) << daemon->err();
    }

    long long jobs(const std::string &kind) {
        return db.count("logs", "message = 'Job finished. " + kind + "'");
    }
    long long failed_jobs(const std::string &kind) {
        return db.count("logs", "message = 'Job finished. " + kind + "' AND info = 'FR_FAIL'");
    }

    // Sends `sig` and waits for the next job of that kind to finish.
    void run_job(int sig, const std::string &kind) {
        const long long before = jobs(kind);
        ASSERT_EQ(0, daemon->signal(sig));
        ASSERT_TRUE(wait_until([&] { return jobs(kind) > before; }, 120))
            << daemon->out() << daemon->err();
    }

    // `zonebuild --now`, then the end of the changes job it asked for.
    void zonebuild_now() {
        const long long before = jobs("Changes");
        run_options opts;
        opts.env = {etc.env()};
        program_result r = run_program(program_path("zonebuild"), {"--now"}, opts);
        ASSERT_EQ(0, r.exit_code) << r.out << r.err;
        ASSERT_TRUE(wait_until([&] { return jobs("Changes") > before; }, 120)) << daemon->err();
    }

    bool served(const std::string &name, const std::string &type, const std::string &answer) {
        return ns.wait_for_answer(name, type, answer);
    }

    std::string primary_file(const std::string &file) const {
        return ns.directory + "/" + std::string(1, file[0]) + "/" + file;
    }

    test_database db = make_test_database();
    named_server ns;
    test_etc_dir etc;
    temp_dir work{"zb-e2e"};
    std::optional<running_program> daemon;
};

TEST_F(ZoneBuilder, RestoreServesEveryRecordOfEveryZoneKind) {
    const int fwd = zone("example.com.");
    rec(fwd, "A", "www", "192.0.2.10");
    rec(fwd, "AAAA", "www", "2001:db8::10");
    rec(fwd, "CNAME", "ftp", "www");
    rec(fwd, "MX", "example.com.", "mail.example.net.", "10");
    rec(fwd, "TXT", "example.com.", "v=spf1 -all");
    exec("INSERT INTO zone_dns_records(zone_id, entry_type, host, value, priority, "
         "priority_minor, port) VALUES(" +
         std::to_string(fwd) + ", 'SRV', '_sip._udp', 'sip.example.net.', 5, 20, 5060)");
    const int v4 = zone("20.168.192.in-addr.arpa.");
    rec(v4, "PTR", "10", "www.example.com.");
    const int classless = zone("64/26.21.168.192.in-addr.arpa.");
    rec(classless, "PTR", "65", "h65.example.com.");
    const int v6 = zone("0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2.ip6.arpa.");
    rec(v6, "PTR", "1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0", "v6.example.com.");
    const int e164 = zone("8.1.e164.arpa.");
    exec("INSERT INTO zone_dns_records(zone_id, entry_type, host, value, priority, "
         "priority_minor, services, flag, regex) VALUES(" +
         std::to_string(e164) +
         ", 'NAPTR', '4.3.2.1', 'sip:info@example.com', 100, 10, 'sip', "
         "'u', '^.*$')");
    const int sec = zone("sec.example.", "slave");
    exec("INSERT INTO zone_opt_values(zone_id, type, value) VALUES(" + std::to_string(sec) +
         ", 'master', '192.0.2.53'), (" + std::to_string(fwd) +
         ", 'allow_transfer', '198.51.100.7')");
    exec("INSERT INTO global_transfer_ips(ip) VALUES('10.0.0.1')");
    start_daemon();
    // A zone deleted in the panel before the restore.
    touch("gone.example.", "d");
    run_job(SIGUSR2, "Restore");
    EXPECT_EQ(0, failed_jobs("Restore")) << daemon->err();

    EXPECT_TRUE(served("www.example.com", "A", "192.0.2.10"));
    EXPECT_TRUE(served("www.example.com", "AAAA", "2001:db8::10"));
    EXPECT_TRUE(served("ftp.example.com", "CNAME", "www.example.com."));
    EXPECT_TRUE(served("example.com", "MX", "10 mail.example.net."));
    EXPECT_TRUE(served("example.com", "TXT", "\"v=spf1 -all\""));
    EXPECT_TRUE(served("_sip._udp.example.com", "SRV", "5 20 5060 sip.example.net."));
    EXPECT_TRUE(served("10.20.168.192.in-addr.arpa", "PTR", "www.example.com."));
    EXPECT_TRUE(served("65.64/26.21.168.192.in-addr.arpa", "PTR", "h65.example.com."));
    EXPECT_TRUE(served("1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2.ip6.arpa",
                       "PTR", "v6.example.com."));
    EXPECT_TRUE(served("4.3.2.1.8.1.e164.arpa", "NAPTR",
                       "100 10 \"u\" \"E2U+sip\" \"!^.*$!sip:info@example.com!\" ."));

    const std::string include = read_text_file(ns.include_file);
    EXPECT_NE(std::string::npos, include.find("zone \"sec.example\" {\n\ttype slave;"));
    EXPECT_NE(std::string::npos, include.find("\t\t192.0.2.53;")) << include;
    EXPECT_NE(std::string::npos, include.find("\t\t198.51.100.7;")) << include;
    EXPECT_EQ("acl common-allow-transfer {\n\t10.0.0.1;\n};\n", read_text_file(ns.acl_file));
    EXPECT_TRUE(path_exists(primary_file("64_26.21.168.192.in-addr.arpa")));
    EXPECT_EQ(0, db.count("changes"));
    // Six zones written, one removed.
    EXPECT_EQ("7", db.value("SELECT info FROM logs WHERE message = 'Zones processed' ORDER BY id "
                            "DESC LIMIT 1"));
    EXPECT_EQ(0, db.count("logs", "message = 'Named restart attempt' AND info <> 'ok|0'"));
    // The revision and timestamp columns tell the panel what was published.
    EXPECT_EQ(*db.value("SELECT revision FROM zone WHERE name = 'example.com.'"),
              *ns.soa_serial("example.com"));
    EXPECT_NE("0", db.value("SELECT revise_time FROM zone WHERE name = 'sec.example.'"));
}

TEST_F(ZoneBuilder, ChangedRecordIsServedAfterZonebuildNowAndDeletedZoneGoes) {
    const int a = www_zone("a.example.", "192.0.2.1");
    const int b = www_zone("b.example.", "192.0.2.2");
    start_daemon(); // its first job serves the two rows
    ASSERT_TRUE(served("www.a.example", "A", "192.0.2.1")) << daemon->err();
    ASSERT_TRUE(served("www.b.example", "A", "192.0.2.2"));
    EXPECT_EQ(0, db.count("changes"));

    exec("UPDATE zone_dns_records SET value = '192.0.2.11' WHERE zone_id = " + std::to_string(a) +
         " AND entry_type = 'A'");
    touch("a.example.");
    zonebuild_now();
    EXPECT_TRUE(served("www.a.example", "A", "192.0.2.11"));
    EXPECT_TRUE(served("www.b.example", "A", "192.0.2.2"));

    delete_zone(b, "b.example.");
    zonebuild_now();
    EXPECT_TRUE(wait_until([&] { return !ns.soa_serial("b.example"); }, 30));
    EXPECT_FALSE(path_exists(primary_file("b.example")));
    EXPECT_EQ(std::string::npos, read_text_file(ns.include_file).find("b.example"));
    EXPECT_TRUE(served("www.a.example", "A", "192.0.2.11"));
    EXPECT_EQ(0, db.count("changes"));
}

// A job that adds, removes and changes zones at once has the name server reread its
// configuration and reload the changed zone by name; each change is served.
TEST_F(ZoneBuilder, NewDeletedAndChangedZonesAreServedAfterAReconfig) {
    const int a = www_zone("a.example.", "192.0.2.1");
    const int b = www_zone("b.example.", "192.0.2.2");
    start_daemon();
    ASSERT_TRUE(served("www.b.example", "A", "192.0.2.2")) << daemon->err();

    exec("UPDATE zone_dns_records SET value = '192.0.2.11' WHERE zone_id = " + std::to_string(a) +
         " AND entry_type = 'A'");
    touch("a.example.");
    delete_zone(b, "b.example.");
    www_zone("c.example.", "192.0.2.3");
    zonebuild_now();
    EXPECT_TRUE(served("www.a.example", "A", "192.0.2.11"));
    EXPECT_TRUE(served("www.c.example", "A", "192.0.2.3"));
    EXPECT_TRUE(wait_until([&] { return !ns.soa_serial("b.example"); }, 30));
    const std::string log = ns.log();
    EXPECT_NE(std::string::npos, log.find("received control channel command 'reconfig'")) << log;
    EXPECT_NE(std::string::npos, log.find("received control channel command 'reload a.example'"));
    EXPECT_EQ(std::string::npos, log.find("received control channel command 'reload c.example'"));
    EXPECT_EQ(0, db.count("logs", "message = 'Named restart attempt' AND info <> 'ok|0'"));
}

// Past the limit of zones reloaded by name, the whole server reloads once.
TEST_F(ZoneBuilder, ManyChangedZonesAreServedAfterOneWholeReload) {
    for (size_t i = 0; i <= zone_reload_limit; ++i)
        www_zone("z" + std::to_string(i) + ".example.", "192.0.2.1");
    start_daemon();
    ASSERT_TRUE(served("www.z0.example", "A", "192.0.2.1")) << daemon->err();
    const std::string whole = "received control channel command 'reload'";
    const size_t whole_before = count_text(ns.log(), whole);
    exec("UPDATE zone_dns_records SET value = '192.0.2.2' WHERE entry_type = 'A'");
    exec("INSERT INTO changes(zone_name, type, timestamp) SELECT name, 'u', UNIX_TIMESTAMP() "
         "FROM zone");
    zonebuild_now();
    for (size_t i = 0; i <= zone_reload_limit; ++i)
        EXPECT_TRUE(served("www.z" + std::to_string(i) + ".example", "A", "192.0.2.2")) << i;
    const std::string log = ns.log();
    EXPECT_EQ(whole_before + 1, count_text(log, whole)) << log;
    EXPECT_EQ(std::string::npos, log.find("command 'reload z0.example'"));
}

TEST_F(ZoneBuilder, ZoneFailingTheCheckKeepsItsServedVersion) {
    const int a = zone("a.example.");
    rec(a, "A", "www", "192.0.2.1");
    const int b = zone("b.example.");
    rec(b, "A", "www", "192.0.2.2");
    const int c = zone("c.example.");
    rec(c, "A", "www", "192.0.2.3");
    for (const char *name : {"a.example.", "b.example.", "c.example."})
        touch(name);
    start_daemon();
    ASSERT_TRUE(served("www.b.example", "A", "192.0.2.2")) << daemon->err();
    const std::string b_file = read_text_file(primary_file("b.example"));

    // b and c become invalid (CNAME and other data), a changes validly: three zones, each in
    // a worker of its own.
    exec("INSERT INTO zone_dns_records(zone_id, entry_type, host, value) VALUES(" +
         std::to_string(b) + ", 'CNAME', 'www', 'elsewhere.example.net.'), (" + std::to_string(c) +
         ", 'CNAME', 'www', 'other.example.net.')");
    exec("UPDATE zone_dns_records SET value = '192.0.2.111' WHERE zone_id = " + std::to_string(a) +
         " AND entry_type = 'A'");
    for (const char *name : {"a.example.", "b.example.", "c.example."})
        touch(name);
    zonebuild_now();
    EXPECT_EQ(0, failed_jobs("Changes")) << daemon->err();
    EXPECT_TRUE(served("www.a.example", "A", "192.0.2.111"));
    // The previous versions stay: file, statement and answers.
    EXPECT_TRUE(served("www.b.example", "A", "192.0.2.2"));
    EXPECT_TRUE(served("www.c.example", "A", "192.0.2.3"));
    EXPECT_EQ(b_file, read_text_file(primary_file("b.example")));
    EXPECT_NE(std::string::npos, read_text_file(ns.include_file).find("zone \"b.example\""));
    // Each zone's warning holds its own check text, never a neighbour's.
    const auto b_text = db.value("SELECT warning_desc FROM zone WHERE name = 'b.example.'");
    const auto c_text = db.value("SELECT warning_desc FROM zone WHERE name = 'c.example.'");
    ASSERT_TRUE(b_text && c_text);
    EXPECT_NE(std::string::npos, b_text->find("b.example")) << *b_text;
    EXPECT_EQ(std::string::npos, b_text->find("c.example")) << *b_text;
    EXPECT_NE(std::string::npos, c_text->find("c.example")) << *c_text;
    EXPECT_EQ(std::string::npos, c_text->find("b.example")) << *c_text;
    EXPECT_EQ("99", db.value("SELECT warning FROM zone WHERE name = 'b.example.'"));
    EXPECT_EQ("0", db.value("SELECT warning FROM zone WHERE name = 'a.example.'"));
    // Their change rows wait for a job that can write them.
    EXPECT_EQ(2, db.count("changes"));
    EXPECT_EQ(0, db.count("changes", "zone_name = 'a.example.'"));
}

TEST_F(ZoneBuilder, FailedRestoreLeavesTheLiveIncludeFileAsItWas) {
    const int a = zone("a.example.");
    rec(a, "A", "www", "192.0.2.1");
    touch("a.example.");
    start_daemon();
    ASSERT_TRUE(served("www.a.example", "A", "192.0.2.1")) << daemon->err();
    const std::string include = read_text_file(ns.include_file);
    ASSERT_NE(std::string::npos, include.find("a.example"));

    // The workers cannot reach the database: every restore fails after its set-up.
    sql_handle lock = db.connect();
    ASSERT_EQ(0, fr_sql_query(lock.get(), nullptr, "LOCK TABLES client WRITE"));
    ASSERT_EQ(0, daemon->signal(SIGUSR2));
    ASSERT_TRUE(wait_until(
        [&] {
            auto n = db.value("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE DB = '" +
                              db.name + "' AND STATE LIKE '%lock%'");
            return n && *n != "0";
        },
        60));
    // A worker is killed mid-job.
    program_result kids = run_program("/usr/bin/pgrep", {"-P", std::to_string(daemon->pid())});
    ASSERT_FALSE(kids.out.empty()) << kids.err;
    ASSERT_EQ(0, kill(std::stoi(kids.out), SIGKILL));
    ASSERT_TRUE(wait_until([&] { return failed_jobs("Restore") == 1; }, 60)) << daemon->err();
    ASSERT_EQ(0, fr_sql_query(lock.get(), nullptr, "UNLOCK TABLES"));

    EXPECT_NE(std::string::npos, daemon->err().find("was signaled with 9"));
    EXPECT_EQ(include, read_text_file(ns.include_file));
    EXPECT_TRUE(served("www.a.example", "A", "192.0.2.1"));
    // No worker is left behind.
    EXPECT_TRUE(wait_until(
        [&] {
            return run_program("/usr/bin/pgrep", {"-P", std::to_string(daemon->pid())}).out.empty();
        },
        30));
    // Once the database answers again the daemon works as before.
    exec("UPDATE zone_dns_records SET value = '192.0.2.9' WHERE zone_id = " + std::to_string(a) +
         " AND entry_type = 'A'");
    touch("a.example.");
    zonebuild_now();
    EXPECT_TRUE(served("www.a.example", "A", "192.0.2.9"));
}

TEST_F(ZoneBuilder, WorkerStopsOnSigtermAndItsJobFails) {
    const int a = zone("a.example.");
    rec(a, "A", "www", "192.0.2.1");
    start_daemon();
    sql_handle lock = db.connect();
    ASSERT_EQ(0, fr_sql_query(lock.get(), nullptr, "LOCK TABLES client WRITE"));
    touch("a.example.");
    ASSERT_EQ(0, daemon->signal(SIGUSR1));
    std::string worker;
    ASSERT_TRUE(wait_until(
        [&] {
            worker = run_program("/usr/bin/pgrep", {"-P", std::to_string(daemon->pid())}).out;
            return !worker.empty();
        },
        60));
    // A worker has the default action for SIGTERM: it ends at once, even inside a query.
    ASSERT_EQ(0, kill(std::stoi(worker), SIGTERM));
    ASSERT_TRUE(wait_until([&] { return failed_jobs("Changes") == 1; }, 60)) << daemon->err();
    ASSERT_EQ(0, fr_sql_query(lock.get(), nullptr, "UNLOCK TABLES"));
    EXPECT_NE(std::string::npos, daemon->err().find("was signaled with 15")) << daemon->err();
    EXPECT_EQ(1, db.count("changes"));
    EXPECT_TRUE(daemon->running());
}

} // namespace
