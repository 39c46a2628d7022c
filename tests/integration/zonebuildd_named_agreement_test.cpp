// zonebuildd and named agree: a zone named would refuse to load is refused by the check and
// keeps its served version; an include-entry template named would refuse fails the job with
// nothing installed; every include file named reads is read, and one that cannot be read is
// rebuilt by a restore. Jobs run in process against a private MariaDB and a private named.
#include "zonebuildd_job_fixture.h"

#include <string>

namespace {

// named-checkconf on a file that includes the ACL file, then `include`.
bool named_checkconf_accepts(const named_server &ns, const temp_dir &dir,
                             const std::string &include) {
    const std::string wrapper = dir.file("wrapper.conf");
    write_text_file(wrapper, "include \"" + ns.acl_file + "\";\ninclude \"" + include + "\";\n");
    return run_program("/usr/bin/named-checkconf", {wrapper}).exit_code == 0;
}

class NamedAgreement : public zonebuildd_jobs {
  protected:
    std::string zone_file(const std::string &name) const {
        return ns.directory + "/" + name.substr(0, 1) + "/" + name;
    }
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
    ASSERT_EQ(0, job());
    for (const char *name : {"owner.example", "many.example", "mailbox.example", "fine.example"})
        ASSERT_TRUE(served(std::string("www.") + name, "192.0.2.1")) << name << ns.log();
    const std::string include_before = read_text_file(ns.include_file);
    const std::string owner_file = read_text_file(zone_file("owner.example"));

    rec(owner, "A", "my_host", "192.0.2.7");
    exec("UPDATE zone_dns_records SET value = '192.0.2.2' WHERE host = 'www'");
    for (int i = 3; i <= 102; ++i)
        rec(many, "A", "www", "192.0.2." + std::to_string(i));
    exec("INSERT INTO client(id, login, email) VALUES(9, 'cy', 'hostmaster@ex_ample.net');"
         "UPDATE zone SET client_id = 9 WHERE name = 'mailbox.example.'");
    for (const char *name :
         {"owner.example.", "many.example.", "mailbox.example.", "fine.example."})
        touch(name);
    ASSERT_EQ(0, job());

    ASSERT_TRUE(served("www.fine.example", "192.0.2.2")) << ns.log();
    for (const char *name : {"owner.example", "many.example", "mailbox.example"})
        EXPECT_TRUE(served(std::string("www.") + name, "192.0.2.1")) << name;
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
    ASSERT_EQ(0, job());
    const std::string include_before = read_text_file(ns.include_file);
    const std::string broken = "zone \"[zone_name]\" { type [zone_type]; file "
                               "\"[zone_file_name]\" [zone_options]; };";
    exec("UPDATE file_template SET content = '" + broken + "'");
    zone("b.example.");
    EXPECT_EQ(-1, job());
    EXPECT_EQ(include_before, read_text_file(ns.include_file));
    EXPECT_FALSE(path_exists(zone_file("b.example"))); // no worker ran
    EXPECT_EQ(1, db.count("changes"));
    // Refused at set-up, from the rendered template, not later from the built include file.
    EXPECT_EQ(1, db.count("logs", "info_code = 'EP02' AND message = 'Name server configuration "
                                  "refused' AND info LIKE 'zonaris.include template|%missing%'"));

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
    ASSERT_EQ(0, job());
    std::string include = read_text_file(ns.include_file);
    for (size_t at = include.find("};"); at != std::string::npos; at = include.find("};", at))
        include.replace(at, 2, "} ;");
    include = "/* " + std::string(2000, '*') + " */\n# " + std::string(1000, 'c') + "\n" + include;
    write_text_file(ns.include_file, include);
    ASSERT_TRUE(named_checkconf_accepts(ns, work, ns.include_file));

    exec("UPDATE zone_dns_records SET value = '192.0.2.5' WHERE host = 'www'");
    touch("a.example.");
    ASSERT_EQ(0, job());
    EXPECT_TRUE(served("www.a.example", "192.0.2.5")) << ns.log();
    EXPECT_TRUE(served("www.b.example", "192.0.2.1"));
    EXPECT_NE(std::string::npos, read_text_file(ns.include_file).find("zone \"b.example\""));

    write_text_file(ns.include_file, read_text_file(ns.include_file) + "zone \"c.example\" {\n");
    touch("a.example.");
    EXPECT_EQ(-1, job());
    EXPECT_EQ(JOB_RESTORE, st.queue.take());
    EXPECT_EQ(1, db.count("logs", "info_code = 'EP01'"));
    ASSERT_EQ(0, job(true));
    EXPECT_TRUE(named_checkconf_accepts(ns, work, ns.include_file));
    const std::string rebuilt = read_text_file(ns.include_file);
    for (const char *name : {"a.example", "b.example"})
        EXPECT_NE(std::string::npos, rebuilt.find(std::string("zone \"") + name + "\"")) << name;
    EXPECT_EQ(std::string::npos, rebuilt.find("c.example"));
    EXPECT_EQ(0, job());
    EXPECT_TRUE(served("www.b.example", "192.0.2.5"));
}

// A restore over an include file that cannot be read: a served zone whose new data named
// would refuse keeps being served from its previous file (its statement rebuilt); a new zone
// that fails its check has no previous file and gets no statement.
TEST_F(NamedAgreement, ARestoreOverAnUnreadableIncludeKeepsAZoneThatFailsItsCheck) {
    const int owner = zone("owner.example.");
    zone("fine.example.");
    ASSERT_EQ(0, job());
    ASSERT_TRUE(served("www.owner.example", "192.0.2.1")) << ns.log();
    const std::string owner_file = read_text_file(zone_file("owner.example"));

    rec(owner, "A", "my_host", "192.0.2.7");
    exec("UPDATE zone_dns_records SET value = '192.0.2.2' WHERE host = 'www'");
    const int fresh = zone("fresh.example.");
    rec(fresh, "A", "my_host", "192.0.2.8");
    write_text_file(ns.include_file, read_text_file(ns.include_file) + "zone \"junk.example\" {\n");
    ASSERT_EQ(0, job(true));

    EXPECT_TRUE(named_checkconf_accepts(ns, work, ns.include_file));
    const std::string rebuilt = read_text_file(ns.include_file);
    EXPECT_NE(std::string::npos, rebuilt.find("zone \"owner.example\"")) << rebuilt;
    EXPECT_EQ(std::string::npos, rebuilt.find("fresh.example")) << rebuilt;
    EXPECT_EQ(std::string::npos, rebuilt.find("junk.example")) << rebuilt;
    EXPECT_EQ(owner_file, read_text_file(zone_file("owner.example")));
    EXPECT_FALSE(path_exists(zone_file("fresh.example")));
    ASSERT_TRUE(served("www.fine.example", "192.0.2.2")) << ns.log();
    EXPECT_TRUE(served("www.owner.example", "192.0.2.1")) << ns.log();
    for (const char *name : {"owner.example.", "fresh.example."})
        EXPECT_EQ("99",
                  db.value("SELECT warning FROM zone WHERE name = '" + std::string(name) + "'"))
            << name;
}

} // namespace
