// What the include and ACL code reads from and records in the panel's database: the entry
// template, the global transfer list and the event rows.
#include "named_conf.h"

#include "dns_common.h"
#include "mariadb_fixture.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

class NamedDb : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { _init_global_str(); }

    test_database db = make_test_database();
    sql_handle conn = db.connect();
    temp_dir dir{"zonaris-named-db"};
    named_ctx ctx;

    void SetUp() override {
        ASSERT_TRUE(conn);
        ctx.db = conn.get();
        ctx.event_level = 5;
        ctx.paths.named_root = dir.make_subdir("root");
        dir.make_subdir("root/etc");
        ctx.paths.include_file = "etc/zonaris.include";
        ctx.paths.include_base = "zonaris.include";
        ctx.paths.acl_file = "etc/zonaris.acl";
        ctx.paths.acl_base = "zonaris.acl";
        ctx.paths.temp_dir = dir.make_subdir("tmp");
        ctx.paths.work_name = "tmp_7";
        dir.make_subdir("tmp/tmp_7");
    }

    sql_rows events() {
        return db.rows("SELECT facility, level, message, info_code, info FROM logs ORDER BY id");
    }
};

TEST_F(NamedDb, TemplateMustNameTheZone) {
    struct {
        const char *what;
        const char *setup; // SQL run on an empty pair of tables
        int rc;
    } cases[] = {
        {"no template at all", "", -1},
        {"default without the administrator's version",
         "INSERT INTO file_template_default(id, name, content) VALUES(1, 'zonaris.include', "
         "'zone \"[zone_name]\" { };')",
         -1},
        {"NULL content",
         "INSERT INTO file_template_default(id, name) VALUES(1, 'zonaris.include');"
         "INSERT INTO file_template(file_template_default_id, content) VALUES(1, NULL)",
         -1},
        {"empty content",
         "INSERT INTO file_template_default(id, name) VALUES(1, 'zonaris.include');"
         "INSERT INTO file_template(file_template_default_id, content) VALUES(1, '')",
         -1},
        {"blank content",
         "INSERT INTO file_template_default(id, name) VALUES(1, 'zonaris.include');"
         "INSERT INTO file_template(file_template_default_id, content) VALUES(1, ' \\n\\t')",
         -1},
        {"no [zone_name]",
         "INSERT INTO file_template_default(id, name) VALUES(1, 'zonaris.include');"
         "INSERT INTO file_template(file_template_default_id, content) "
         "VALUES(1, 'zone \"x\" { type [zone_type]; };')",
         -1},
        {"template of another file",
         "INSERT INTO file_template_default(id, name) VALUES(1, 'other.conf');"
         "INSERT INTO file_template(file_template_default_id, content) "
         "VALUES(1, 'zone \"[zone_name]\" { };')",
         -1},
        {"a usable template",
         "INSERT INTO file_template_default(id, name) VALUES(1, 'zonaris.include');"
         "INSERT INTO file_template(file_template_default_id, content) "
         "VALUES(1, 'zone \"[zone_name]\" { };')",
         0},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(0, db.exec("DELETE FROM file_template; DELETE FROM file_template_default"));
        if (*c.setup) {
            ASSERT_EQ(0, db.exec(c.setup)) << c.what << db.last_error();
        }
        std::string tmpl = "previous";
        EXPECT_EQ(c.rc, get_sql_template(conn.get(), tmpl)) << c.what;
        EXPECT_EQ(c.rc == 0 ? "zone \"[zone_name]\" { };" : "previous", tmpl) << c.what;
    }
    ASSERT_EQ(0, db.exec("RENAME TABLE file_template TO file_template_away"));
    std::string tmpl;
    EXPECT_EQ(-1, get_sql_template(conn.get(), tmpl));
}

TEST_F(NamedDb, GlobalTransferAddressesFormASet) {
    ASSERT_EQ(0, db.exec("INSERT INTO global_transfer_ips(ip) VALUES('10.0.0.2'), "
                         "('10.0.0.1'), ('10.0.0.2')"));
    acl_set acl;
    ASSERT_EQ(0, get_sql_acl(conn.get(), acl));
    EXPECT_EQ((acl_set{"10.0.0.1", "10.0.0.2"}), acl);
    ASSERT_EQ(0, restore_acl(acl, ctx));
    EXPECT_EQ("acl common-allow-transfer {\n\t10.0.0.1;\n\t10.0.0.2;\n};\n",
              read_text_file(live_acl_path(ctx.paths)));

    ASSERT_EQ(0, db.exec("RENAME TABLE global_transfer_ips TO global_transfer_ips_away"));
    EXPECT_EQ(-1, get_sql_acl(conn.get(), acl));
}

TEST_F(NamedDb, InstallationsAndFailuresAreRecorded) {
    write_text_file(work_include_path(ctx.paths),
                    "zone \"a.example\" { type master; file \"a/a.example\"; };\n");
    ASSERT_EQ(0, install_namedconf(ctx));
    ASSERT_EQ(0, restore_acl({"10.0.0.1"}, ctx));

    // a syntax error in the live include file, on its third line
    const std::string bad = "zone \"a.example\" {\n};\nzone \"b.example\" { } master;\n";
    FILE *in = fmemopen(const_cast<char *>(bad.data()), bad.size(), "r");
    FILE *out = fopen("/dev/null", "w");
    include_scan scan{in, out, 1};
    EXPECT_EQ(-1, manage_namedconf(
                      scan, [](const std::string &) { return false; }, ctx));
    fclose(in);

    // a failed write of an entry
    FILE *full = fopen("/dev/full", "w");
    setvbuf(full, nullptr, _IONBF, 0);
    EXPECT_EQ(-1,
              generate_zone_entry(
                  full, "a.example", "a.example", make_zone_entry(1, {}), "[zone_name]",
                  [](const std::string &, int) { return std::optional<std::string>("a"); }, ctx));
    fclose(full);
    fclose(out);

    const std::string root = ctx.paths.named_root;
    const std::string work = ctx.paths.temp_dir + "/tmp_7/zonaris.include";
    EXPECT_EQ(
        (sql_rows{
            {"ZONEBUILD", "5", "zonaris.include changed", "ER07", root + "/etc/zonaris.include"},
            {"ZONEBUILD", "5", "zonaris.acl changed", "ER07", root + "/etc/zonaris.acl"},
            {"ZONEBUILD", "3", "Syntax error", "EP01", "etc/zonaris.include|3"},
            {"ZONEBUILD", "3", "File system interaction (I/O problem)", "ER05",
             "fail|write|" + work},
        }),
        events());

    // below the job's threshold nothing is recorded
    ASSERT_EQ(0, db.exec("DELETE FROM logs"));
    ctx.event_level = 3;
    write_text_file(work_include_path(ctx.paths),
                    "zone \"a.example\" { type master; file \"a/a.example\"; };\n");
    ASSERT_EQ(0, install_namedconf(ctx));
    ASSERT_EQ(0, restore_acl({}, ctx));
    EXPECT_EQ(0, db.count("logs"));
}

} // namespace
