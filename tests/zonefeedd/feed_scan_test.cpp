// The header scan: line endings, the zone budget, permissions, duplicates (marked in the
// file) and the zone set with priorities.
#include "dns_common.h"
#include "feed_scan.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct zonefeedd_scan : ::testing::Test {
    static void SetUpTestSuite() { _init_global_str(); }
    temp_dir dir{"feedscan"};
    feed_reporter report;
    zone_set zones;
    std::vector<feed_event> events;
    int max_zones = 5000;

    zonefeedd_scan() {
        report.max_level = 7;
        report.observer = [this](const feed_event &e) { events.push_back(e); };
    }
    static feed_record make_feed(int id, int priority) {
        feed_record f;
        f.id = id;
        f.client_id = 100 + id;
        f.priority = priority;
        f.url = "http://127.0.0.1/" + std::to_string(id);
        f.perm.forward_level = 20;
        f.perm.reverse_level = 20;
        f.perm.enum_level = 20;
        f.perm.clean_url_zones = 1;
        return f;
    }
    int scan(feed_record &feed, const std::string &text, feed_file *out = nullptr) {
        const std::string path = dir.file("feed" + std::to_string(feed.id));
        write_text_file(path, text);
        feed_file file;
        scan_env env{report, zones, nullptr, max_zones};
        int rc = dump2hash(feed, path, file, env);
        if (out)
            *out = file;
        return rc;
    }
    std::vector<std::string> codes() const {
        std::vector<std::string> out;
        for (const feed_event &e : events)
            out.push_back(e.code + " " + e.message);
        return out;
    }
    int owner(const std::string &zone) const {
        const zone_claim *c = zone_set_find(zones, zone);
        return c ? c->feed_id : -1;
    }
};

TEST_F(zonefeedd_scan, line_endings_decide_first) {
    feed_record f = make_feed(1, 0);
    EXPECT_EQ(SCAN_BAD_LINE_END, scan(f, "a.test {\r}\r"));
    EXPECT_EQ(std::vector<std::string>{"EPU01 Unsupported line terminator"}, codes());
    EXPECT_EQ(0, f.perm.clean_url_zones);
    f = make_feed(1, 0);
    EXPECT_EQ(0, scan(f, "a.test {\r\n}\r\nb.test {\n}\n"));
    EXPECT_EQ(1, owner("a.test."));
    EXPECT_EQ(1, owner("b.test."));
    feed_file file;
    scan_env env{report, zones};
    EXPECT_EQ(SCAN_CANNOT_OPEN, dump2hash(f, dir.file("missing"), file, env));
}

TEST_F(zonefeedd_scan, zone_budget_ends_the_scan_and_keeps_other_zones) {
    max_zones = 2;
    feed_record f = make_feed(1, 0);
    EXPECT_EQ(0, scan(f, "a.test {\n}\nb.test {\n}\nc.test {\n}\nd.test {\n}\n"));
    EXPECT_EQ(1, owner("a.test."));
    EXPECT_EQ(1, owner("b.test."));
    EXPECT_EQ(-1, owner("c.test."));
    EXPECT_EQ(std::vector<std::string>{"EPU05 File's maximum number of zones limit reached"},
              codes());
    EXPECT_EQ("2", events[0].info);
    EXPECT_EQ(0, f.perm.clean_url_zones); // the zones it did not reach are not purged
}

TEST_F(zonefeedd_scan, duplicates_are_marked_in_the_file_whatever_their_case) {
    feed_record f = make_feed(1, 0);
    const std::string text = "a.test {\nA||www||192.0.2.1\n}\n"
                             "  A.Test {\nA||www||192.0.2.2\n}\n"
                             "1.168.192.in-addr.arpa {\n}\n"
                             "1.168.192.IN-ADDR.ARPA {\n}\n";
    feed_file file;
    EXPECT_EQ(0, scan(f, text, &file));
    EXPECT_EQ((std::vector<std::string>{"EPU03 Duplicate zone", "EPU03 Duplicate zone"}), codes());
    EXPECT_EQ("4", events[0].info);
    std::string marked = text;
    marked[text.find("A.Test")] = '|';
    marked[text.find("1.168.192.IN")] = '|';
    EXPECT_EQ(marked, file.text);
    EXPECT_EQ(marked, read_text_file(file.path));
    // A second scan of the marked file skips the marked blocks silently.
    zones = zone_set{};
    events.clear();
    EXPECT_EQ(0, scan(f, marked));
    EXPECT_TRUE(events.empty());
}

TEST_F(zonefeedd_scan, priorities_decide_between_feeds_in_any_order) {
    for (bool low_first : {true, false}) {
        zones = zone_set{};
        feed_record five = make_feed(1, 5), three = make_feed(2, 3);
        feed_record &first = low_first ? five : three, &second = low_first ? three : five;
        EXPECT_EQ(0, scan(first, "z.test {\n}\n"));
        EXPECT_EQ(0, scan(second, "Z.TEST {\n}\n"));
        EXPECT_EQ(2, owner("z.test.")) << low_first;
    }
    zones = zone_set{};
    feed_record a = make_feed(1, 4), b = make_feed(2, 4);
    EXPECT_EQ(0, scan(a, "z.test {\n}\n"));
    EXPECT_EQ(0, scan(b, "z.test {\n}\n"));
    EXPECT_EQ(1, owner("z.test.")); // equal priority: the first scanned keeps it
    // A reserved zone is never claimed.
    zone_set_put(zones, "10.IN-ADDR.ARPA.", zone_claim{0, -1});
    feed_record c = make_feed(3, -5);
    EXPECT_EQ(0, scan(c, "10.in-addr.arpa {\n}\n"));
    EXPECT_EQ(0, owner("10.in-addr.arpa."));
}

TEST_F(zonefeedd_scan, permissions_bad_headers_and_syntax_errors) {
    feed_record f = make_feed(1, 0);
    f.perm.reverse_level = 40;
    EXPECT_EQ(0, scan(f, "1.168.192.in-addr.arpa {\nPTR||1||h.test.\n}\n"
                         "bad name.test {\n}\n"
                         "ok.test {\n}\n"));
    EXPECT_EQ((std::vector<std::string>{"ES02 Client permission denied", "EPU02 Syntax error"}),
              codes());
    EXPECT_EQ("Add/Remove/Modify reverse zone records", events[0].info);
    EXPECT_EQ("4", events[1].info);
    EXPECT_EQ(-1, owner("1.168.192.IN-ADDR.ARPA."));
    EXPECT_EQ(1, owner("ok.test."));

    f = make_feed(1, 0);
    EXPECT_EQ(4, scan(f, "a.test {\n}\n\nA||x||192.0.2.1\n"));
    EXPECT_EQ(0, f.perm.clean_url_zones);
    f = make_feed(1, 0);
    EXPECT_EQ(2, scan(f, "bad name.test {\nA||x||y\n")); // a bad block running to the end
}

TEST_F(zonefeedd_scan, a_failed_owner_query_fails_the_scan) {
    feed_record a = make_feed(1, 0), b = make_feed(2, 0);
    b.perm.ignore_other_urls = 1;
    EXPECT_EQ(0, scan(a, "z.test {\n}\n"));
    // No usable connection: the owner query fails, and with it the whole scan.
    EXPECT_EQ(SCAN_DB_FAILED, scan(b, "z.test {\n}\n"));
    EXPECT_EQ(0, b.perm.clean_url_zones);
    EXPECT_EQ(1, owner("z.test."));
}

} // namespace
