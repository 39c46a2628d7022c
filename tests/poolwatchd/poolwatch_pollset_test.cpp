#include "poolwatch_pollset.h"

#include <gtest/gtest.h>

namespace {

poll_row row(int id, std::optional<std::string> interval = "30") {
    return {std::to_string(id), "pool" + std::to_string(id), "7", "HTTP", interval, "http://$RR/"};
}

} // namespace

TEST(poolwatchdPollRows, ANewPollIsFirstDueOneIntervalAfterTheRefresh) {
    std::map<int, poll_entry> entries;
    poolwatch_apply_poll_row(entries, row(3), 1000);
    ASSERT_EQ(entries.count(3), 1u);
    const poll_entry &e = entries[3];
    EXPECT_EQ(e.next_run, 1030);
    EXPECT_EQ(e.state, POLL_SEEN);
    EXPECT_EQ(e.poll.name, "pool3");
    EXPECT_EQ(e.poll.zone_id, 7);
    EXPECT_EQ(e.poll.protocol_code, "HTTP");
    EXPECT_EQ(e.poll.test_url, "http://$RR/");
}

TEST(poolwatchdPollRows, ANewPollMissingAFieldIsLeftOut) {
    std::map<int, poll_entry> entries;
    poll_row r = row(1);
    r.name.reset();
    poolwatch_apply_poll_row(entries, r, 1000);
    r = row(2);
    r.zone_id.reset();
    poolwatch_apply_poll_row(entries, r, 1000);
    r = row(3);
    r.protocol_code = "";
    poolwatch_apply_poll_row(entries, r, 1000);
    r = row(4);
    r.test_url = "";
    poolwatch_apply_poll_row(entries, r, 1000);
    EXPECT_TRUE(entries.empty());
}

TEST(poolwatchdPollRows, AMissingOrNonPositiveIntervalIsRefused) {
    for (const std::optional<std::string> &interval :
         {std::optional<std::string>{}, std::optional<std::string>{"0"},
          std::optional<std::string>{"-5"}, std::optional<std::string>{"soon"}}) {
        std::map<int, poll_entry> entries;
        poolwatch_apply_poll_row(entries, row(1, interval), 1000);
        EXPECT_TRUE(entries.empty()) << interval.value_or("NULL");

        // A known poll whose interval became unusable leaves the set.
        poolwatch_apply_poll_row(entries, row(1), 1000);
        poolwatch_apply_poll_row(entries, row(1, interval), 1010);
        EXPECT_TRUE(entries.empty()) << interval.value_or("NULL");
    }
}

TEST(poolwatchdPollRows, AKnownPollTakesNewValuesButKeepsItsSchedule) {
    std::map<int, poll_entry> entries;
    poolwatch_apply_poll_row(entries, row(1), 1000);
    poolwatch_aging_polls(entries);
    poll_row r = row(1, "90");
    r.protocol_code = "PING";
    r.test_url = "$RR";
    poolwatch_apply_poll_row(entries, r, 1020);
    const poll_entry &e = entries.at(1);
    EXPECT_EQ(e.state, POLL_SEEN);
    EXPECT_EQ(e.poll.monit_interval, 90);
    EXPECT_EQ(e.poll.protocol_code, "PING");
    EXPECT_EQ(e.poll.test_url, "$RR");
    EXPECT_EQ(e.next_run, 1030) << "the new interval applies from the next run";
}

TEST(poolwatchdPollRows, AKnownPollLosingItsProtocolOrUrlLeavesAtOnce) {
    std::map<int, poll_entry> entries;
    poolwatch_apply_poll_row(entries, row(1), 1000);
    poolwatch_apply_poll_row(entries, row(2), 1000);
    poll_row r = row(1);
    r.protocol_code = "";
    poolwatch_apply_poll_row(entries, r, 1000);
    r = row(2);
    r.test_url = "";
    poolwatch_apply_poll_row(entries, r, 1000);
    EXPECT_TRUE(entries.empty());
}

TEST(poolwatchdPollRows, PollsNotSeenInARefreshAreRemovedBySync) {
    std::map<int, poll_entry> entries;
    poolwatch_apply_poll_row(entries, row(1), 1000);
    poolwatch_apply_poll_row(entries, row(2), 1000);
    poolwatch_aging_polls(entries);
    poolwatch_apply_poll_row(entries, row(2), 1025);
    poll_row incomplete = row(1);
    incomplete.name.reset(); // a NULL column leaves a known poll stale
    poolwatch_apply_poll_row(entries, incomplete, 1025);
    poolwatch_sync(entries);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries.count(2), 1u);
}
