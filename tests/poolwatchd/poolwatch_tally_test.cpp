#include "poolwatch_tally.h"

#include <gtest/gtest.h>

namespace {

pool_poll make_poll(int id) {
    pool_poll p;
    p.id = id;
    p.name = "pool" + std::to_string(id);
    p.protocol_code = "HTTP";
    p.monit_interval = 60;
    p.test_url = "http://$RR/";
    return p;
}

pool_record make_record(int id, int status = RECORD_ENABLED) {
    return {id, "example.net", "192.0.2." + std::to_string(id), "A", status};
}

// Registers `p` the way a worker does: with the record's tally, or creating it.
tally_step test(tally_table &t, const pool_record &r, const pool_poll &p,
                std::set<int> expected = {10, 11}) {
    const tally_step step = poolwatch_tally_register(t, r, p);
    if (step != TALLY_UNKNOWN)
        return step;
    return poolwatch_tally_create(t, r, p, std::move(expected));
}

// One whole test of `p`: registration and report.
std::optional<int> run(tally_table &t, const pool_record &r, const pool_poll &p, int outcome) {
    EXPECT_EQ(test(t, r, p), TALLY_TEST);
    return poolwatch_tally_report(t, r, p, outcome);
}

} // namespace

TEST(poolwatchdTally, PollsTestingTogetherDecideAfterTheLastReportAndOneFailureDecides) {
    tally_table t;
    const pool_record r = make_record(1);
    const pool_poll a = make_poll(10), b = make_poll(11);
    ASSERT_EQ(test(t, r, a), TALLY_TEST);
    ASSERT_EQ(test(t, r, b), TALLY_TEST);
    EXPECT_EQ(poolwatch_tally_report(t, r, a, OUTCOME_UP), std::nullopt) << "b is testing it";
    EXPECT_EQ(poolwatch_tally_report(t, r, b, OUTCOME_DOWN), OUTCOME_DOWN);
}

TEST(poolwatchdTally, ASharedRecordIsTestedEveryCycleAndEveryPollsLatestAnswerCounts) {
    tally_table t;
    pool_record r = make_record(1);
    const pool_poll fast = make_poll(10), slow = make_poll(11);
    EXPECT_EQ(run(t, r, fast, OUTCOME_UP), OUTCOME_UP)
        << "a poll that is not testing the record now is not waited for";
    EXPECT_EQ(run(t, r, slow, OUTCOME_DOWN), OUTCOME_DOWN);
    poolwatch_tally_switched(t, 1, RECORD_DISABLED);
    r.status = RECORD_DISABLED;
    // The fast poll runs again and again: tested each time, but slow's DOWN still stands.
    for (int cycle = 0; cycle < 3; ++cycle)
        EXPECT_EQ(run(t, r, fast, OUTCOME_UP), OUTCOME_DOWN) << cycle;
    EXPECT_EQ(run(t, r, slow, OUTCOME_UP), OUTCOME_UP) << "both answer UP now";
}

TEST(poolwatchdTally, APollThatCannotTestLosesItsEarlierAnswers) {
    tally_table t;
    const pool_record r = make_record(1, RECORD_DISABLED);
    const pool_poll a = make_poll(10), b = make_poll(11);
    EXPECT_EQ(run(t, r, b, OUTCOME_DOWN), OUTCOME_DOWN);
    EXPECT_EQ(run(t, r, a, OUTCOME_UP), OUTCOME_DOWN);
    poolwatch_tally_cannot_test(t, b.id, true); // b's script went away
    EXPECT_EQ(run(t, r, a, OUTCOME_UP), OUTCOME_UP);
}

TEST(poolwatchdTally, ARunWithoutAnswerDecidesNothingAndTakesThePollsAnswerBack) {
    tally_table t;
    const pool_record r = make_record(1);
    const pool_poll a = make_poll(10), b = make_poll(11);
    EXPECT_EQ(run(t, r, a, OUTCOME_NONE), std::nullopt);
    EXPECT_EQ(run(t, r, b, OUTCOME_DOWN), OUTCOME_DOWN) << "a real answer decides";
    EXPECT_EQ(run(t, r, b, OUTCOME_NONE), std::nullopt) << "no answer, no verdict";
    EXPECT_EQ(run(t, r, a, OUTCOME_UP), OUTCOME_UP) << "b's DOWN was taken back";

    tally_table alone;
    EXPECT_EQ(run(alone, r, a, OUTCOME_NONE), std::nullopt);
    EXPECT_EQ(run(alone, r, a, OUTCOME_NONE), std::nullopt);
}

TEST(poolwatchdTally, AReportForATallyThatWentCountsNowhere) {
    tally_table t;
    const pool_record r = make_record(1);
    const pool_poll a = make_poll(10), b = make_poll(11);
    ASSERT_EQ(test(t, r, a), TALLY_TEST);
    poolwatch_clear_poll_records(t); // a reload while a's script runs
    ASSERT_EQ(test(t, r, b), TALLY_TEST);
    EXPECT_EQ(poolwatch_tally_report(t, r, a, OUTCOME_DOWN), std::nullopt);
    EXPECT_TRUE(t.records.at(1).answers.empty()) << "a's old result must not reach b's tally";

    // A test given up while the daemon stops leaves nothing behind either.
    poolwatch_tally_withdraw(t, r, b);
    EXPECT_EQ(poolwatch_tally_report(t, r, b, OUTCOME_DOWN), std::nullopt);
    EXPECT_TRUE(t.records.at(1).testing.empty());
}

TEST(poolwatchdTally, RefreshForgetsPollsThatLeftAndDecidesWhatTheyHeldUp) {
    tally_table t;
    pool_record r = make_record(1);
    const pool_poll a = make_poll(10), b = make_poll(11);
    EXPECT_EQ(run(t, r, b, OUTCOME_DOWN), OUTCOME_DOWN);
    poolwatch_tally_switched(t, 1, RECORD_DISABLED);
    r.status = RECORD_DISABLED;
    EXPECT_EQ(run(t, r, a, OUTCOME_UP), OUTCOME_DOWN) << "b's DOWN holds the record down";
    // Pool b was deactivated: it is neither active in the database nor in the poll set.
    auto done = poolwatch_tally_refresh(t, {{1, {10}}}, {10});
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].record.id, 1);
    EXPECT_EQ(done[0].verdict, OUTCOME_UP);
    EXPECT_TRUE(poolwatch_tally_refresh(t, {{1, {10}}}, {10}).empty()) << "decided once";
    EXPECT_TRUE(poolwatch_tally_refresh(t, {}, {10}).empty());
    EXPECT_TRUE(t.records.empty()) << "a record no pool tests any longer has no tally";
}

TEST(poolwatchdTally, DampingSwitchesOnlyAfterEnoughVerdictsInARow) {
    tally_table t;
    poolwatch_tally_set_rules(t, {2, 3, false}); // rise 2, fall 3
    pool_record r = make_record(1);
    const pool_poll a = make_poll(10);
    const std::set<int> only_a = {10};
    auto once = [&](int outcome) {
        EXPECT_EQ(test(t, r, a, only_a), TALLY_TEST);
        return poolwatch_tally_report(t, r, a, outcome);
    };
    EXPECT_EQ(once(OUTCOME_DOWN), std::nullopt);
    EXPECT_EQ(once(OUTCOME_DOWN), std::nullopt);
    EXPECT_EQ(once(OUTCOME_UP), OUTCOME_UP) << "agrees with the status: the count starts over";
    EXPECT_EQ(once(OUTCOME_DOWN), std::nullopt);
    EXPECT_EQ(once(OUTCOME_DOWN), std::nullopt);
    EXPECT_EQ(once(OUTCOME_DOWN), OUTCOME_DOWN) << "the third DOWN in a row";
    poolwatch_tally_switched(t, 1, RECORD_DISABLED);
    r.status = RECORD_DISABLED;
    EXPECT_EQ(once(OUTCOME_UP), std::nullopt);
    EXPECT_EQ(once(OUTCOME_UP), OUTCOME_UP);
}
