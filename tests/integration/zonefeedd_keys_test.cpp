// Parsed records written into a private MariaDB: the snapshot statement's key of every
// stored record equals the parser's key, so an unchanged record is neither deleted nor
// inserted again. Also the parser's two lookups, its failure events, and a scan whose
// query fails.
#include "dns_common.h"
#include "feed_keys.h"
#include "feed_parse.h"
#include "feed_scan.h"
#include "feed_zone_lookup.h"
#include "mariadb_fixture.h"

#include <gtest/gtest.h>

#include <set>

namespace {

class zonefeeddKeys : public testing::Test {
  protected:
    static void SetUpTestSuite() { _init_global_str(); }
    test_database db = make_test_database();
    sql_handle conn = db.connect();
    feed_record feed;
    feed_reporter report;
    srv_name_set services{"sip"}, protocols{"tcp", "udp"};

    void SetUp() override {
        ASSERT_TRUE(conn);
        feed.id = 4;
        feed.client_id = 9;
        feed.url = "https://127.0.0.1/zones.txt";
        report.db = conn.get();
        report.max_level = 7;
    }
    void exec(const std::string &sql) { ASSERT_EQ(db.exec(sql), 0) << db.last_error() << sql; }
    int zone(const std::string &name, int url_id = 4, int separator = 0) {
        exec("INSERT INTO zone(name, client_id, url_id, `separator`) VALUES('" + name + "', 9, " +
             std::to_string(url_id) + ", " + std::to_string(separator) + ")");
        return std::stoi(*db.value("SELECT LAST_INSERT_ID()"));
    }
    record_table parse(const std::string &header, const std::string &body) {
        zone_header h;
        EXPECT_EQ(HEADER_OK, resolve_header(header, h, 1, conn.get(), feed.id));
        feed_reader reader{body};
        parse_env env{feed, report, &services, &protocols, 1000};
        record_table records;
        option_table options;
        EXPECT_EQ(0, parse_import_entries(reader, h, env, records, options));
        return records;
    }
    void insert(const record_table &records, int zone_id) {
        std::string format = RR_INSERT_HEAD;
        std::vector<sql_arg> args;
        for (const auto &[key, rr] : records)
            rr_insert_row(rr, zone_id, format, args);
        format.pop_back();
        ASSERT_EQ(0, fr_sql_query_args(conn.get(), nullptr, format, args))
            << fr_sql_error(conn.get());
    }
    std::optional<std::string> delta(int zone_id, record_table &records) {
        sql_result snapshot;
        EXPECT_EQ(0, fr_sql_query(conn.get(), &snapshot, RR_SNAPSHOT_QUERY, zone_id));
        return delta_rr_hash(&snapshot, &records);
    }
};

TEST_F(zonefeeddKeys, StoredRecordsKeepTheParsersKeys) {
    const std::string forward =
        "NS||@||ns1.example.net.||1\n"
        "NS||sub||ns2.example.net.\n"
        "A||www||192.0.2.1\n"
        "AAAA||www||2001:DB8::1\n"
        "CNAME||alias||www\n"
        "MX||@||mail||10\n"
        "TXT||@||it's 100% \\\\ {ok}; fine\n"
        "SRV||_sip._tcp||sip.example.test.||10||5||5060||300\n"
        "SRV||_sip._udp||.||0||0||0\n"
        "NAPTR||@||!^.*$!sip:a|b@example.test!i||100||10||||||E2U+sip||U||\n"
        "NAPTR||@||||1||2||||||SIP+D2U||S||_sip._udp.example.test.\n"
        "}\n";
    const std::string reverse = "NS||@||ns1.example.net.\n"
                                "NS||0/26||ns1.example.net.\n"
                                "PTR||5||host.example.test.\n"
                                "CNAME||7||7.0/26.1.168.192.in-addr.arpa.\n}\n";
    const std::string e164 = "NS||@||ns1.example.net.\nNAPTR||5||!^.*$!sip:5@example.test!||10||10|"
                             "|||||E2U+sip||U||\n}\n";
    const struct {
        std::string zone, body;
        size_t records;
    } cases[] = {{"example.test", forward, 11},
                 {"1.168.192.in-addr.arpa", reverse, 4},
                 {"4.3.2.1.e164.arpa", e164, 2}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.zone);
        const int id = zone(c.zone);
        record_table records = parse(c.zone, c.body);
        ASSERT_EQ(c.records, records.size());
        insert(records, id);

        std::set<std::string> stored;
        for (const auto &row : db.rows("SELECT CONCAT(entry_type, host, value, ifnull(priority, "
                                       "\"NULL\"), ifnull(priority_minor, \"NULL\"), ifnull(port, "
                                       "\"NULL\"), ifnull(ttl, \"NULL\"), ifnull(services, "
                                       "\"NULL\"), ifnull(flag, \"NULL\"), ifnull(regex_flag, "
                                       "\"NULL\"), ifnull(regex, \"NULL\"), if(entry_type = "
                                       "'NAPTR', ifnull(replacement, '.'), '')) FROM "
                                       "zone_dns_records WHERE zone_id = " +
                                       std::to_string(id)))
            stored.insert(*row[0]);
        std::set<std::string> parsed;
        for (const auto &[key, rr] : records)
            parsed.insert(key);
        EXPECT_EQ(parsed, stored);

        // The same file again: nothing to delete, nothing to insert.
        record_table again = parse(c.zone, c.body);
        EXPECT_EQ("", delta(id, again));
        EXPECT_TRUE(again.empty());
    }
}

TEST_F(zonefeeddKeys, AChangedPriorityReplacesOnlyThatRecord) {
    const int id = zone("example.test");
    insert(parse("example.test", "NS||@||ns1.example.net.\nMX||@||mail||10\n}\n"), id);
    const std::string mx = *db.value("SELECT id FROM zone_dns_records WHERE entry_type = 'MX'");
    record_table changed = parse("example.test", "NS||@||ns1.example.net.\nMX||@||mail||20\n}\n");
    EXPECT_EQ(mx, delta(id, changed));
    ASSERT_EQ(1u, changed.size());
    EXPECT_EQ(20u, changed.begin()->second.priority);
}

TEST_F(zonefeeddKeys, ZoneLookups) {
    zone("1.168.192.IN-ADDR.ARPA.", 4, 1);
    zone("2.168.192.IN-ADDR.ARPA.", 5, 1); // another feed's zone: its separator is not ours
    zone("panel.test.", -1);
    EXPECT_EQ(4, get_zone_ownerurl(conn.get(), "1.168.192.IN-ADDR.ARPA."));
    EXPECT_EQ(-1, get_zone_ownerurl(conn.get(), "panel.test."));
    EXPECT_EQ(-2, get_zone_ownerurl(conn.get(), "missing.test."));
    EXPECT_EQ(-3, get_zone_ownerurl(conn.get(), ""));

    zone_header h;
    ASSERT_EQ(HEADER_OK, resolve_header("1.168.192.in-addr.arpa", h, 1, conn.get(), 4));
    EXPECT_EQ('-', h.separator);
    ASSERT_EQ(HEADER_OK, resolve_header("2.168.192.in-addr.arpa", h, 1, conn.get(), 4));
    EXPECT_EQ(0, h.separator);

    exec("DROP TABLE zone");
    EXPECT_EQ(-3, get_zone_ownerurl(conn.get(), "panel.test."));
    EXPECT_EQ(HEADER_DB_FAILED, resolve_header("1.168.192.in-addr.arpa", h, 1, conn.get(), 4));
    // A failed query fails the whole scan: the feed is neither written nor purged.
    zone_set zones;
    feed_file file;
    file.text = "a.test {\n}\n1.168.192.in-addr.arpa {\n}\n";
    feed.perm.reverse_level = 20;
    feed.perm.forward_level = 20;
    scan_env env{report, zones, conn.get()};
    EXPECT_EQ(SCAN_DB_FAILED, scan_feed_text(feed, file, env));
}

TEST_F(zonefeeddKeys, LockedFeedsTakeOnlyTheirOwnOrNewZones) {
    zone("mine.test.", 4);
    zone("theirs.test.", 8);
    zone("panel.test.", -1);
    zone_set zones;
    for (const char *name : {"mine.test.", "theirs.test.", "panel.test.", "new.test."})
        zone_set_put(zones, name, zone_claim{8, 0}); // all claimed by a better feed
    feed.perm.forward_level = 20;
    feed.perm.ignore_other_urls = 1;
    feed.priority = 50;
    feed_file file;
    file.text = "mine.test {\n}\ntheirs.test {\n}\npanel.test {\n}\nnew.test {\n}\n";
    scan_env env{report, zones, conn.get()};
    ASSERT_EQ(0, scan_feed_text(feed, file, env));
    EXPECT_EQ(4, zone_set_find(zones, "mine.test.")->feed_id);
    EXPECT_EQ(8, zone_set_find(zones, "theirs.test.")->feed_id);
    EXPECT_EQ(8, zone_set_find(zones, "panel.test.")->feed_id);
    EXPECT_EQ(4, zone_set_find(zones, "new.test.")->feed_id);
}

TEST_F(zonefeeddKeys, FailureEventsAreCappedPerFeedWithOneSummaryRow) {
    report.failure_cap = 10;
    std::string body = "NS||@||ns1.example.net.\n";
    for (int i = 0; i < 500; ++i)
        body += "A||www||10.0.0." + std::to_string(300 + i) + "\n";
    record_table records = parse("example.test", body + "}\n");
    EXPECT_EQ(1u, records.size());
    EXPECT_EQ(490u, flush_line_failures(report, feed));
    EXPECT_EQ(10, db.count("logs", "info_code = 'EPU04' AND message = 'Invalid A value'"));
    EXPECT_EQ("10.0.0.300|2", db.value("SELECT info FROM logs WHERE info_code = 'EPU04' "
                                       "ORDER BY id LIMIT 1"));
    EXPECT_EQ("490", db.value("SELECT info FROM logs WHERE message = '" +
                              std::string(FAILURE_SUMMARY_MESSAGE) + "'"));
    EXPECT_EQ("REMOTE_UPDATE|9|4|https://127.0.0.1/zones.txt|example.test.",
              db.value("SELECT CONCAT_WS('|', facility, client_id, zone_feed_id, zone_feed_url, "
                       "zone_name) FROM logs ORDER BY id LIMIT 1"));
}

} // namespace
