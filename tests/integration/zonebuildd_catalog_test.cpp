// The catalog zone end to end: a primary named fed by zonebuildd, a secondary configured only
// with `catalog-zones`, and dig asking the secondary what it learned.
#include "catalog_zone.h"

#include "catalog_fixture.h"
#include "mariadb_fixture.h"
#include "run_program.h"

#include <gtest/gtest.h>

#include <csignal>
#include <map>

namespace {

// The catalog text as BIND's consumer reads it, with the primary serving files by hand.
TEST(CatalogSecondary, FollowsTheCatalogText) {
    catalog_servers ns("catalog.zonaris.invalid");
    const std::string soa = "$TTL 300\n@ IN SOA ns1.example.net. h.example.net. 1 600 300 "
                            "86400 60\n@ IN NS ns1.example.net.\n";
    write_text_file(ns.primary.directory + "/a.db", soa + "www IN A 192.0.2.1\n");
    write_text_file(ns.primary.directory + "/r.db", soa + "65 IN PTR h.example.com.\n");
    std::vector<catalog_member> members = {
        {catalog_base_label("a.example."), "a.example."},
        {catalog_base_label("64/26.2.0.192.in-addr.arpa."), "64/26.2.0.192.in-addr.arpa."}};
    write_text_file(ns.primary.directory + "/catalog.db", catalog_zone_text("1", members));
    const std::string acl = "allow-transfer { 127.0.0.1; };";
    write_text_file(ns.primary.include_file,
                    "zone \"catalog.zonaris.invalid\" { type master; file \"catalog.db\"; " + acl +
                        " };\nzone \"a.example\" { type master; file \"a.db\"; " + acl +
                        " };\nzone \"64/26.2.0.192.in-addr.arpa\" { type master; file "
                        "\"r.db\"; " +
                        acl + " };\n");
    ASSERT_TRUE(ns.start()) << ns.primary.log() << ns.secondary.log();
    EXPECT_TRUE(ns.secondary_answers("www.a.example", "A", "192.0.2.1")) << ns.secondary.log();
    EXPECT_TRUE(ns.secondary_answers("65.64/26.2.0.192.in-addr.arpa", "PTR", "h.example.com."));

    members.pop_back();
    write_text_file(ns.primary.directory + "/catalog.db", catalog_zone_text("2", members));
    ASSERT_EQ(ns.primary.rndc({"reload"}).exit_code, 0);
    EXPECT_TRUE(ns.secondary_refuses("64/26.2.0.192.in-addr.arpa")) << ns.secondary.log();
    EXPECT_TRUE(ns.secondary_answers("www.a.example", "A", "192.0.2.1"));
}

// The panel, zonebuildd with a catalog, the two name servers.
class CatalogBuilder : public ::testing::Test {
  protected:
    void SetUp() override {
        exec(std::string("INSERT INTO misc(param, value) VALUES('log_level', '7'), ('refresh', "
                         "'3600'), ('retry', '600'), ('expire', '86400'), ('min_ttl', '300'), "
                         "('default_ttl', '300');"
                         "INSERT INTO client(id, login, name, email) VALUES(7, 'ann', 'Ann', "
                         "'hostmaster@example.net');"
                         "INSERT INTO global_transfer_ips(ip) VALUES('127.0.0.1');"
                         "INSERT INTO file_template_default(id, name) VALUES(1, "
                         "'zonaris.include');"
                         "INSERT INTO file_template(file_template_default_id, content) VALUES(1, "
                         "'zone \"[zone_name]\" { type [zone_type]; file \"[zone_file_name]\"; "
                         "[zone_options]; };')"));
        ASSERT_TRUE(ns.start_primary()) << ns.primary.log();
        config_pairs keys = db.config();
        for (const auto &kv : ns.primary.config())
            keys.push_back(kv);
        keys.emplace_back("TEMP_D", work.file("tmp"));
        keys.emplace_back("ZONEBUILD_PID_FILE", work.file("zonebuildd.pid"));
        keys.emplace_back("ZONEBUILD_CATALOG_ZONE", ns.catalog);
        etc.write_conf(keys);
    }
    void TearDown() override {
        if (daemon && daemon->running()) {
            daemon->signal(SIGTERM);
            daemon->wait_exit(60);
        }
    }

    void exec(const std::string &sql) { ASSERT_EQ(0, db.exec(sql)) << db.last_error() << sql; }

    // A zone queued for the zone builder: a primary zone with its origin NS and one record
    // (`host` A `value`, or PTR in a reverse zone), or a secondary zone.
    void add_zone(const std::string &name, const std::string &host, const std::string &value,
                  const std::string &type = "master") {
        exec("INSERT INTO zone(name, type, client_id) VALUES('" + name + "', '" + type + "', 7)");
        const std::string id = *db.value("SELECT id FROM zone WHERE name = '" + name + "'");
        if (type != "master") {
            exec("INSERT INTO zone_opt_values(zone_id, type, value) VALUES(" + id +
                 ", 'master', '192.0.2.53')");
        } else {
            exec("INSERT INTO zone_dns_records(zone_id, entry_type, host, value, priority) "
                 "VALUES(" +
                 id + ", 'NS', '" + name + "', 'ns1.example.net.', 1), (" + id + ", '" +
                 (name.find(".arpa.") == std::string::npos ? "A" : "PTR") + "', '" + host + "', '" +
                 value + "', NULL)");
        }
        queue(name, "u");
    }
    void delete_zone(const std::string &name) {
        exec("DELETE zone_dns_records FROM zone_dns_records JOIN zone ON zone.id = zone_id "
             "WHERE zone.name = '" +
             name + "'");
        exec("DELETE FROM zone WHERE name = '" + name + "'");
        queue(name, "d");
    }
    void queue(const std::string &name, const std::string &type) {
        exec("INSERT INTO changes(zone_name, type, timestamp) VALUES('" + name + "', '" + type +
             "', UNIX_TIMESTAMP())");
    }

    long long jobs(const std::string &kind) {
        return db.count("logs", "message = 'Job finished. " + kind + "'");
    }
    // The job `start` asks for (zonebuild --now or --restore, or the daemon's start),
    // until its end; it must succeed.
    void job(const std::string &kind, const std::function<void()> &start) {
        const long long before = jobs(kind);
        start();
        ASSERT_TRUE(wait_until([&] { return jobs(kind) > before; }, 120)) << daemon->err();
        EXPECT_EQ(0, db.count("logs", "info = 'FR_FAIL'")) << daemon->err();
    }
    void zonebuild(const std::string &flag, const std::string &kind) {
        job(kind, [&] {
            run_options opts;
            opts.env = {etc.env()};
            program_result r = run_program(program_path("zonebuild"), {flag}, opts);
            ASSERT_EQ(0, r.exit_code) << r.out << r.err;
        });
    }
    void start_daemon() {
        job("Changes", [&] {
            run_options opts;
            opts.env = {etc.env()};
            daemon.emplace(start_program(program_path("zonebuildd"), {"-X"}, opts));
        });
    }

    // The installed catalog: member name -> label.
    std::map<std::string, std::string> catalog_labels(int64_t *serial = nullptr) {
        catalog_contents c;
        EXPECT_EQ(parse_catalog_zone(read_text_file(ns.primary.directory + "/c/" + ns.catalog), c),
                  0);
        if (serial)
            *serial = c.serial;
        std::map<std::string, std::string> out;
        for (const catalog_member &m : c.members)
            out[m.name] = m.label;
        return out;
    }

    test_database db = make_test_database();
    catalog_servers ns{"catalog.zonaris.invalid"};
    test_etc_dir etc;
    temp_dir work{"zb-catalog"};
    std::optional<running_program> daemon;
};

TEST_F(CatalogBuilder, SecondaryFollowsThePanelThroughTheCatalog) {
    add_zone("a.example.", "www", "192.0.2.1");
    add_zone("0/26.2.0.192.in-addr.arpa.", "5", "h.example.com.");
    add_zone("sec.example.", "", "", "slave");
    start_daemon(); // its first job serves the three rows and makes the catalog
    ASSERT_TRUE(ns.start_secondary()) << ns.secondary.log();
    EXPECT_TRUE(ns.secondary_answers("www.a.example", "A", "192.0.2.1")) << ns.secondary.log();
    EXPECT_TRUE(ns.secondary_answers("5.0/26.2.0.192.in-addr.arpa", "PTR", "h.example.com."));
    const auto first = catalog_labels();
    EXPECT_EQ(first.size(), 2u) << "a secondary zone of this server is no member";
    EXPECT_EQ(first.at("a.example."), catalog_base_label("a.example."));

    // Added in the panel: answered by the secondary after zonebuild --now.
    add_zone("b.example.", "www", "192.0.2.3");
    zonebuild("--now", "Changes");
    EXPECT_TRUE(ns.secondary_answers("www.b.example", "A", "192.0.2.3")) << ns.secondary.log();

    // Only data changed: the catalog stays as it was.
    int64_t serial = 0, unchanged = 0;
    catalog_labels(&serial);
    exec("UPDATE zone_dns_records SET value = '192.0.2.9' WHERE entry_type = 'A' AND zone_id = "
         "(SELECT id FROM zone WHERE name = 'a.example.')");
    queue("a.example.", "u");
    zonebuild("--now", "Changes");
    EXPECT_TRUE(ns.primary.dig("www.a.example", "A") == std::vector<std::string>{"192.0.2.9"});
    catalog_labels(&unchanged);
    EXPECT_EQ(unchanged, serial);

    // Deleted in the panel: the secondary drops it.
    delete_zone("0/26.2.0.192.in-addr.arpa.");
    zonebuild("--now", "Changes");
    EXPECT_TRUE(ns.secondary_refuses("0/26.2.0.192.in-addr.arpa")) << ns.secondary.log();
    EXPECT_TRUE(ns.secondary_answers("www.b.example", "A", "192.0.2.3"));

    // A restore rebuilds the catalog with the same labels.
    const auto before = catalog_labels(&serial);
    zonebuild("--restore", "Restore");
    int64_t rebuilt = 0;
    EXPECT_EQ(catalog_labels(&rebuilt), before);
    EXPECT_NE(rebuilt, serial);
    EXPECT_EQ(before.size(), 2u);
    EXPECT_TRUE(ns.secondary_answers("www.a.example", "A", "192.0.2.9"));
    EXPECT_TRUE(ns.secondary_answers("www.b.example", "A", "192.0.2.3"));
}

TEST_F(CatalogBuilder, AHostedZoneOfTheCatalogsNameTakesItsPlaceUntilDeleted) {
    add_zone("a.example.", "www", "192.0.2.1");
    start_daemon();
    const std::string cat = ns.catalog;
    const auto statements = [&] {
        const std::string text = read_text_file(ns.primary.include_file);
        size_t n = 0;
        for (size_t at = text.find("zone \"" + cat + "\""); at != std::string::npos;
             at = text.find("zone \"" + cat + "\"", at + 1))
            ++n;
        return n;
    };
    ASSERT_EQ(statements(), 1u);
    ASSERT_TRUE(wait_until([&] { return ns.primary.soa_serial(cat).has_value(); }, 30));

    add_zone(cat + ".", "www", "192.0.2.7");
    zonebuild("--now", "Changes");
    EXPECT_EQ(statements(), 1u) << "one statement: the hosted zone's";
    EXPECT_TRUE(wait_until(
        [&] { return ns.primary.dig("www." + cat, "A") == std::vector<std::string>{"192.0.2.7"}; },
        30));

    delete_zone(cat + ".");
    zonebuild("--now", "Changes");
    EXPECT_EQ(statements(), 0u);
    add_zone("b.example.", "www", "192.0.2.2");
    zonebuild("--now", "Changes");
    EXPECT_EQ(statements(), 1u);
    const auto labels = catalog_labels();
    EXPECT_EQ(labels.size(), 2u);
    EXPECT_EQ(labels.count("a.example."), 1u);
    EXPECT_TRUE(wait_until([&] { return ns.primary.soa_serial(cat).has_value(); }, 30));
}

} // namespace
