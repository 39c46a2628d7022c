// The zone record's pieces that need no database: option keys, records from a row with
// NULL columns, record types by their exact name, and the origin name server's place.
#include "dns_validator.h"
#include "sql.h"
#include "zone_model.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

// A fetched row built from column texts (nullopt is NULL).
struct fake_row {
    std::vector<std::optional<std::string>> columns;
    std::vector<char *> pointers;
    std::vector<unsigned long> lengths;
    sql_row row;

    explicit fake_row(std::vector<std::optional<std::string>> cols) : columns(std::move(cols)) {
        for (auto &c : columns) {
            pointers.push_back(c ? c->data() : nullptr);
            lengths.push_back(c ? c->size() : 0);
        }
        row.row = pointers.data();
        row.lengths = lengths.data();
        row.fields = static_cast<unsigned>(columns.size());
    }
};

using col = std::optional<std::string>;

TEST(zone_model, option_keys_form_a_set) {
    zone_info z;
    struct {
        const char *address;
        const char *type;
        int rc;
    } calls[] = {
        {"192.0.2.1", "allow_transfer", 0},
        {"192.0.2.2", "master", 0},
        {"192.0.2.1", "allow_transfer", 0}, // again: still one key
        {"192.0.2.1", "master", 0},         // same address, other kind: another key
        {"192.0.2.3", "a", 0},
        {"192.0.2.4", "also", 0}, // the first letter decides
        {"", "master", -1},
        {nullptr, "master", -1},
        {"192.0.2.5", "", -1},
        {"192.0.2.5", nullptr, -1},
        {"192.0.2.5", "notify", -1},
        {"192.0.2.5", "Master", -1},
    };
    for (const auto &c : calls)
        EXPECT_EQ(add_zone_option(z, c.address, c.type), c.rc)
            << (c.address ? c.address : "(null)") << " " << (c.type ? c.type : "(null)");
    EXPECT_EQ(z.options, (std::vector<std::string>{"A192.0.2.1", "M192.0.2.2", "M192.0.2.1",
                                                   "A192.0.2.3", "A192.0.2.4"}));
}

TEST(zone_model, record_from_row) {
    fake_row full({col("x"), col("www"), col("192.0.2.1"), col("10"), col("20"), col("5060"),
                   col("300"), col("sip"), col("u"), col("i"), col("^.*$"), col("")});
    std::optional<zone_rec> r = record_from_row(full.row, 1);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->host, "www");
    EXPECT_EQ(r->value, "192.0.2.1");
    EXPECT_EQ(r->priority, 10);
    EXPECT_EQ(r->priority_minor, 20u);
    EXPECT_EQ(r->port, 5060u);
    EXPECT_EQ(r->ttl, 300u);
    EXPECT_EQ(r->services, "sip");
    EXPECT_EQ(r->flag, "u");
    EXPECT_EQ(r->regex_flag, "i");
    EXPECT_EQ(r->regex, "^.*$");
    EXPECT_EQ(r->replacement, "."); // an empty replacement is the root
    EXPECT_TRUE(r->origin_mark);

    // NULL numbers read as 0, NULL texts as absent; nothing crashes
    fake_row sparse({col("www"), col("v"), std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                     std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt});
    r = record_from_row(sparse.row, 0);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->priority, 0);
    EXPECT_EQ(r->ttl, 0u);
    EXPECT_FALSE(r->services || r->flag || r->regex_flag || r->regex || r->replacement);
    EXPECT_FALSE(r->origin_mark);

    // values keep every byte, NUL included
    fake_row binary({col("t"), col(std::string("a\0b", 3)), col("0")});
    binary.row.fields = 3;
    r = record_from_row(binary.row, 0);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->value, std::string("a\0b", 3));

    fake_row no_host({std::nullopt, col("v"), col("1")});
    EXPECT_FALSE(record_from_row(no_host.row, 0));
    fake_row no_value({col("h"), std::nullopt, col("1")});
    EXPECT_FALSE(record_from_row(no_value.row, 0));
    fake_row short_row({col("h")});
    EXPECT_FALSE(record_from_row(short_row.row, 0));
}

TEST(zone_model, record_types_match_by_whole_name) {
    struct {
        const char *type;
        int slot;
    } cases[] = {
        {"NS", SLOT_NS},
        {"A", SLOT_A},
        {"AAAA", SLOT_AAAA},
        {"CNAME", SLOT_CNAME},
        {"MX", SLOT_MX},
        {"SRV", SLOT_SRV},
        {"PTR", SLOT_PTR},
        {"TXT", SLOT_TXT},
        {"NAPTR", SLOT_NAPTR},
        {"aaaa", SLOT_AAAA},
        {"AFSDB", -1},
        {"DNAME", -1},
        {"NSEC", -1},
        {"AA", -1},
        {"NAPTRX", -1},
        {"CAA", -1},
        {"SPF", -1},
        {"", -1},
        {"A ", -1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(rec_slot_of(c.type), c.slot) << c.type;
}

} // namespace

namespace {

// A classless reverse zone covers its whole block: in 0/25 the hosts 0..127, the upper half
// (64..127) included, and nothing from 128 on.
TEST(zone_model, ClasslessReverseNetworkCoversItsWholeBlock) {
    arpa_ipv4_net zone;
    ASSERT_EQ(0, split_arpa_ipv4("0/25.2.0.192.in-addr.arpa.", zone));
    EXPECT_EQ(25, zone.prefix);
    for (const auto &[host, inside] : std::vector<std::pair<int, int>>{
             {0, 1}, {1, 1}, {63, 1}, {64, 1}, {100, 1}, {127, 1}, {128, 0}, {255, 0}}) {
        arpa_ipv4_net net;
        ASSERT_EQ(0, split_arpa_ipv4(std::to_string(host) + ".2.0.192.in-addr.arpa.", net));
        EXPECT_EQ(inside, is_subnet(net, zone)) << host;
    }
}

} // namespace

TEST(zone_model, record_groups_hold_at_most_the_budget) {
    struct {
        std::vector<size_t> counts;
        std::vector<size_t> ends;
    } cases[] = {
        {{}, {}},
        {{3, 4, 3}, {3}},           // exactly the budget: one group
        {{3, 4, 5, 1}, {2, 4}},     // the third would pass it
        {{2, 25, 1, 9}, {1, 2, 4}}, // a zone above the budget stands alone
        {{25}, {1}},                // ... also when it is the only one
        {{0, 0, 10, 0, 1}, {4, 5}}, // secondary zones hold no records
    };
    for (const auto &c : cases)
        EXPECT_EQ(record_groups(c.counts, 10), c.ends) << ::testing::PrintToString(c.counts);
}
