// How the parallel writer divides a change set between its worker processes, and how it
// tells the name server about a changes job.
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

const std::string a_stmt = "zone \"a.example\" { type master; file \"a/a.example\"; };";
const std::string b_stmt = "zone \"b.example\" { type master; file \"b/b.example\"; };";

TEST(ReloadPlan, DataChangeOnlyReloadsTheZoneByName) {
    const zone_statements before{{"a.example.", a_stmt}, {"b.example.", b_stmt}};
    const reload_plan plan = plan_reload(before, before, {"b.example.", "a.example."}, false);
    EXPECT_FALSE(plan.whole);
    EXPECT_FALSE(plan.reconfig);
    EXPECT_EQ((std::vector<std::string>{"a.example", "b.example"}), plan.zones);
}

TEST(ReloadPlan, ChangedZoneListOrStatementOrAclRereadsTheConfiguration) {
    const zone_statements before{{"a.example.", a_stmt}};
    // A new zone: the reconfig loads it, no reload by name.
    reload_plan plan = plan_reload({}, before, {"a.example."}, false);
    EXPECT_TRUE(plan.reconfig);
    EXPECT_TRUE(plan.zones.empty());
    // A removed zone.
    plan = plan_reload(before, {}, {}, false);
    EXPECT_TRUE(plan.reconfig);
    EXPECT_TRUE(plan.zones.empty());
    // A changed statement of a zone whose data changed too.
    const zone_statements after{{"a.example.", "zone \"a.example\" { type master; file "
                                               "\"a/a.example\"; allow-transfer { any; }; };"}};
    plan = plan_reload(before, after, {"a.example."}, false);
    EXPECT_TRUE(plan.reconfig);
    EXPECT_EQ(std::vector<std::string>{"a.example"}, plan.zones);
    // Same statements, new ACL file.
    plan = plan_reload(before, before, {}, true);
    EXPECT_TRUE(plan.reconfig);
    EXPECT_FALSE(plan.whole);
}

TEST(ReloadPlan, ZonesMatchWhateverTheSpelling) {
    // The live file spells the name without its dot and in capitals; the change set with.
    const zone_statements before{{"A.Example.", "zone \"A.Example\" { type master; };"}};
    const zone_statements after{{"a.example.", "zone \"a.example\" { type master; };"}};
    const reload_plan plan = plan_reload(before, after, {"a.example."}, false);
    EXPECT_TRUE(plan.reconfig); // the statement's text changed
    EXPECT_EQ(std::vector<std::string>{"a.example"}, plan.zones);
}

TEST(ReloadPlan, PastTheLimitTheWholeServerReloads) {
    zone_statements before;
    std::vector<std::string> rewritten;
    for (size_t i = 0; i < zone_reload_limit; ++i) {
        const std::string name = "z" + std::to_string(i) + ".example.";
        before[name] = "zone \"" + name + "\" { type master; };";
        rewritten.push_back(name);
    }
    reload_plan plan = plan_reload(before, before, rewritten, false);
    EXPECT_FALSE(plan.whole);
    EXPECT_EQ(zone_reload_limit, plan.zones.size());
    before["extra.example."] = "zone \"extra.example\" { type master; };";
    rewritten.push_back("extra.example.");
    plan = plan_reload(before, before, rewritten, false);
    EXPECT_TRUE(plan.whole);
    EXPECT_FALSE(plan.reconfig);
    EXPECT_TRUE(plan.zones.empty());
}

} // namespace
