// The chunk cutter: runs of blocks the feed owns, cut at block boundaries by size, ended in
// front of a block another feed owns.
#include "feed_chunks.h"

#include <gtest/gtest.h>

namespace {

const char feed_text[] = "# feed\n"
                         "a.test. {\nwww A 192.0.2.1\n}\n"
                         "b.test. {\nwww A 192.0.2.2\n}\n"
                         "c.test. {\nwww A 192.0.2.3\n}\n"
                         "d.test. {\nwww A 192.0.2.4\n}\n";

struct chunk_text {
    std::string text;
    int line;
    bool operator==(const chunk_text &) const = default;
};

std::vector<chunk_text> chunks(size_t size, const zone_set &zones, int feed_id = 7) {
    feed_record feed;
    feed.id = feed_id;
    feed_reader reader{feed_text};
    std::vector<chunk_text> out;
    work_item item;
    int rc;
    while ((rc = get_chunk_bounds(reader, feed, zones, size, item, nullptr)) == 0)
        out.push_back(
            {std::string(feed_text).substr(item.start, item.end - item.start), item.line});
    EXPECT_EQ(rc, 1);
    return out;
}

zone_set claims() {
    zone_set z;
    zone_set_put(z, "a.test.", {7, 0});
    zone_set_put(z, "b.test.", {7, 0});
    zone_set_put(z, "c.test.", {8, 0});
    zone_set_put(z, "d.test.", {7, 0});
    return z;
}

TEST(feedChunks, OwnedRunsEndInFrontOfAnotherFeedsBlock) {
    const std::string a = "a.test. {\nwww A 192.0.2.1\n}\n", b = "b.test. {\nwww A 192.0.2.2\n}\n",
                      d = "d.test. {\nwww A 192.0.2.4\n}\n";
    EXPECT_EQ(chunks(1 << 20, claims()), (std::vector<chunk_text>{{a + b, 1}, {d, 10}}));
    // One block per chunk when the size is reached by every block.
    EXPECT_EQ(chunks(1, claims()), (std::vector<chunk_text>{{a, 1}, {b, 4}, {d, 10}}));
    EXPECT_EQ(chunks(1 << 20, claims(), 8).size(), 1u);
    EXPECT_TRUE(chunks(1 << 20, claims(), 9).empty());
}

TEST(feedChunks, SyntaxErrorOutsideBlocksStopsTheCutter) {
    feed_record feed;
    feed.id = 7;
    feed_reader reader{"a.test. {\n}\nnot a header\n"};
    work_item item;
    zone_set z = claims();
    EXPECT_EQ(get_chunk_bounds(reader, feed, z, 1, item, nullptr), 0);
    EXPECT_EQ(get_chunk_bounds(reader, feed, z, 1, item, nullptr), -1);
}

} // namespace
