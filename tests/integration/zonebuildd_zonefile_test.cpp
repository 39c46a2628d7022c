// Zones loaded from a private MariaDB and written as zone files: every zone kind, primary and
// secondary; every primary file must load in named-checkzone (the oracle), hostile text from
// the database must come back from BIND exactly as stored, and never as extra records.
#include "dns_common.h"
#include "mariadb_fixture.h"
#include "run_program.h"
#include "temp_dir.h"
#include "zone_file.h"
#include "zone_model.h"
#include "zone_serial.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char *const checkzone = "/usr/bin/named-checkzone";

class zonefile_db : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(_init_global_str(), 0);
        conn = db.connect();
        ASSERT_TRUE(conn) << "no connection to the test database";
        env.named_root = named.path();
        env.master_dir = "var/named";
        env.secondary_dir = "var/named/slaves";
        named.make_subdir("var/named/slaves");
        work.make_subdir("master");
        env.db = conn.get();
        env.event_level = 7;
        env.enum_services = &enums;
        exec("INSERT INTO client (id, login, email) VALUES (7, 'ann', 'hostmaster@example.net')");
        exec("INSERT INTO misc (param, value) VALUES ('refresh', '3600'), ('retry', '600'), "
             "('expire', '1209600'), ('min_ttl', '300'), ('default_ttl', '86400')");
    }

    void exec(const std::string &sql) {
        ASSERT_EQ(db.exec(sql), 0) << sql << ": " << db.last_error();
    }

    // A zone row; gives its id.
    int add_zone(const std::string &name, const std::string &type = "master",
                 const std::string &extra_cols = "", const std::string &extra_vals = "") {
        exec("INSERT INTO zone (name, type, client_id" + extra_cols + ") VALUES ('" + name +
             "', '" + type + "', 7" + extra_vals + ")");
        return std::stoi(*db.value("SELECT id FROM zone WHERE name = '" + name + "'"));
    }
    // A record row from SQL value texts (NULL allowed) in the column order below.
    void add_rec(int zone, const std::string &values) {
        exec("INSERT INTO zone_dns_records (zone_id, entry_type, host, value, priority, "
             "priority_minor, port, ttl, services, flag, regex_flag, regex, replacement) VALUES (" +
             std::to_string(zone) + ", " + values + ")");
    }
    void add_simple(int zone, const std::string &type, const std::string &host,
                    const std::string &value, const std::string &priority = "0") {
        add_rec(zone, "'" + type + "', '" + host + "', '" + value + "', " + priority +
                          ", NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL");
    }

    zone_ptr load(int id, const std::string &name, int type = 1) {
        return get_sql_more_info(conn.get(), id, type, name);
    }

    // Writes the zone into the work directory; the file's path, or "" when refused.
    std::string write(int id, const std::string &name, const zone_info &zone,
                      std::string *problem = nullptr) {
        std::string file;
        EXPECT_EQ(zone_file_name(name, file), 0);
        const std::string path = work.file("master/" + file);
        zone_serial serial;
        get_serial(zone, "RFC", serial);
        if (write_zone_file(path, name, zone, id, serial, env, problem) != 0)
            return "";
        return path;
    }

    program_result check(const std::string &name, const std::string &path) {
        return run_program(checkzone, {"-D", "-o", "-", name, path});
    }

    // The records BIND read, as "owner TYPE rdata" (TTL and class dropped), SOA excluded.
    static std::vector<std::string> records_bind_read(const std::string &dump) {
        std::vector<std::string> out;
        std::istringstream lines(dump);
        std::string line, owner, ttl, cls, type;
        while (std::getline(lines, line)) {
            std::istringstream f(line);
            if (!(f >> owner >> ttl >> cls >> type) || type == "SOA")
                continue;
            std::string rdata;
            std::getline(f >> std::ws, rdata);
            out.push_back(owner + " " + type + " " + rdata);
        }
        return out;
    }

    test_database db = make_test_database();
    sql_handle conn;
    temp_dir named{"zf-named"};
    temp_dir work{"zf-work"};
    enum_service_set enums{"sip", "h323"};
    zonefile_env env;
};

TEST_F(zonefile_db, every_zone_kind_loads_writes_and_passes_the_check) {
    struct kind {
        std::string name;
        std::vector<std::vector<std::string>> records; // type, host, value[, priority]
        int reverse_kind;
        std::string network;
        int prefix;
    };
    const std::string long_txt(300, 'k');
    const std::vector<kind> kinds = {
        {"example.com.",
         {{"NS", "example.com.", "ns1.example.net.", "1"},
          {"NS", "sub", "ns.sub.example.com."},
          {"A", "ns.sub", "192.0.2.53"},
          {"A", "www", "192.0.2.10"},
          {"AAAA", "www", "2001:db8::10"},
          {"CNAME", "ftp", "www"},
          {"MX", "example.com.", "mail.example.net.", "10"},
          {"TXT", "example.com.", "v=spf1 -all"},
          {"TXT", "long", long_txt},
          {"TXT", "empty", ""}},
         0,
         "",
         0},
        {"2.0.192.in-addr.arpa.",
         {{"NS", "2.0.192.in-addr.arpa.", "ns1.example.net.", "1"},
          {"PTR", "10", "www.example.com."}},
         1,
         "192.0.2",
         24},
        {"0/25.2.0.192.in-addr.arpa.",
         {{"NS", "0/25.2.0.192.in-addr.arpa.", "ns1.example.net.", "1"},
          {"PTR", "5", "h5.example.com."}},
         1,
         "192.0.2.0",
         25},
        {"8.b.d.0.1.0.0.2.ip6.arpa.",
         {{"NS", "8.b.d.0.1.0.0.2.ip6.arpa.", "ns1.example.net.", "1"},
          {"PTR", "1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0", "v6.example.com."}},
         3,
         "",
         0},
        {"1.8.e164.arpa.", {{"NS", "1.8.e164.arpa.", "ns1.example.net.", "1"}}, 2, "", 0},
    };
    for (const kind &k : kinds) {
        SCOPED_TRACE(k.name);
        const int id = add_zone(k.name);
        for (const auto &r : k.records)
            add_simple(id, r[0], r[1], r[2], r.size() > 3 ? r[3] : "0");
        if (k.name == "example.com.")
            add_rec(id, "'SRV', '_sip._udp', 'sip.example.net.', 5, 20, 5060, 0, NULL, NULL, "
                        "NULL, NULL, NULL");
        if (k.name == "1.8.e164.arpa.")
            add_rec(id, "'NAPTR', '4.3.2.1', 'sip:info@example.com', 100, 10, NULL, NULL, 'sip', "
                        "'u', NULL, '^.*$', NULL");

        zone_ptr zone = load(id, k.name);
        ASSERT_TRUE(zone);
        EXPECT_EQ(zone->client_id, 7u);
        EXPECT_EQ(zone->zone_type, 1u);
        EXPECT_EQ(zone->reverse_kind, k.reverse_kind);
        EXPECT_EQ(std::string(zone->network.text), k.network);
        EXPECT_EQ(zone->network.prefix, k.prefix);
        EXPECT_EQ(zone->soa.default_ttl, 86400);
        EXPECT_EQ(zone->soa.expire, 1209600);

        const std::string path = write(id, k.name, *zone);
        ASSERT_FALSE(path.empty());
        program_result r = check(k.name, path);
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err << read_text_file(path);

        std::string file;
        zone_file_name(k.name, file);
        ASSERT_EQ(copy_zone_file(env, path, file, zone->client_id), 0);
        const std::string installed =
            named.file("var/named/" + std::string(1, file[0]) + "/" + file);
        EXPECT_EQ(read_text_file(installed), read_text_file(path));
        EXPECT_EQ(db.count("logs", "info_code = 'ER07' AND message = 'Zone file created' AND "
                                   "client_id = 7 AND info = '" +
                                       installed + "'"),
                  1);
    }
    // the classless zone's file carries "_" for "/"
    EXPECT_TRUE(path_exists(named.file("var/named/0/0_25.2.0.192.in-addr.arpa")));

    // what BIND read of the forward zone: every record, the long TXT in two strings and the
    // empty one as an empty string
    const std::string dump = check("example.com.", work.file("master/example.com")).out;
    const std::vector<std::string> recs = records_bind_read(dump);
    EXPECT_EQ(recs.size(), 11u) << dump;
    EXPECT_NE(dump.find("\"" + std::string(255, 'k') + "\" \"" + std::string(45, 'k') + "\""),
              std::string::npos);
    EXPECT_NE(dump.find("empty.example.com."), std::string::npos);
}

TEST_F(zonefile_db, secondary_zone_loads_options_and_no_records) {
    const int id = add_zone("slave.example.org.", "slave");
    exec("INSERT INTO zone_opt_values (zone_id, type, value) VALUES (" + std::to_string(id) +
         ", 'master', '192.0.2.1'), (" + std::to_string(id) + ", 'master', '192.0.2.1'), (" +
         std::to_string(id) + ", 'allow_transfer', '198.51.100.0/24'), (" + std::to_string(id) +
         ", 'notify', '192.0.2.9')");
    add_simple(id, "A", "www", "192.0.2.1");
    zone_ptr zone = load(id, "slave.example.org.", 2);
    ASSERT_TRUE(zone);
    EXPECT_EQ(zone->zone_type, 2u);
    std::vector<std::string> opts = zone->options;
    std::sort(opts.begin(), opts.end());
    EXPECT_EQ(opts, (std::vector<std::string>{"A198.51.100.0/24", "M192.0.2.1"}));
    for (const auto &slot : zone->records.slots)
        EXPECT_TRUE(slot.empty());
}

// Text a panel user typed must come back from BIND exactly as stored, inside its own record.
TEST_F(zonefile_db, hostile_text_stays_inside_its_record) {
    const int id = add_zone("example.com.");
    add_simple(id, "NS", "example.com.", "ns1.example.net.", "1");
    struct {
        std::string host, value, bind_reads;
    } txts[] = {
        {"q", "a\"b", "\"a\\\"b\""},
        {"nl", "x\"\n$INCLUDE /etc/passwd", "\"x\\\"\\010$INCLUDE /etc/passwd\""},
        {"org", "z\n$ORIGIN evil.\n@ IN NS evil.", "\"z\\010$ORIGIN evil.\\010@ IN NS evil.\""},
        {"bs", "ends in \\", "\"ends in \\\\\""},
        {"semi", "a; (b) c", "\"a; (b) c\""},
        {"empty", "", "\"\""},
        {"dkim", "v=DKIM1\\; k=rsa", "\"v=DKIM1; k=rsa\""},
    };
    for (const auto &t : txts) {
        std::string v = t.value;
        exec("INSERT INTO zone_dns_records (zone_id, entry_type, host, value) VALUES (" +
             std::to_string(id) + ", 'TXT', '" + t.host + "', '" + fr_sql_escape(conn.get(), v) +
             "')");
    }
    add_rec(id, "'NAPTR', 'n', 'sip:\\\\1@x\"', 10, 100, NULL, NULL, 'sip', 'u', NULL, "
                "'^\"(.*)$', NULL");
    // the owner's address holds characters a zone file would read as syntax
    exec("UPDATE client SET email = 'john.doe (ops); x@example.net' WHERE id = 7");

    zone_ptr zone = load(id, "example.com.");
    ASSERT_TRUE(zone);
    const std::string path = write(id, "example.com.", *zone);
    ASSERT_FALSE(path.empty());
    program_result r = check("example.com.", path);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err << read_text_file(path);

    const std::vector<std::string> recs = records_bind_read(r.out);
    EXPECT_EQ(recs.size(), 9u) << r.out; // NS, seven TXT, NAPTR: nothing more
    for (const auto &t : txts) {
        const std::string expected = t.host + ".example.com. TXT " + t.bind_reads;
        EXPECT_NE(std::find(recs.begin(), recs.end(), expected), recs.end()) << expected << "\n"
                                                                             << r.out;
    }
    EXPECT_NE(std::find(recs.begin(), recs.end(),
                        "n.example.com. NAPTR 10 100 \"u\" \"E2U+sip\" "
                        "\"!^\\\"(.*)$!sip:\\\\1@x\\\"!\" ."),
              recs.end())
        << r.out;
    EXPECT_NE(r.out.find("john\\.doe\\032\\(ops\\)\\;\\032x.example.net."), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("evil"), r.out.find("evil.\\010@")) << "only inside the TXT string";
}

TEST_F(zonefile_db, unsafe_names_refuse_the_zone_and_leave_no_file) {
    struct {
        std::string type, host, value;
    } cases[] = {
        {"A", "x\n$INCLUDE /etc/passwd", "192.0.2.1"},
        {"A", "$ORIGIN", "evil."},
        {"CNAME", "c", "www ; comment"},
        {"MX", "m", "mail.example.com. )"},
    };
    int n = 0;
    for (const auto &c : cases) {
        const std::string name = "bad" + std::to_string(n++) + ".example.";
        SCOPED_TRACE(name);
        const int id = add_zone(name);
        add_simple(id, "NS", name, "ns1.example.net.", "1");
        exec("INSERT INTO zone_dns_records (zone_id, entry_type, host, value) VALUES (" +
             std::to_string(id) + ", '" + c.type + "', '" + fr_sql_escape(conn.get(), c.host) +
             "', '" + fr_sql_escape(conn.get(), c.value) + "')");
        zone_ptr zone = load(id, name);
        ASSERT_TRUE(zone);
        std::string problem;
        EXPECT_EQ(write(id, name, *zone, &problem), "");
        EXPECT_FALSE(problem.empty());
        EXPECT_FALSE(path_exists(work.file("master/" + name.substr(0, name.size() - 1))));
    }
}

TEST_F(zonefile_db, bad_rows_are_skipped_and_later_rows_still_read) {
    const int id = add_zone("example.com.");
    add_simple(id, "NS", "example.com.", "ns1.example.net.", "1");
    add_rec(id, "'A', NULL, '192.0.2.1', NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL");
    add_rec(id, "NULL, 'x', '192.0.2.2', NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL");
    add_rec(id, "'A', 'y', NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL");
    add_simple(id, "AFSDB", "afs", "1 afsdb.example.com.");
    add_simple(id, "DNAME", "old", "new.example.com.");
    add_simple(id, "NSEC", "n", "x");
    add_simple(id, "CAA", "c", "0 issue \"ca\"");
    add_simple(id, "A", "www", "192.0.2.10");
    add_rec(id, "'MX', 'example.com.', 'mail.example.net.', NULL, NULL, NULL, NULL, NULL, NULL, "
                "NULL, NULL, NULL");
    exec("INSERT INTO zone_dns_records (zone_id, entry_type, host, value, status) VALUES (" +
         std::to_string(id) + ", 'A', 'off', '192.0.2.99', 9)");

    zone_ptr zone = load(id, "example.com.");
    ASSERT_TRUE(zone) << "a bad row must not fail the zone";
    ASSERT_EQ(zone->records[SLOT_A].size(), 1u);
    EXPECT_EQ(zone->records[SLOT_A][0].host, "www");
    ASSERT_EQ(zone->records[SLOT_MX].size(), 1u);
    EXPECT_EQ(zone->records[SLOT_MX][0].priority, 0);
    size_t total = 0;
    for (const auto &slot : zone->records.slots)
        total += slot.size();
    EXPECT_EQ(total, 3u);
    const std::string path = write(id, "example.com.", *zone);
    EXPECT_EQ(check("example.com.", path).exit_code, 0);
}

TEST_F(zonefile_db, origin_name_server_and_transfer_addresses) {
    const int id = add_zone("example.com.");
    add_simple(id, "NS", "example.com.", "ns0.example.net.", "0");
    add_simple(id, "NS", "example.com.", "ns1.example.com.", "1");
    add_simple(id, "NS", "example.com.", "ns2.example.net.", "1");
    add_simple(id, "NS", "sub", "198.51.100.7");
    add_simple(id, "NS", "sub2", "example.com.");
    add_simple(id, "A", "ns1.example.com.", "192.0.2.1");
    add_simple(id, "A", "ns1.example.com.", "192.0.2.2");
    add_simple(id, "A", "example.com.", "192.0.2.3");
    zone_ptr zone = load(id, "example.com.");
    ASSERT_TRUE(zone);
    std::vector<std::string> order;
    for (const auto &ns : zone->records[SLOT_NS])
        order.push_back(ns.value);
    EXPECT_EQ(order,
              (std::vector<std::string>{"ns1.example.com.", "ns0.example.net.", "ns2.example.net.",
                                        "198.51.100.7", "example.com."}));
    std::vector<std::string> opts = zone->options;
    std::sort(opts.begin(), opts.end());
    // the apex's own address is not added for the NS naming the zone itself
    EXPECT_EQ(opts, (std::vector<std::string>{"A192.0.2.1", "A192.0.2.2", "A198.51.100.7"}));
    const std::string path = write(id, "example.com.", *zone);
    EXPECT_NE(read_text_file(path).find("@\tIN SOA\tns1.example.com.\t"), std::string::npos)
        << "the origin name server (priority 1, first in the array) names the SOA";
}

TEST_F(zonefile_db, soa_values_fall_back_from_zone_to_client_to_system) {
    const int id = add_zone("example.com.");
    exec("INSERT INTO zone_soa (zone_id, param, value) VALUES (" + std::to_string(id) +
         ", 'refresh', '0'), (" + std::to_string(id) + ", 'retry', '1800')");
    exec("INSERT INTO client_prefs (client_id, param, value) VALUES (7, 'refresh', '7200'), "
         "(7, 'retry', '900'), (7, 'expire', '0'), (7, 'min_ttl', NULL)");
    exec("UPDATE misc SET value = '0' WHERE param = 'expire'");
    exec("DELETE FROM misc WHERE param = 'default_ttl'");
    zone_ptr zone = load(id, "example.com.");
    ASSERT_TRUE(zone);
    EXPECT_EQ(zone->soa.refresh, 7200); // zone 0 falls through to the client
    EXPECT_EQ(zone->soa.retry, 1800);   // the zone's own value wins
    EXPECT_EQ(zone->soa.expire, 0);     // the system's 0 is taken as it is
    EXPECT_EQ(zone->soa.min_ttl, 300);  // a NULL preference falls through
    EXPECT_EQ(zone->soa.default_ttl, 0);
}

TEST_F(zonefile_db, serial_modes) {
    struct {
        int mode;
        const char *stored; // nullptr: no serial row
        int64_t serial;
        int mode_after;
        int64_t stored_serial;
    } cases[] = {
        {1, "2024061505", 0, 1, 2024061505},
        {0, "2024061505", 2024061505, 0, 2024061505},
        {2, "2024061505", 2024061505, 1, 2024061505},
        {2, nullptr, 0, 1, 0},
        {0, "garbage", 0, 0, 0},
        {1, "99999999999", 0, 1, 0},
    };
    int n = 0;
    for (const auto &c : cases) {
        const std::string name = "m" + std::to_string(n++) + ".example.";
        SCOPED_TRACE(name);
        const int id =
            add_zone(name, "master", ", serialgeneration", ", " + std::to_string(c.mode));
        if (c.stored)
            exec("INSERT INTO zone_soa (zone_id, param, value) VALUES (" + std::to_string(id) +
                 ", 'serial', '" + c.stored + "')");
        zone_ptr zone = load(id, name);
        ASSERT_TRUE(zone);
        EXPECT_EQ(zone->soa.serial, c.serial);
        EXPECT_EQ(zone->stored_serial, c.stored_serial);
        EXPECT_EQ(*db.value("SELECT serialgeneration FROM zone WHERE id = " + std::to_string(id)),
                  std::to_string(c.mode_after));
    }
}

TEST_F(zonefile_db, query_error_fails_the_load) {
    const int id = add_zone("example.com.");
    add_simple(id, "NS", "example.com.", "ns1.example.net.", "1");
    ASSERT_TRUE(load(id, "example.com."));
    // the SOA values cannot be read: no zone with $TTL 0 and expire 0
    exec("RENAME TABLE client_prefs TO client_prefs_gone");
    EXPECT_FALSE(load(id, "example.com."));
    exec("RENAME TABLE client_prefs_gone TO client_prefs");
    exec("RENAME TABLE zone_dns_records TO records_gone");
    EXPECT_FALSE(load(id, "example.com."));
    EXPECT_TRUE(load(id, "example.com.", 2)) << "a secondary zone reads no records";
    exec("RENAME TABLE records_gone TO zone_dns_records");
    EXPECT_FALSE(load(9999, "missing.example.")) << "no such zone";
}

TEST_F(zonefile_db, batch_gives_each_zone_its_own_rows) {
    exec("INSERT INTO client (id, login, email) VALUES (8, 'bob', 'bob@example.org')");
    exec("INSERT INTO client_prefs (client_id, param, value) VALUES (8, 'retry', '1234')");
    const int a = add_zone("a.example.");
    const int orphan = add_zone("orphan.example.");
    exec("UPDATE zone SET client_id = 99 WHERE id = " + std::to_string(orphan));
    const int b = add_zone("b.example.", "master", ", serialgeneration", ", 2");
    exec("UPDATE zone SET client_id = 8 WHERE id = " + std::to_string(b));
    const int s = add_zone("s.example.", "slave");
    for (const int id : {a, b, orphan})
        add_simple(id, "NS", "x", "ns1.example.net.", "1");
    add_simple(a, "A", "www", "192.0.2.1");
    add_simple(b, "A", "www", "192.0.2.2");
    add_simple(a, "A", "mail", "192.0.2.3");
    add_simple(s, "A", "www", "192.0.2.4"); // a secondary zone reads no records
    exec("INSERT INTO zone_opt_values (zone_id, type, value) VALUES (" + std::to_string(s) +
         ", 'master', '192.0.2.53'), (" + std::to_string(a) + ", 'allow_transfer', '192.0.2.9')");
    exec("INSERT INTO zone_soa (zone_id, param, value) VALUES (" + std::to_string(b) +
         ", 'serial', '2024061505')");
    const std::string names[] = {"b.example.", "orphan.example.", "a.example.", "s.example."};
    const std::vector<zone_request> batch = {
        {b, 1, &names[0]}, {orphan, 1, &names[1]}, {a, 1, &names[2]}, {s, 2, &names[3]}};
    const auto mode_of_b = [&] {
        return *db.value("SELECT serialgeneration FROM zone WHERE id = " + std::to_string(b));
    };

    // A statement that fails fails every zone of the batch that was not refused before it,
    // and the one-shot serial mode stays for the next load.
    exec("RENAME TABLE zone_opt_values TO options_gone");
    std::vector<zone_loaded> out;
    load_zone_batch(conn.get(), batch, out);
    exec("RENAME TABLE options_gone TO zone_opt_values");
    ASSERT_EQ(out.size(), 4u);
    for (size_t i : {0u, 2u, 3u}) {
        EXPECT_FALSE(out[i].zone) << names[i];
        EXPECT_TRUE(out[i].error.database) << names[i];
    }
    EXPECT_EQ(out[1].error.refusal, "The zone has no owning client.");
    EXPECT_EQ(mode_of_b(), "2");

    load_zone_batch(conn.get(), batch, out);
    ASSERT_TRUE(out[0].zone && out[2].zone && out[3].zone);
    EXPECT_FALSE(out[1].zone);
    EXPECT_FALSE(out[1].error.database);
    const zone_info &zb = *out[0].zone, &za = *out[2].zone, &zs = *out[3].zone;
    EXPECT_EQ(zb.client_email, "bob@example.org");
    EXPECT_EQ(zb.soa.retry, 1234); // its client's preference
    EXPECT_EQ(za.soa.retry, 600);  // the system's: its client has none
    EXPECT_EQ(zb.soa.serial, 2024061505);
    EXPECT_EQ(za.soa.serial, 0);
    EXPECT_EQ(mode_of_b(), "1");
    ASSERT_EQ(za.records[SLOT_A].size(), 2u);
    EXPECT_EQ(za.records[SLOT_A][0].value, "192.0.2.1");
    EXPECT_EQ(za.records[SLOT_A][1].value, "192.0.2.3");
    ASSERT_EQ(zb.records[SLOT_A].size(), 1u);
    EXPECT_EQ(zb.records[SLOT_A][0].value, "192.0.2.2");
    EXPECT_EQ(za.options, std::vector<std::string>{"A192.0.2.9"});
    EXPECT_TRUE(zb.options.empty());
    EXPECT_EQ(zs.options, std::vector<std::string>{"M192.0.2.53"});
    EXPECT_TRUE(zs.records[SLOT_A].empty());

    std::vector<size_t> counts;
    ASSERT_EQ(count_zone_records(conn.get(), batch, counts), 0);
    EXPECT_EQ(counts, (std::vector<size_t>{2, 1, 3, 0}));
}

TEST_F(zonefile_db, null_columns_do_not_crash) {
    const int id = add_zone("example.com.");
    add_simple(id, "NS", "example.com.", "ns1.example.net.", "1");
    exec("UPDATE zone SET revision = NULL WHERE id = " + std::to_string(id));
    zone_ptr zone = load(id, "example.com.");
    ASSERT_TRUE(zone) << "a zone that never had a serial generated still loads";
    EXPECT_EQ(zone->revision, "");

    exec("UPDATE client SET email = NULL WHERE id = 7");
    zone = load(id, "example.com.");
    ASSERT_TRUE(zone);
    std::string problem;
    EXPECT_EQ(write(id, "example.com.", *zone, &problem), "") << "no SOA mailbox, no file";
    EXPECT_NE(problem.find("SOA mailbox"), std::string::npos);

    exec("UPDATE client SET email = 'hostmaster' WHERE id = 7");
    zone = load(id, "example.com.");
    ASSERT_TRUE(zone);
    EXPECT_EQ(write(id, "example.com.", *zone), "") << "an address without '@' is refused";

    exec("UPDATE zone SET client_id = 8 WHERE id = " + std::to_string(id));
    EXPECT_FALSE(load(id, "example.com.")) << "no owning client";
}

// Every write of one zone publishes a serial newer than the last, also past 99 a day.
TEST_F(zonefile_db, generated_serial_is_stored_and_keeps_increasing) {
    const int id = add_zone("example.com.", "master", ", revision", ", ''");
    add_simple(id, "NS", "example.com.", "ns1.example.net.", "1");
    uint32_t last = 0;
    for (int i = 0; i < 105; ++i) {
        zone_ptr zone = load(id, "example.com.");
        ASSERT_TRUE(zone);
        zone_serial serial;
        get_serial(*zone, "RFC", serial);
        const std::string path = work.file("master/example.com");
        ASSERT_EQ(write_zone_file(path, "example.com.", *zone, id, serial, env), 0);
        EXPECT_EQ(*db.value("SELECT value FROM zone_soa WHERE param = 'serial' AND zone_id = " +
                            std::to_string(id)),
                  serial.serial);
        const uint32_t now = static_cast<uint32_t>(parse_serial(serial.serial));
        if (i > 0) {
            ASSERT_TRUE(serial_newer(now, last)) << serial.serial << " after " << last;
        }
        last = now;
        // what the worker stores after installing the zone
        exec("UPDATE zone SET revision = '" + serial.serial + "' WHERE id = " + std::to_string(id));
        if (i == 104) {
            program_result r = check("example.com.", path);
            EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
            EXPECT_NE(r.out.find(serial.serial), std::string::npos);
        }
    }
    // an own serial (mode 0) is written as it stands and not stored again
    exec("UPDATE zone SET serialgeneration = 0 WHERE id = " + std::to_string(id));
    exec("UPDATE zone_soa SET value = '42' WHERE param = 'serial' AND zone_id = " +
         std::to_string(id));
    zone_ptr zone = load(id, "example.com.");
    ASSERT_TRUE(zone);
    zone_serial serial;
    get_serial(*zone, "RFC", serial);
    const std::string path = write(id, "example.com.", *zone);
    EXPECT_NE(read_text_file(path).find("\t\t\t\t\t42\t; serial\n"), std::string::npos);
    EXPECT_EQ(*db.value("SELECT value FROM zone_soa WHERE param = 'serial' AND zone_id = " +
                        std::to_string(id)),
              "42");
}

TEST_F(zonefile_db, install_and_remove_write_event_rows) {
    write_text_file(work.file("master/example.com"), "zone text\n");
    ASSERT_EQ(copy_zone_file(env, work.file("master/example.com"), "example.com", 7), 0);
    const std::string installed = named.file("var/named/e/example.com");
    EXPECT_EQ(read_text_file(installed), "zone text\n");

    // a failed installation: ER05 with the destination, the installed file unchanged
    EXPECT_EQ(copy_zone_file(env, work.file("master/missing"), "example.com", 7), -1);
    EXPECT_EQ(db.count("logs", "info_code = 'ER05' AND level = 3 AND client_id = 7 AND info = "
                               "'fail|write|" +
                                   installed + "'"),
              1);
    EXPECT_EQ(read_text_file(installed), "zone text\n");

    named.make_subdir("var/named/slaves/e");
    write_text_file(named.file("var/named/slaves/e/example.com"), "slave\n");
    EXPECT_EQ(remove_zone_file(env, "example.com.", 3, 0), 0);
    EXPECT_FALSE(path_exists(installed));
    EXPECT_FALSE(path_exists(named.file("var/named/slaves/e/example.com")));
    EXPECT_EQ(
        db.count("logs", "info_code = 'ER07' AND message = 'Zone file removed' AND level = 5"), 2);
    // removing again finds nothing and writes nothing
    EXPECT_EQ(remove_zone_file(env, "example.com.", 3, 0), 0);
    EXPECT_EQ(db.count("logs", "message = 'Zone file removed'"), 2);
}

} // namespace
