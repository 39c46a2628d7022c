// Faults of the zone builder against a private MariaDB and a private named, jobs run in
// process: two zone rows of one name, refusals reported as refusals, database errors during
// a job, zones named fails to load, and the writer's ordering (change rows kept until the
// include file is live, a whole-server reload owed by a failed job).
#include "zonebuildd_job_fixture.h"

namespace {

class ZoneBuilderFaults : public zonebuildd_jobs {
  protected:
    program_result checkconf() const {
        return run_program("/usr/bin/named-checkconf", {ns.conf_file});
    }
    long long events(const std::string &where) { return db.count("logs", where); }
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

namespace {

TEST_F(ZoneBuilderFaults, DatabaseErrorDuringAJobFailsItAndKeepsTheChangeRows) {
    zone("a.example.", 7, "192.0.2.1");
    ASSERT_EQ(0, job());
    ASSERT_TRUE(served("www.a.example", "192.0.2.1"));

    exec("UPDATE zone_dns_records SET value = '192.0.2.2' WHERE host = 'www'");
    touch("a.example.");
    zone("b.example.", 7, "192.0.2.3");
    // Every zone's load now fails in the middle (the SOA values come from client_prefs).
    exec("RENAME TABLE client_prefs TO client_prefs_away");
    EXPECT_EQ(-1, job());
    EXPECT_EQ(2, db.count("changes"));
    EXPECT_EQ(0, events("info_code = 'ES05'")); // not a refusal
    EXPECT_NE(std::string::npos, read_text_file(ns.include_file).find("zone \"a.example\""));
    EXPECT_EQ(std::string::npos, read_text_file(ns.include_file).find("zone \"b.example\""));

    exec("RENAME TABLE client_prefs_away TO client_prefs");
    EXPECT_EQ(0, job());
    EXPECT_EQ(0, db.count("changes"));
    EXPECT_TRUE(served("www.a.example", "192.0.2.2"));
    EXPECT_TRUE(served("www.b.example", "192.0.2.3"));
}

TEST_F(ZoneBuilderFaults, RefusalsAreReportedAsRefusalsOncePerJob) {
    const int odd = zone("odd.example.", 7, "192.0.2.1");
    exec("UPDATE zone SET type = 'hint' WHERE id = " + std::to_string(odd));
    const int unsafe = zone("unsafe.example.", 7, "192.0.2.1");
    rec(unsafe, "TXT", "a\"b", "text");
    const int partial = zone("partial.example.", 7, "192.0.2.9");
    rec(partial, "AFSDB", "afs", "1 afs.example.net.");
    rec(partial, "DNAME", "old", "new.example.net.");
    rec(partial, "NSEC", "partial.example.", "a.partial.example. A");
    exec("INSERT INTO zone_dns_records(zone_id, entry_type, host, value) VALUES(" +
         std::to_string(partial) + ", 'A', 'nohost', NULL)");
    ASSERT_EQ(0, job());

    const auto refused = [&](int id) {
        return events("info_code = 'ES05' AND message = 'Zone refused' AND zone_id = " +
                      std::to_string(id));
    };
    EXPECT_EQ(1, refused(odd));
    EXPECT_EQ(1, refused(unsafe));
    EXPECT_EQ(0, events("info_code = 'ER05'")); // none is an I/O problem
    for (int id : {odd, unsafe})
        EXPECT_EQ("99", db.value("SELECT warning FROM zone WHERE id = " + std::to_string(id)));

    // Served without the rows it cannot have, and the panel is told which.
    EXPECT_TRUE(served("www.partial.example", "192.0.2.9"));
    const std::string where =
        "message = 'Record rows refused' AND zone_id = " + std::to_string(partial);
    EXPECT_EQ(1, events(where));
    const std::string info = db.value("SELECT info FROM logs WHERE " + where).value_or("");
    for (const char *type : {"AFSDB", "DNAME", "NSEC", "A record without a host or a value"})
        EXPECT_NE(std::string::npos, info.find(type)) << info;
    EXPECT_EQ("1", db.value("SELECT warning FROM zone WHERE id = " + std::to_string(partial)));

    // The refused zones' rows wait for a change of their data; the next job says it again once.
    ASSERT_EQ(0, job());
    EXPECT_EQ(2, refused(odd));
    EXPECT_EQ(2, refused(unsafe));
    EXPECT_EQ(1, events(where));
}

} // namespace

namespace {

// A zone the check passes but named does not load (here: the statement names a file that is
// not there) is reported after the reload instead of being taken as served.
TEST_F(ZoneBuilderFaults, ZoneNamedDoesNotLoadIsReportedAfterTheReload) {
    const int small = zone("small.example.", 7, "192.0.2.1");
    ASSERT_EQ(0, job());
    EXPECT_TRUE(served("www.small.example", "192.0.2.1"));
    exec("UPDATE file_template SET content = 'zone \"[zone_name]\" { type [zone_type]; file "
         "\"missing/[zone_file_name]\"; [zone_options]; };'");
    const int big = zone("big.example.", 7, "192.0.2.2");
    ASSERT_EQ(0, job());
    const std::string where = "message = 'Zone not loaded by the name server' AND zone_id = ";
    EXPECT_EQ(1, events(where + std::to_string(big)));
    EXPECT_EQ(0, events(where + std::to_string(small)));
    EXPECT_EQ("99", db.value("SELECT warning FROM zone WHERE id = " + std::to_string(big)));
    EXPECT_EQ("0", db.value("SELECT warning FROM zone WHERE id = " + std::to_string(small)));
}

// Zones with a serial of their own (serialgeneration 0: always, 2: once) publish it instead
// of a generated one, and the check after the reload expects the serial their file carries.
TEST_F(ZoneBuilderFaults, ZoneWithItsOwnSerialIsServedWithItAndNotReportedUnloaded) {
    const std::string own = std::to_string(zone("own.example.", 7, "192.0.2.1"));
    const std::string once = std::to_string(zone("once.example.", 7, "192.0.2.2"));
    exec("UPDATE zone SET serialgeneration = 0 WHERE id = " + own +
         "; UPDATE zone SET serialgeneration = 2 WHERE id = " + once +
         "; INSERT INTO zone_soa(zone_id, param, value) VALUES(" + own +
         ", 'serial', "
         "'2024061501'), (" +
         once + ", 'serial', '2024061502')");
    const auto no_false_alarm = [&] {
        EXPECT_EQ(0, events("message = 'Zone not loaded by the name server'"));
        EXPECT_EQ("0", db.value("SELECT MAX(warning) FROM zone"));
    };
    ASSERT_EQ(0, job());
    EXPECT_EQ("2024061501", ns.soa_serial("own.example").value_or("none"));
    EXPECT_EQ("2024061502", ns.soa_serial("once.example").value_or("none"));
    no_false_alarm();

    // Changed again: the first keeps its serial, the second now gets a generated one.
    touch("own.example.");
    touch("once.example.");
    ASSERT_EQ(0, job());
    EXPECT_EQ("2024061501", ns.soa_serial("own.example").value_or("none"));
    const std::string generated = ns.soa_serial("once.example").value_or("none");
    EXPECT_NE("2024061502", generated);
    EXPECT_EQ(generated, db.value("SELECT revision FROM zone WHERE id = " + once));
    no_false_alarm();
}

} // namespace
