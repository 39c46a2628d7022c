// zonebuildd and named agree: a zone named would refuse to load is refused by the check and
// keeps its served version; an include-entry template named would refuse fails the job with
// nothing installed; every include file named reads is read, and one that cannot be read is
// rebuilt by a restore. Jobs run in process against a private MariaDB and a private named.
#include "zonebuildd.h"

#include "check_tool.h"
#include "dns_common.h"
#include "logging.h"
#include "mariadb_fixture.h"
#include "named_fixture.h"
#include "run_program.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const char *const entry_template = "zone \"[zone_name]\" {\n\ttype [zone_type];\n"
                                   "\tfile \"[zone_file_name]\";\n\t[zone_options];\n};";

// named-checkconf on a file that includes the ACL file, then `include`.
bool named_checkconf_accepts(const named_server &ns, const temp_dir &dir,
                             const std::string &include) {
    const std::string wrapper = dir.file("wrapper.conf");
    write_text_file(wrapper, "include \"" + ns.acl_file + "\";\ninclude \"" + include + "\";\n");
    return run_program("/usr/bin/named-checkconf", {wrapper}).exit_code == 0;
}

class NamedAgreement : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ASSERT_EQ(0, bind9_init()); }

    void SetUp() override {
        logging_init("zonebuildd", "stdlog", nullptr);
        _init_global_str();
        exec(std::string("INSERT INTO misc(param, value) VALUES('log_level', '7'), ('refresh', "
                         "'3600'), ('retry', '600'), ('expire', '86400'), ('min_ttl', '300'), "
                         "('default_ttl', '300');"
                         "INSERT INTO client(id, login, email) VALUES(7, 'ann', "
                         "'hostmaster@example.net'), (8, 'bob', 'hostmaster@ex_ample.net');"
                         "INSERT INTO file_template_default(id, name) VALUES(1, "
                         "'zonaris.include');"
                         "INSERT INTO file_template(file_template_default_id, content) VALUES(1, "
                         "'") +
             entry_template + "')");
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

    int zone(const std::string &name, int client = 7) {
        exec("INSERT INTO zone(name, type, client_id) VALUES('" + name + "', 'master', " +
             std::to_string(client) + ")");
        const int id = std::stoi(*db.value("SELECT id FROM zone WHERE name = '" + name + "'"));
        rec(id, "NS", name, "ns1.example.net.", "1");
        rec(id, "A", "www", "192.0.2.1");
        touch(name);
        return id;
    }
    void rec(int id, const std::string &type, const std::string &host, const std::string &value,
             const std::string &priority = "NULL") {
        exec("INSERT INTO zone_dns_records(zone_id, entry_type, host, value, priority) VALUES(" +
             std::to_string(id) + ", '" + type + "', '" + host + "', '" + value + "', " + priority +
             ")");
    }
    void touch(const std::string &name) {
        exec("INSERT INTO changes(zone_name, type, timestamp) VALUES('" + name +
             "', 'u', UNIX_TIMESTAMP())");
    }

    int changes_job() {
        int rc = do_invariant(st, 0);
        if (rc == 0)
            rc = do_changes(st);
        clean_invariant(st);
        return rc;
    }
    int restore_job() {
        int rc = do_invariant(st, 1);
        if (rc == 0)
            rc = do_restore(st);
        clean_invariant(st);
        return rc;
    }

    bool serves(const std::string &name, const std::string &address) {
        return wait_until(
            [&] {
                const auto got = ns.dig(name, "A");
                return got.size() == 1 && got[0] == address;
            },
            30);
    }
    std::string zone_file(const std::string &name) const {
        return ns.directory + "/" + name.substr(0, 1) + "/" + name;
    }

    test_database db = make_test_database();
    named_server ns;
    test_etc_dir etc;
    temp_dir work{"zb-agree"};
    zonebuildd_state st;
};

// named itself is the oracle: each zone file is declared to the private named, which loads
// the ones it accepts and answers SERVFAIL for the others. The check answers the same.
TEST_F(NamedAgreement, TheCheckRefusesExactlyWhatNamedRefusesToLoad) {
    const std::string rest = " 1 3600 900 604800 300\n@ IN NS ns1.example.net.\n";
    std::string many;
    for (int i = 1; i <= 101; ++i)
        many += "www IN A 192.0.2." + std::to_string(i) + "\n";
    const struct {
        const char *zone;
        std::string text;
    } cases[] = {
        {"good.example", "@ IN SOA ns1.example.net. hostmaster.example.net." + rest},
        {"owner.example",
         "@ IN SOA ns1.example.net. hostmaster.example.net." + rest + "my_host IN A 192.0.2.1\n"},
        {"mailbox.example", "@ IN SOA ns1.example.net. hostmaster.ex_ample.net." + rest},
        {"local.example", "@ IN SOA ns1.example.net. host_master.example.net." + rest},
        {"target.example",
         "@ IN SOA ns1.example.net. hostmaster.example.net." + rest + "@ IN MX 10 m_x.example.\n"},
        {"many.example", "@ IN SOA ns1.example.net. hostmaster.example.net." + rest + many},
        {"hundred.example", "@ IN SOA ns1.example.net. hostmaster.example.net." + rest +
                                many.substr(0, many.find("www IN A 192.0.2.101"))},
    };
    std::string include;
    for (const auto &c : cases) {
        write_text_file(ns.directory + "/" + c.zone, "$TTL 300\n" + c.text);
        include +=
            "zone \"" + std::string(c.zone) + "\" { type master; file \"" + c.zone + "\"; };\n";
    }
    write_text_file(ns.include_file, include);
    ASSERT_EQ(0, ns.rndc({"reload"}).exit_code) << ns.log();
    ASSERT_TRUE(wait_until([&] { return ns.soa_serial("good.example").has_value(); }, 30));
    int refused = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.zone);
        const bool named_loads = ns.soa_serial(c.zone).has_value();
        const bool check_loads =
            bind9_checkzone(c.zone, (ns.directory + "/" + c.zone).c_str()) == 0;
        EXPECT_EQ(named_loads, check_loads);
        refused += named_loads ? 0 : 1;
    }
    EXPECT_EQ(4, refused); // the cases are not all alike
}

// A change that named would refuse is refused: the zone keeps its file, its statement and the
// data named serves, and its warning says why.
TEST_F(NamedAgreement, ARefusedChangeKeepsTheServedVersion) {
    const int owner = zone("owner.example.");
    const int many = zone("many.example.");
    zone("mailbox.example.");
    zone("fine.example.");
    ASSERT_EQ(0, changes_job());
    for (const char *name : {"owner.example", "many.example", "mailbox.example", "fine.example"})
        ASSERT_TRUE(serves(std::string("www.") + name, "192.0.2.1")) << name << ns.log();
    const std::string include_before = read_text_file(ns.include_file);
    const std::string owner_file = read_text_file(zone_file("owner.example"));

    rec(owner, "A", "my_host", "192.0.2.7");
    exec("UPDATE zone_dns_records SET value = '192.0.2.2' WHERE host = 'www'");
    for (int i = 3; i <= 102; ++i)
        rec(many, "A", "www", "192.0.2." + std::to_string(i));
    exec("UPDATE zone SET client_id = 8 WHERE name = 'mailbox.example.'");
    for (const char *name :
         {"owner.example.", "many.example.", "mailbox.example.", "fine.example."})
        touch(name);
    ASSERT_EQ(0, changes_job());

    ASSERT_TRUE(serves("www.fine.example", "192.0.2.2")) << ns.log();
    for (const char *name : {"owner.example", "many.example", "mailbox.example"})
        EXPECT_TRUE(serves(std::string("www.") + name, "192.0.2.1")) << name;
    EXPECT_EQ(owner_file, read_text_file(zone_file("owner.example")));
    // Each statement stands as it stood (the kept ones follow the rewritten ones).
    const std::string include_after = read_text_file(ns.include_file);
    EXPECT_EQ(include_before.size(), include_after.size());
    for (size_t at = 0, end; (end = include_before.find("};\n};\n", at)) != std::string::npos;
         at = end + 6)
        EXPECT_NE(std::string::npos, include_after.find(include_before.substr(at, end + 6 - at)));
    const struct {
        const char *zone, *said;
    } refused[] = {{"owner.example.", "bad owner name (check-names)"},
                   {"many.example.", "too many records"},
                   {"mailbox.example.", "bad name (check-names)"}};
    for (const auto &r : refused) {
        SCOPED_TRACE(r.zone);
        EXPECT_NE("0",
                  db.value("SELECT warning FROM zone WHERE name = '" + std::string(r.zone) + "'"));
        EXPECT_NE(std::string::npos, db.value("SELECT warning_desc FROM zone WHERE name = '" +
                                              std::string(r.zone) + "'")
                                         .value_or("")
                                         .find(r.said));
    }
    EXPECT_EQ("0", db.value("SELECT warning FROM zone WHERE name = 'fine.example.'"));
}

// A template whose entries named would refuse fails the job before anything is written: the
// live include file and the change rows stay, and named-checkconf refuses the entry too.
TEST_F(NamedAgreement, TemplateNamedWouldRefuseFailsTheJob) {
    zone("a.example.");
    ASSERT_EQ(0, changes_job());
    const std::string include_before = read_text_file(ns.include_file);
    const std::string broken = "zone \"[zone_name]\" { type [zone_type]; file "
                               "\"[zone_file_name]\" [zone_options]; };";
    exec("UPDATE file_template SET content = '" + broken + "'");
    zone("b.example.");
    EXPECT_EQ(-1, changes_job());
    // Each statement stands as it stood (the kept ones follow the rewritten ones).
    const std::string include_after = read_text_file(ns.include_file);
    EXPECT_EQ(include_before.size(), include_after.size());
    for (size_t at = 0, end; (end = include_before.find("};\n};\n", at)) != std::string::npos;
         at = end + 6)
        EXPECT_NE(std::string::npos, include_after.find(include_before.substr(at, end + 6 - at)));
    EXPECT_EQ(1, db.count("changes"));
    EXPECT_EQ(1, db.count("logs", "info_code = 'EP02' AND message = 'Name server configuration "
                                  "refused' AND info LIKE '%missing%'"));

    std::string entry = "zone \"b.example\" { type master; file \"b/b.example\" allow-transfer "
                        "{\n\t\tcommon-allow-transfer;\n\t}; };\n";
    write_text_file(work.file("entry.conf"), entry);
    EXPECT_FALSE(named_checkconf_accepts(ns, work, work.file("entry.conf")));
}

// An include file named reads, written by a hand or a template other than ours ("} ;", long
// comments), is read; one that cannot be read fails the changes job, which queues a restore,
// and the restore rebuilds it from the database.
TEST_F(NamedAgreement, IncludeFilesNamedReadsAreReadAndAnUnreadableOneIsRebuilt) {
    zone("a.example.");
    zone("b.example.");
    ASSERT_EQ(0, changes_job());
    std::string include = read_text_file(ns.include_file);
    for (size_t at = include.find("};"); at != std::string::npos; at = include.find("};", at))
        include.replace(at, 2, "} ;");
    include = "/* " + std::string(2000, '*') + " */\n# " + std::string(1000, 'c') + "\n" + include;
    write_text_file(ns.include_file, include);
    ASSERT_TRUE(named_checkconf_accepts(ns, work, ns.include_file));

    exec("UPDATE zone_dns_records SET value = '192.0.2.5' WHERE host = 'www'");
    touch("a.example.");
    ASSERT_EQ(0, changes_job());
    EXPECT_TRUE(serves("www.a.example", "192.0.2.5")) << ns.log();
    EXPECT_TRUE(serves("www.b.example", "192.0.2.1"));
    EXPECT_NE(std::string::npos, read_text_file(ns.include_file).find("zone \"b.example\""));

    write_text_file(ns.include_file, read_text_file(ns.include_file) + "zone \"c.example\" {\n");
    touch("a.example.");
    EXPECT_EQ(-1, changes_job());
    EXPECT_EQ(JOB_RESTORE, take_job(st.queue));
    EXPECT_EQ(1, db.count("logs", "info_code = 'EP01'"));
    ASSERT_EQ(0, restore_job());
    EXPECT_TRUE(named_checkconf_accepts(ns, work, ns.include_file));
    const std::string rebuilt = read_text_file(ns.include_file);
    for (const char *name : {"a.example", "b.example"})
        EXPECT_NE(std::string::npos, rebuilt.find(std::string("zone \"") + name + "\"")) << name;
    EXPECT_EQ(std::string::npos, rebuilt.find("c.example"));
    EXPECT_LE(0, changes_job());
    EXPECT_TRUE(serves("www.b.example", "192.0.2.5"));
}

} // namespace
