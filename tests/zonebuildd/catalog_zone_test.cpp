#include "catalog_zone.h"

#include "check_tool.h"
#include "dns_common.h"
#include "temp_dir.h"
#include "zone_serial.h"

#include <gtest/gtest.h>

namespace {

std::vector<catalog_member> labels_for(const std::set<std::string> &names,
                                       const std::vector<catalog_member> &previous = {}) {
    // Every name collides: the rule alone decides.
    return assign_member_labels(names, previous, [](std::string_view) { return "c0ffee"; });
}

TEST(CatalogLabel, IsTheLeadingSha256OfTheLowerCasedWireName) {
    // Digests computed independently (Python hashlib over the wire form).
    EXPECT_EQ(catalog_base_label("example.com."), "902e9c464fa43fca");
    EXPECT_EQ(catalog_base_label("Example.COM"), "902e9c464fa43fca");
    EXPECT_EQ(catalog_base_label("0/25.2.0.192.in-addr.arpa."), "c0d1d976ca5dfd28");
    EXPECT_NE(catalog_base_label("example.net."), catalog_base_label("example.com."));
}

TEST(CatalogLabel, CollisionsNeverMoveAnAssignedLabel) {
    // Without history: the names' order decides.
    const auto first = labels_for({"a.test.", "b.test.", "c.test."});
    ASSERT_EQ(first.size(), 3u);
    EXPECT_EQ(first[0], (catalog_member{"c0ffee", "a.test."}));
    EXPECT_EQ(first[1], (catalog_member{"c0ffee-2", "b.test."}));
    EXPECT_EQ(first[2], (catalog_member{"c0ffee-3", "c.test."}));

    // A zone that sorts first arrives later: the listed ones keep their labels.
    const auto later = labels_for({"0.test.", "a.test.", "b.test.", "c.test."}, first);
    EXPECT_EQ(later[0], (catalog_member{"c0ffee-4", "0.test."}));
    EXPECT_EQ(std::vector<catalog_member>(later.begin() + 1, later.end()), first);

    // The holder of the base label goes: nobody moves up into it.
    const auto after_removal = labels_for({"b.test.", "c.test."}, first);
    EXPECT_EQ(after_removal, std::vector<catalog_member>(first.begin() + 1, first.end()));

    // A label that this writer would never produce, or a second claim on one, is reassigned.
    const auto repaired = labels_for({"a.test.", "b.test."}, {{"Bad_Label", "a.test."},
                                                              {"c0ffee", "b.test."},
                                                              {"c0ffee", "a.test."},
                                                              {"c0ffee-9", "gone.test."}});
    EXPECT_EQ(repaired,
              (std::vector<catalog_member>{{"c0ffee-2", "a.test."}, {"c0ffee", "b.test."}}));
}

TEST(CatalogMembers, FollowTheJobAndTheServedStatements) {
    const std::set<std::string> served = {"kept.test.",      "new.test.",     "retyped.test.",
                                          "secondary.test.", "catalog.test.", "skipped.test."};
    const std::set<std::string> before = {"kept.test.", "retyped.test.", "skipped.test.",
                                          "removed.test."};
    catalog_changes changes;
    changes.primaries = {"new.test."};
    changes.dropped = {"retyped.test.", "removed.test."};
    EXPECT_EQ(catalog_member_names(served, before, changes, "catalog.test."),
              (std::set<std::string>{"kept.test.", "new.test.", "skipped.test."}));
    // A written zone that is not in the include file is not served: not listed.
    changes.primaries.insert("lost.test.");
    EXPECT_EQ(catalog_member_names(served, before, changes, "catalog.test.").count("lost.test."),
              0u);
}

TEST(CatalogSerial, IsNewerThanThePreviousOne) {
    const time_t now = 1765195200; // 2025-12-08
    for (int64_t previous : {int64_t{0}, int64_t{1765195200}, int64_t{2025120899},
                             int64_t{2099010105}, int64_t{4294967295}}) {
        for (const char *format : {"RFC", "timestamp"}) {
            const int64_t next = parse_serial(catalog_serial(previous, format, now));
            ASSERT_GE(next, 1) << previous << " " << format;
            EXPECT_EQ(serial_newer(static_cast<uint32_t>(next), static_cast<uint32_t>(previous)), 1)
                << previous << " " << format << " gave " << next;
        }
    }
    EXPECT_EQ(catalog_serial(-1, "timestamp", now), "1765195200");
}

TEST(CatalogName, IsADomainNameInCanonicalForm) {
    EXPECT_EQ(catalog_configured_name("Catalog.Zonaris.Invalid"), "catalog.zonaris.invalid.");
    EXPECT_EQ(catalog_configured_name("catalog.example."), "catalog.example.");
    for (const char *bad : {"", ".", "catalog", "two words.example", "a..example", "x\";.example"})
        EXPECT_EQ(catalog_configured_name(bad), std::nullopt) << bad;
}

class CatalogText : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ASSERT_EQ(bind9_init(), 0); }
    temp_dir dir{"zonaris-catalog"};
};

TEST_F(CatalogText, LoadsInBindAndReadsBack) {
    const std::vector<catalog_member> members = {
        {"902e9c464fa43fca", "example.com."},
        {"c0d1d976ca5dfd28", "0/25.2.0.192.in-addr.arpa."},
        {"0123456789abcdef-2", "odd;name\\\".test."},
    };
    const std::string text = catalog_zone_text("2025120801", members);
    EXPECT_NE(text.find("@\tIN SOA\tinvalid. invalid. (\n\t\t\t2025120801\t; serial\n"),
              std::string::npos);
    EXPECT_NE(text.find("\n@\tIN NS\tinvalid.\nversion\tIN TXT\t\"2\"\n"), std::string::npos);
    EXPECT_NE(text.find("\n902e9c464fa43fca.zones\tIN PTR\texample.com.\n"), std::string::npos);
    EXPECT_NE(text.find("\nc0d1d976ca5dfd28.zones\tIN PTR\t0/25.2.0.192.in-addr.arpa.\n"),
              std::string::npos);
    EXPECT_NE(text.find("\t\t\t0 )\t; minimum\n"), std::string::npos);

    const std::string path = dir.file("catalog");
    write_text_file(path, text);
    bind9_consume_log();
    EXPECT_EQ(bind9_checkzone("catalog.zonaris.invalid", path.c_str()), 0) << bind9_consume_log();

    catalog_contents back;
    ASSERT_EQ(parse_catalog_zone(text, back), 0);
    EXPECT_EQ(back.serial, 2025120801);
    EXPECT_EQ(back.members, members);

    catalog_contents none;
    EXPECT_EQ(parse_catalog_zone("$TTL 0\n@ IN SOA a. b. ( 1 ; serial\n", none), -1)
        << "no version: not a catalog";
}

// The job's part, with files only: a fake include file, the named tree in a temp dir.
class CatalogJob : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        _init_global_str();
        ASSERT_EQ(bind9_init(), 0);
    }
    void SetUp() override {
        root = dir.make_subdir("root");
        dir.make_subdir("root/var/named");
        dir.make_subdir("root/etc");
        work = dir.make_subdir("tmp/tmp_1");
        dir.make_subdir("tmp/tmp_1/var/named");
        env.named.paths.named_root = root;
        env.named.paths.include_file = "etc/zonaris.include";
        env.named.paths.include_base = "zonaris.include";
        env.named.paths.master_dir = "var/named";
        env.named.paths.temp_dir = dir.file("tmp");
        env.named.paths.work_name = "tmp_1";
        env.zonefile.named_root = root;
        env.zonefile.master_dir = "var/named";
        env.entry_template = "zone \"[zone_name]\" { type [zone_type]; file "
                             "\"[zone_file_name]\"; [zone_options]; };\n";
        env.work_dir = work;
        env.serial_format = "timestamp";
        env.active_primaries = [this](std::set<std::string> &out) {
            ++panel_reads;
            out = panel_primaries;
            return 0;
        };
        cat.name = "catalog.test.";
        cat.file_name = "catalog.test";
    }

    // One job: the include file holds `zones`; the catalog is written and installed.
    std::string run(const std::vector<std::string> &zones, const catalog_changes &changes,
                    bool rebuild = false) {
        std::string include;
        for (const std::string &z : zones)
            include += "zone \"" + z + "\" { type master; file \"x\"; };\n";
        const std::string path = work + "/zonaris.include";
        write_text_file(path, include);
        FILE *f = fopen(path.c_str(), "a");
        EXPECT_EQ(catalog_write(cat, changes, rebuild, f, env), 0);
        fclose(f);
        EXPECT_EQ(catalog_install(cat, env), 0);
        return read_text_file(path).substr(include.size());
    }
    catalog_contents installed() {
        catalog_contents c;
        EXPECT_EQ(parse_catalog_zone(read_text_file(root + "/var/named/c/catalog.test"), c), 0);
        return c;
    }
    std::set<std::string> names(const catalog_contents &c) {
        std::set<std::string> out;
        for (const catalog_member &m : c.members)
            out.insert(m.name);
        return out;
    }

    temp_dir dir{"zonaris-catalog-job"};
    std::string root, work;
    catalog_env env;
    catalog_job cat;
    std::set<std::string> panel_primaries;
    int panel_reads = 0;
};

TEST_F(CatalogJob, TouchesTheFileOnlyWhenMembersChange) {
    // First job: no catalog yet, the panel says which served zones are primary zones.
    panel_primaries = {"a.test.", "b.test.", "not-served.test."};
    const std::string statement = run({"a.test", "b.test", "sec.test"}, {});
    EXPECT_EQ(statement, "zone \"catalog.test\" { type master; file \"c/catalog.test\"; "
                         "allow-transfer {\n\t\tcommon-allow-transfer;\n\t}; };\n");
    EXPECT_EQ(panel_reads, 1);
    const catalog_contents first = installed();
    EXPECT_EQ(names(first), (std::set<std::string>{"a.test.", "b.test."}));

    // A job that only changed data: the same statement, the file untouched.
    catalog_changes data_only;
    data_only.primaries = {"a.test."};
    EXPECT_EQ(run({"a.test", "b.test", "sec.test"}, data_only), statement);
    EXPECT_EQ(installed().serial, first.serial);
    EXPECT_EQ(panel_reads, 1) << "the previous catalog says who the members are";

    // A zone added, one removed, one retyped: a new serial, the others keep their labels.
    catalog_changes changes;
    changes.primaries = {"new.test."};
    changes.dropped = {"b.test.", "a.test."};
    run({"a.test", "new.test", "sec.test"}, changes);
    const catalog_contents second = installed();
    EXPECT_EQ(names(second), (std::set<std::string>{"new.test."}));
    EXPECT_EQ(
        serial_newer(static_cast<uint32_t>(second.serial), static_cast<uint32_t>(first.serial)), 1);

    // A rebuild writes a new serial with the same labels.
    run({"new.test", "sec.test"}, {}, true);
    const catalog_contents third = installed();
    EXPECT_EQ(third.members, second.members);
    EXPECT_NE(third.serial, second.serial);
}

TEST_F(CatalogJob, AFailedWriteFailsTheStepAndInstallsNothing) {
    panel_primaries = {"a.test."};
    env.work_dir = dir.file("missing"); // the work copy cannot be written
    const std::string path = work + "/zonaris.include";
    write_text_file(path, "zone \"a.test\" { type master; file \"x\"; };\n");
    FILE *f = fopen(path.c_str(), "a");
    EXPECT_EQ(catalog_write(cat, {}, false, f, env), -1);
    fclose(f);
    EXPECT_FALSE(cat.changed);
    EXPECT_EQ(catalog_install(cat, env), 0);
    EXPECT_EQ(read_text_file(path), "zone \"a.test\" { type master; file \"x\"; };\n")
        << "no statement for a catalog that is not there";
    EXPECT_FALSE(path_exists(root + "/var/named/c/catalog.test"));
}

TEST_F(CatalogJob, AHostedZoneOfTheSameNameWins) {
    EXPECT_EQ(run({"a.test", "Catalog.Test"}, {}), "");
    EXPECT_TRUE(cat.name.empty());
    EXPECT_FALSE(path_exists(root + "/var/named/c/catalog.test"));
}

} // namespace
