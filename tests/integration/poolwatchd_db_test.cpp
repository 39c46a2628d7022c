// The pool monitor against a private MariaDB: which pools make the poll set, the statements
// that switch a record and queue its zone, the event log, and which pools a record's tally
// waits for.
#include "mariadb_fixture.h"
#include "poolwatch_db.h"
#include "poolwatch_pollset.h"
#include "poolwatch_switch.h"
#include "poolwatch_tally.h"
#include "poolwatch_testrun.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <syslog.h>

namespace {

class poolwatchdDb : public testing::Test {
  protected:
    test_database db = make_test_database();
    sql_handle conn = db.connect(CLIENT_FOUND_ROWS);

    void SetUp() override { ASSERT_TRUE(conn) << "cannot connect to the test database"; }

    void exec(const std::string &sql) {
        ASSERT_EQ(db.exec(sql), 0) << db.last_error() << "\n" << sql;
    }

    long long insert(const std::string &sql) {
        exec(sql);
        return std::stoll(*db.value("SELECT LAST_INSERT_ID()"));
    }
    int zone(const std::string &name, int status = 1) {
        return static_cast<int>(insert("INSERT INTO zone(name, status) VALUES('" + name + "', " +
                                       std::to_string(status) + ")"));
    }
    int record(int zone_id, const std::string &value, int status = 1) {
        return static_cast<int>(insert("INSERT INTO zone_dns_records(zone_id, entry_type, host, "
                                       "value, status) VALUES(" +
                                       std::to_string(zone_id) + ", 'A', 'www', '" + value + "', " +
                                       std::to_string(status) + ")"));
    }
    int pool(int zone_id, const std::string &name, int status = 1,
             const std::string &interval = "60", const std::string &protocol = "'HTTP'") {
        return static_cast<int>(insert("INSERT INTO rrobin_pool(name, zone_id, protocol_code, "
                                       "monit_interval, test_url, status) "
                                       "VALUES('" +
                                       name + "', " + std::to_string(zone_id) + ", " + protocol +
                                       ", " + interval + ", 'http://$RR/', " +
                                       std::to_string(status) + ")"));
    }
    void member(int pool_id, int record_id) {
        exec("INSERT INTO rrobin_pool_records(rrobin_pool_id, zone_dns_records_id) VALUES(" +
             std::to_string(pool_id) + ", " + std::to_string(record_id) + ")");
    }
    pool_record read_record(int id, const std::string &zone_name) {
        return {id, zone_name,
                *db.value("SELECT value FROM zone_dns_records WHERE id = " + std::to_string(id)),
                "A",
                std::stoi(*db.value("SELECT status FROM zone_dns_records WHERE id = " +
                                    std::to_string(id)))};
    }
    int status_of(int id) {
        return std::stoi(
            *db.value("SELECT status FROM zone_dns_records WHERE id = " + std::to_string(id)));
    }
};

} // namespace

TEST_F(poolwatchdDb, ThePollSetHoldsActivePoolsOfActiveZonesThatHaveRecords) {
    const int z = zone("example.net"), off = zone("off.example", 0);
    const int r = record(z, "192.0.2.1"), r_off = record(off, "192.0.2.2");
    const int good = pool(z, "good");
    member(good, r);
    member(pool(z, "inactive", 0), r);
    member(pool(off, "zone off"), r_off);
    pool(z, "empty");
    member(pool(z, "no interval", 1, "NULL"), r);
    member(pool(z, "negative interval", 1, "-10"), r);
    member(pool(z, "no protocol", 1, "60", "NULL"), r);

    std::map<int, poll_entry> entries;
    ASSERT_EQ(poolwatch_fetch_polls(conn.get(), entries), 0);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries.begin()->second.poll.name, "good");
    EXPECT_EQ(entries.begin()->second.poll.zone_id, z);

    // A refresh drops what is no longer active.
    exec("UPDATE rrobin_pool SET status = 0 WHERE id = " + std::to_string(good));
    ASSERT_EQ(poolwatch_fetch_polls(conn.get(), entries), 0);
    poolwatch_sync(entries);
    EXPECT_TRUE(entries.empty());
}

TEST_F(poolwatchdDb, SwitchingOffUpdatesTheRecordQueuesTheZoneAndLogsTheEvent) {
    const int r = record(zone("example.net"), "192.0.2.1");
    EXPECT_EQ(
        poolwatch_poll_checkup_update(conn.get(), read_record(r, "example.net"), OUTCOME_DOWN),
        SWITCH_DONE);
    EXPECT_EQ(status_of(r), RECORD_DISABLED);
    EXPECT_EQ(db.rows("SELECT zone_name, type, timestamp > 0 FROM changes"),
              (sql_rows{{"example.net", "u", "1"}}));
    EXPECT_EQ(db.rows("SELECT facility, level, message FROM logs"),
              (sql_rows{{"POOLWATCHD", "3",
                         "Zone example.net record type A with value 192.0.2.1 found available, "
                         "disabling"}}));

    EXPECT_EQ(poolwatch_poll_checkup_update(conn.get(), read_record(r, "example.net"), OUTCOME_UP),
              SWITCH_DONE);
    EXPECT_EQ(status_of(r), RECORD_ENABLED);
    EXPECT_EQ(db.count("changes"), 1) << "the pending update is refreshed, not doubled";
    EXPECT_EQ(*db.value("SELECT message FROM logs ORDER BY id DESC LIMIT 1"),
              "Zone example.net record type A with value 192.0.2.1 found not available, enabling");

    // A status that already matches the verdict is left alone, without a change or event.
    EXPECT_EQ(poolwatch_poll_checkup_update(conn.get(), read_record(r, "example.net"), OUTCOME_UP),
              SWITCH_UNCHANGED);
    EXPECT_EQ(db.count("logs"), 2);
}

TEST_F(poolwatchdDb, APendingUpdateOfTheZoneOnlyGetsANewTimestamp) {
    const int r = record(zone("example.net"), "192.0.2.1");
    exec("INSERT INTO changes(zone_name, type, timestamp) VALUES('example.net', 'u', 5)");
    ASSERT_EQ(
        poolwatch_poll_checkup_update(conn.get(), read_record(r, "example.net"), OUTCOME_DOWN),
        SWITCH_DONE);
    EXPECT_EQ(db.rows("SELECT type, timestamp > 5 FROM changes"), (sql_rows{{"u", "1"}}));

    // Stamped within the same second: still found, still one row.
    exec("UPDATE changes SET timestamp = UNIX_TIMESTAMP()");
    ASSERT_EQ(poolwatch_poll_checkup_update(conn.get(), read_record(r, "example.net"), OUTCOME_UP),
              SWITCH_DONE);
    EXPECT_EQ(db.count("changes"), 1);
}

TEST_F(poolwatchdDb, AZoneBeingDeletedKeepsItsRecords) {
    const int r = record(zone("example.net"), "192.0.2.1");
    exec("INSERT INTO changes(zone_name, type, timestamp) VALUES('example.net', 'd', 5)");
    EXPECT_EQ(
        poolwatch_poll_checkup_update(conn.get(), read_record(r, "example.net"), OUTCOME_DOWN),
        SWITCH_REFUSED);
    EXPECT_EQ(status_of(r), RECORD_ENABLED);
    EXPECT_EQ(db.count("changes", "type = 'u'"), 0);
}

TEST_F(poolwatchdDb, ARecordChangedSinceItWasReadIsNotSwitchedOverIt) {
    const int r = record(zone("example.net"), "192.0.2.1");
    const pool_record seen = read_record(r, "example.net");
    exec("UPDATE zone_dns_records SET status = 9 WHERE id = " + std::to_string(r)); // the panel
    EXPECT_EQ(poolwatch_poll_checkup_update(conn.get(), seen, OUTCOME_DOWN), SWITCH_REFUSED);
    EXPECT_EQ(db.count("changes"), 0);
}

TEST_F(poolwatchdDb, AFailedQueueingLeavesTheRecordAsItWas) {
    const int r = record(zone("example.net"), "192.0.2.1");
    exec("RENAME TABLE changes TO changes_away");
    EXPECT_EQ(
        poolwatch_poll_checkup_update(conn.get(), read_record(r, "example.net"), OUTCOME_DOWN),
        SWITCH_FAILED);
    exec("RENAME TABLE changes_away TO changes");
    EXPECT_EQ(status_of(r), RECORD_ENABLED) << "no status change without its changes row";
    EXPECT_EQ(db.count("logs"), 0);

    // The next cycle tries again and succeeds.
    EXPECT_EQ(
        poolwatch_poll_checkup_update(conn.get(), read_record(r, "example.net"), OUTCOME_DOWN),
        SWITCH_DONE);
    EXPECT_EQ(status_of(r), RECORD_DISABLED);
}

TEST_F(poolwatchdDb, ZoneNamesAndValuesReachTheDatabaseExactlyAsTheyAre) {
    const std::string name = "o'brien\\\"x.example"; // o'brien\"x.example
    const int z =
        static_cast<int>(insert("INSERT INTO zone(name) VALUES('o\\'brien\\\\\"x.example')"));
    ASSERT_EQ(*db.value("SELECT name FROM zone WHERE id = " + std::to_string(z)), name);
    const int r = record(z, "192.0.2.1");
    ASSERT_EQ(poolwatch_poll_checkup_update(conn.get(), read_record(r, name), OUTCOME_DOWN),
              SWITCH_DONE);
    EXPECT_EQ(*db.value("SELECT zone_name FROM changes"), name);
    EXPECT_EQ(*db.value("SELECT message FROM logs"),
              "Zone " + name + " record type A with value 192.0.2.1 found available, disabling");
}

TEST_F(poolwatchdDb, EventLogHonoursItsThresholdAndCutsLongMessagesAtACharacter) {
    EXPECT_EQ(poolwatch_db_log_at(conn.get(), 3, LOG_NOTICE, "%s", "too detailed"), 0);
    EXPECT_EQ(db.count("logs"), 0);
    const std::string long_text = std::string(282, 'a') + "\xc3\xa9" + "tail"; // é straddles 283
    ASSERT_EQ(poolwatch_db_log_at(conn.get(), 5, LOG_NOTICE, "%s", long_text.c_str()), 0);
    EXPECT_EQ(*db.value("SELECT message FROM logs"), std::string(282, 'a'));
    EXPECT_EQ(poolwatch_cut_utf8("abc", 283), "abc");
}

TEST_F(poolwatchdDb, ATallyWaitsOnlyForPollsThatActuallyRun) {
    const int z = zone("example.net");
    const int r = record(z, "192.0.2.1");
    const int a = pool(z, "a"), broken = pool(z, "broken"), off = pool(z, "off", 0);
    for (int p : {a, broken, off})
        member(p, r);
    // "broken" is active in the database but not in the poll set (it was refused).
    EXPECT_EQ(poolwatch_expected_polls(conn.get(), r, {a}, a), (std::set<int>{a}));
    EXPECT_EQ(poolwatch_expected_polls(conn.get(), r, {a, broken}, a), (std::set<int>{a, broken}));
    EXPECT_EQ(poolwatch_expected_polls(conn.get(), r, {a}, off), std::set<int>{})
        << "a poll whose pool was deactivated meanwhile does not test the record";
    exec("DELETE FROM rrobin_pool_records");
    EXPECT_EQ(poolwatch_expected_polls(conn.get(), r, {a}, a), std::set<int>{});
}

TEST_F(poolwatchdDb, RefreshSwitchesARecordThatADeactivatedPoolHeldUp) {
    const int z = zone("example.net");
    const int r = record(z, "192.0.2.1", RECORD_DISABLED);
    const int a = pool(z, "a"), b = pool(z, "b");
    member(a, r);
    member(b, r);
    tally_table tallies;
    pool_poll pa, pb;
    pa.id = a;
    pa.name = "a";
    pb.id = b;
    pb.name = "b";
    const pool_record rec = read_record(r, "example.net");
    ASSERT_EQ(poolwatch_tally_create(tallies, rec, pb, {a, b}), TALLY_TEST);
    ASSERT_EQ(poolwatch_tally_report(tallies, rec, pb, OUTCOME_DOWN), OUTCOME_DOWN);
    ASSERT_EQ(poolwatch_tally_register(tallies, rec, pa), TALLY_TEST);
    ASSERT_EQ(poolwatch_tally_report(tallies, rec, pa, OUTCOME_UP), OUTCOME_DOWN)
        << "b's answer keeps it down";

    exec("UPDATE rrobin_pool SET status = 0 WHERE id = " + std::to_string(b));
    ASSERT_EQ(poolwatch_refresh_records(conn.get(), tallies, {a}), 0);
    EXPECT_EQ(status_of(r), RECORD_ENABLED);
    EXPECT_EQ(db.count("changes"), 1);
}

TEST_F(poolwatchdDb, APoolTestsAndHoldsOnlyRecordsOfItsOwnActiveZone) {
    const int mine = zone("example.net"), other = zone("victim.example"),
              off = zone("off.example", 0);
    const int own = record(mine, "192.0.2.1"), foreign = record(other, "198.51.100.1"),
              dormant = record(off, "203.0.113.1");
    const int p = pool(mine, "p"), victim_pool = pool(other, "victim");
    for (int r : {own, foreign, dormant})
        member(p, r);
    member(victim_pool, foreign);

    pool_poll poll;
    poll.id = p;
    poll.name = "p";
    poll.zone_id = mine;
    std::vector<pool_record> records;
    ASSERT_EQ(poolwatch_fetch_poll_resource_records(conn.get(), poll, records), 0);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].id, own);
    // Nor does the foreign pool's listing make the victim's verdict wait for it.
    EXPECT_EQ(poolwatch_expected_polls(conn.get(), foreign, {p, victim_pool}, victim_pool),
              (std::set<int>{victim_pool}));
    EXPECT_EQ(poolwatch_expected_polls(conn.get(), foreign, {p, victim_pool}, p), std::set<int>{});

    // A zone deactivated after its records were read is not switched either.
    const pool_record seen = read_record(own, "example.net");
    exec("UPDATE zone SET status = 0 WHERE id = " + std::to_string(mine));
    EXPECT_EQ(poolwatch_poll_checkup_update(conn.get(), seen, OUTCOME_DOWN), SWITCH_REFUSED);
    EXPECT_EQ(status_of(own), RECORD_ENABLED);
    EXPECT_EQ(db.count("changes"), 0);
}

TEST_F(poolwatchdDb, KeepOneUpLeavesTheLastEnabledRecordOfANameAndType) {
    const int z = zone("example.net");
    const int a = record(z, "192.0.2.1"), b = record(z, "192.0.2.2");
    record(z, "192.0.2.3", RECORD_DISABLED);
    exec("INSERT INTO zone_dns_records(zone_id, entry_type, host, value) VALUES(" +
         std::to_string(z) + ", 'A', 'mail', '192.0.2.9')"); // another name: no help
    exec("INSERT INTO zone_dns_records(zone_id, entry_type, host, value) VALUES(" +
         std::to_string(z) + ", 'AAAA', 'www', '2001:db8::1')"); // another type: no help
    EXPECT_EQ(poolwatch_poll_checkup_update(conn.get(), read_record(a, "example.net"), OUTCOME_DOWN,
                                            true),
              SWITCH_DONE);
    EXPECT_EQ(poolwatch_poll_checkup_update(conn.get(), read_record(b, "example.net"), OUTCOME_DOWN,
                                            true),
              SWITCH_KEPT);
    EXPECT_EQ(status_of(b), RECORD_ENABLED);
    EXPECT_EQ(db.count("changes"), 1) << "only a's switch queued the zone";
    EXPECT_EQ(*db.value("SELECT message FROM logs ORDER BY id DESC LIMIT 1"),
              "Zone example.net record type A with value 192.0.2.2 found unavailable, kept "
              "enabled as the last of its name and type");
    // Without the switch it goes down like any other.
    EXPECT_EQ(
        poolwatch_poll_checkup_update(conn.get(), read_record(b, "example.net"), OUTCOME_DOWN),
        SWITCH_DONE);
}
