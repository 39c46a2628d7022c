// Who may hold a zone a feed names, against a private MariaDB: another client's zone is
// never taken; a new zone below another client's zone needs a delegation, looked for at the
// closest ancestor (not only the immediate parent); covering IPv4 reverse zones are found
// whatever their classless separator.
#include "feed_ownership.h"
#include "mariadb_fixture.h"

#include <gtest/gtest.h>

namespace {

class zonefeeddOwnership : public testing::Test {
  protected:
    test_database db = make_test_database();
    sql_handle conn = db.connect();

    void SetUp() override { ASSERT_TRUE(conn); }
    int zone(const std::string &name, int client, int separator = 0) {
        EXPECT_EQ(db.exec("INSERT INTO zone(name, client_id, `separator`) VALUES('" + name + "', " +
                          std::to_string(client) + ", " + std::to_string(separator) + ")"),
                  0)
            << db.last_error();
        return std::stoi(*db.value("SELECT LAST_INSERT_ID()"));
    }
    void ns(int zone_id, const std::string &host, int status = 1) {
        ASSERT_EQ(db.exec("INSERT INTO zone_dns_records(zone_id, entry_type, host, value, status) "
                          "VALUES(" +
                          std::to_string(zone_id) + ", 'NS', '" + host + "', 'ns.x.test.', " +
                          std::to_string(status) + ")"),
                  0)
            << db.last_error();
    }
    int check(const std::string &name, int client, int kind = KIND_FORWARD) {
        zone_header z;
        z.name = name;
        z.kind = kind;
        return check_zone_ownership(conn.get(), z, client);
    }
};

TEST_F(zonefeeddOwnership, ExistingZonesStayWithTheirClient) {
    zone("mine.test.", 1);
    zone("theirs.test.", 2);
    EXPECT_EQ(check_zone_existence(conn.get(), "mine.test.", 1), 1);
    EXPECT_EQ(check_zone_existence(conn.get(), "theirs.test.", 1), -1);
    EXPECT_EQ(check_zone_existence(conn.get(), "new.test.", 1), 0);
    EXPECT_EQ(check("mine.test.", 1), 0);
    EXPECT_EQ(check("theirs.test.", 1), -1);
    EXPECT_EQ(check("THEIRS.test.", 1), -1) << "names compare as the database does";
    EXPECT_EQ(check("test.", 1), 0) << "top level";
}

TEST_F(zonefeeddOwnership, EveryAncestorIsLookedAtAndOnlyADelegationOpensIt) {
    const int victim = zone("victim.test.", 2);
    EXPECT_EQ(check("b.victim.test.", 1), -1);
    EXPECT_EQ(check("a.b.victim.test.", 1), -1) << "the grandparent belongs to another client";
    ns(victim, "b.victim.test.", 0); // disabled: no delegation
    EXPECT_EQ(check("a.b.victim.test.", 1), -1);
    ns(victim, "b.victim.test.");
    EXPECT_EQ(check("b.victim.test.", 1), 0);
    EXPECT_EQ(check("a.b.victim.test.", 1), 0) << "delegated at b.victim.test.";
    EXPECT_EQ(check("c.victim.test.", 1), -1);
    // The closest ancestor decides: the client's own zone below the other client's.
    zone("own.victim.test.", 1);
    EXPECT_EQ(check("x.own.victim.test.", 1), 0);
    EXPECT_EQ(check("x.other.test.", 1), 0) << "no ancestor stored";
}

TEST_F(zonefeeddOwnership, EnumAndIpv6ZonesWalkTheirAncestorsBelowArpa) {
    const int e = zone("4.4.e164.arpa.", 2);
    EXPECT_EQ(check("1.2.4.4.e164.arpa.", 1, KIND_ENUM), -1);
    ns(e, "2.4.4.e164.arpa.");
    EXPECT_EQ(check("1.2.4.4.e164.arpa.", 1, KIND_ENUM), 0);
    EXPECT_EQ(check("5.e164.arpa.", 1, KIND_ENUM), 0);
}

TEST_F(zonefeeddOwnership, CoveringReverseZonesAreFoundWhateverTheirSeparator) {
    const int net24 = zone("2.0.192.IN-ADDR.ARPA.", 2);
    EXPECT_EQ(check("0/25.2.0.192.IN-ADDR.ARPA.", 1, KIND_REVERSE4), -1);
    ns(net24, "0/25.2.0.192.IN-ADDR.ARPA.");
    EXPECT_EQ(check("0/25.2.0.192.IN-ADDR.ARPA.", 1, KIND_REVERSE4), 0);
    EXPECT_EQ(check("3.0.192.IN-ADDR.ARPA.", 1, KIND_REVERSE4), 0) << "no overlap";
    EXPECT_EQ(check("192.IN-ADDR.ARPA.", 1, KIND_REVERSE4), 0) << "top level arpa zone";
    // A classless zone of another client stored with "-": a new overlapping one is refused.
    zone("64-26.5.0.192.IN-ADDR.ARPA.", 2, 1);
    EXPECT_EQ(check("0/25.5.0.192.IN-ADDR.ARPA.", 1, KIND_REVERSE4), -1);
    EXPECT_EQ(check("128/25.5.0.192.IN-ADDR.ARPA.", 1, KIND_REVERSE4), 0);
}

} // namespace
