// How the parallel writer divides a change set between its worker processes.
#include "zone_writer.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct split_case {
    size_t zones;
    int limit;
    std::vector<writer_slice> slices;
};

class WriterSplit : public ::testing::TestWithParam<split_case> {};

TEST_P(WriterSplit, SlicesCoverEveryZoneOnce) {
    const split_case &c = GetParam();
    const size_t n = writer_count(c.zones, c.limit);
    ASSERT_EQ(c.slices.size(), n);
    for (size_t i = 0; i < n; ++i) {
        const writer_slice s = slice_of(c.zones, n, i);
        EXPECT_EQ(c.slices[i].begin, s.begin) << i;
        EXPECT_EQ(c.slices[i].end, s.end) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WriterSplit,
    ::testing::Values(split_case{10, 3, {{0, 3}, {3, 6}, {6, 10}}}, // the last takes the rest
                      split_case{2, 4, {{0, 2}}},                   // fewer zones: one worker
                      split_case{4, 4, {{0, 1}, {1, 2}, {2, 3}, {3, 4}}},
                      split_case{1, 1, {{0, 1}}}, split_case{7, 2, {{0, 3}, {3, 7}}},
                      split_case{5, 0, {{0, 5}}})); // a limit below 1 never means no worker

} // namespace
