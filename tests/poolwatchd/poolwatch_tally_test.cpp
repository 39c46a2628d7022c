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

// Registers `p` on a record that has no tally yet, the way a worker does.
tally_registration first_registration(tally_table &t, const pool_record &r, const pool_poll &p,
                                      std::set<int> expected) {
    EXPECT_EQ(poolwatch_tally_register(t, r, p).step, TALLY_UNKNOWN);
    return poolwatch_tally_create(t, r, p, std::move(expected));
}

} // namespace

TEST(poolwatchdTally, ARecordOfTwoPoolsWaitsForBothAndOneFailureDecides) {
    tally_table t;
    const pool_record r = make_record(1);
    const pool_poll a = make_poll(10), b = make_poll(11);
    auto ra = first_registration(t, r, a, {10, 11});
    ASSERT_EQ(ra.step, TALLY_TEST);
    EXPECT_EQ(poolwatch_tally_report(t, r, a, ra.serial, OUTCOME_UP), std::nullopt);

    auto rb = poolwatch_tally_register(t, r, b);
    ASSERT_EQ(rb.step, TALLY_TEST);
    EXPECT_EQ(rb.serial, ra.serial);
    EXPECT_EQ(poolwatch_tally_report(t, r, b, rb.serial, OUTCOME_DOWN), OUTCOME_DOWN);
    EXPECT_TRUE(t.records.empty()) << "a complete tally is removed: the next cycle starts afresh";
}

TEST(poolwatchdTally, AfterAFailureTheOtherPollsSkipTheirTestAndReportDown) {
    tally_table t;
    const pool_record r = make_record(1);
    const pool_poll a = make_poll(10), b = make_poll(11);
    auto ra = first_registration(t, r, a, {10, 11});
    poolwatch_tally_report(t, r, a, ra.serial, OUTCOME_DOWN);
    auto rb = poolwatch_tally_register(t, r, b);
    EXPECT_EQ(rb.step, TALLY_SKIP);
    EXPECT_EQ(rb.verdict, OUTCOME_DOWN) << "b's registration completes the tally";
}

TEST(poolwatchdTally, AReportForAnEndedCycleCountsNowhere) {
    tally_table t;
    const pool_record r = make_record(1);
    const pool_poll a = make_poll(10), b = make_poll(11);
    auto ra = first_registration(t, r, a, {10, 11});
    poolwatch_clear_poll_records(t); // a reload while a's script runs
    auto rb = first_registration(t, r, b, {10, 11});
    ASSERT_NE(rb.serial, ra.serial);
    EXPECT_EQ(poolwatch_tally_report(t, r, a, ra.serial, OUTCOME_DOWN), std::nullopt);
    EXPECT_EQ(t.records.at(1).verdict, OUTCOME_UP) << "a's old result must not reach b's cycle";
    EXPECT_EQ(poolwatch_tally_report(t, r, b, rb.serial, OUTCOME_UP), std::nullopt)
        << "a still has to report in this cycle";
}

TEST(poolwatchdTally, ConcurrentCreationJoinsTheTallyThatWonTheRace) {
    tally_table t;
    const pool_record r = make_record(1);
    const pool_poll a = make_poll(10), b = make_poll(11);
    EXPECT_EQ(poolwatch_tally_register(t, r, a).step, TALLY_UNKNOWN);
    EXPECT_EQ(poolwatch_tally_register(t, r, b).step, TALLY_UNKNOWN);
    auto ra = poolwatch_tally_create(t, r, a, {10, 11});
    auto rb = poolwatch_tally_create(t, r, b, {10, 11});
    EXPECT_EQ(ra.serial, rb.serial);
    EXPECT_EQ(rb.step, TALLY_TEST);
    EXPECT_EQ(poolwatch_tally_report(t, r, a, ra.serial, OUTCOME_UP), std::nullopt);
    EXPECT_EQ(poolwatch_tally_report(t, r, b, rb.serial, OUTCOME_UP), OUTCOME_UP);
}

TEST(poolwatchdTally, RefreshForgetsPollsThatLeftAndCompletesWhatTheyHeldUp) {
    tally_table t;
    const pool_record r = make_record(1);
    const pool_poll a = make_poll(10), b = make_poll(11);
    auto ra = first_registration(t, r, a, {10, 11});
    poolwatch_tally_report(t, r, a, ra.serial, OUTCOME_DOWN);
    // Pool b was deactivated: it is neither active in the database nor in the poll set.
    auto done = poolwatch_tally_refresh(t, {{1, {10}}}, {10});
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].record.id, 1);
    EXPECT_EQ(done[0].verdict, OUTCOME_DOWN);
    EXPECT_TRUE(t.records.empty());
}

TEST(poolwatchdTally, RefreshDropsTheRegistrationOfAPollRemovedWhileItRuns) {
    tally_table t;
    const pool_record r = make_record(1);
    const pool_poll a = make_poll(10), b = make_poll(11);
    auto ra = first_registration(t, r, a, {10, 11});
    auto rb = poolwatch_tally_register(t, r, b);
    EXPECT_TRUE(poolwatch_tally_refresh(t, {{1, {10, 11}}}, {11}).empty());
    EXPECT_EQ(poolwatch_tally_report(t, r, a, ra.serial, OUTCOME_DOWN), std::nullopt);
    EXPECT_EQ(poolwatch_tally_report(t, r, b, rb.serial, OUTCOME_UP), OUTCOME_UP)
        << "only b's result counts once a has left the poll set";
}
