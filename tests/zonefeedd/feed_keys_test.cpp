// Record keys and the record / option deltas.
#include "dns_common.h"
#include "feed_keys.h"

#include <gtest/gtest.h>

namespace {

hashed_rr rr(int type, const char *host, const char *value, unsigned priority = 0) {
    hashed_rr r;
    r.type = type;
    r.host = host;
    r.value = value;
    r.priority = priority;
    return r;
}

TEST(zonefeedd_keys, equal_keys_are_one_record) {
    record_table table;
    EXPECT_EQ(0, add_hashed_rr(table, rr(RR_A, "a.test.", "192.0.2.1")));
    EXPECT_EQ(0, add_hashed_rr(table, rr(RR_A, "a.test.", "192.0.2.1")));
    EXPECT_EQ(0, add_hashed_rr(table, rr(RR_MX, "a.test.", "mx.a.test.", 10)));
    EXPECT_EQ(2u, table.size());
}

TEST(zonefeedd_keys, record_delta_keeps_unchanged_and_lists_the_rest) {
    record_table table;
    (void)add_hashed_rr(table, rr(RR_A, "a.test.", "192.0.2.1"));
    (void)add_hashed_rr(table, rr(RR_MX, "a.test.", "mx.a.test.", 20));
    std::vector<snapshot_rr> stored = {
        {"11", "Aa.test.192.0.2.1NULLNULLNULLNULLNULLNULLNULLNULL"},
        {"12", "MXa.test.mx.a.test.10NULLNULLNULLNULLNULLNULLNULL"}, // priority changed
        {"13", std::nullopt}, // a stored row whose key is NULL is never wanted
    };
    EXPECT_EQ("12,13", delta_rr_rows(stored, table));
    ASSERT_EQ(1u, table.size());
    EXPECT_EQ(20u, table.begin()->second.priority);
    EXPECT_EQ("", delta_rr_rows({}, table));
    EXPECT_EQ(std::nullopt, delta_rr_hash(nullptr, nullptr));
    EXPECT_EQ("", delta_rr_hash(nullptr, &table));
}

TEST(zonefeedd_keys, option_delta_and_feed_wide_options) {
    feed_record feed;
    feed.transfer_list = {"192.0.2.0/24"};
    feed.master_list = {"192.0.2.53"};
    option_table primary, secondary{"M2001:db8::53"};
    EXPECT_EQ(0, hash_global_opts(primary, feed, 1));
    EXPECT_EQ(0, hash_global_opts(secondary, feed, 2));
    EXPECT_EQ(option_table{"A192.0.2.0/24"}, primary);
    EXPECT_EQ((option_table{"A192.0.2.0/24", "M192.0.2.53", "M2001:db8::53"}), secondary);
    std::vector<snapshot_opt> stored = {{"1", "192.0.2.53", "MASTER"},
                                        {"2", "192.0.2.54", "master"},
                                        {"3", "192.0.2.0/24", "allow_transfer"},
                                        {"4", "x", "also-notify"}}; // unknown: left alone
    EXPECT_EQ("2", delta_opts_rows(stored, secondary));
    EXPECT_EQ(option_table{"M2001:db8::53"}, secondary);
}

} // namespace
