#include "poolwatch_pollset.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

poll_row row(int id, std::optional<std::string> interval = "30") {
    return {std::to_string(id), "pool" + std::to_string(id), "7", "HTTP", interval, "http://$RR/"};
}

} // namespace

TEST(poolwatchdPollRows, AKnownPollTakesNewValuesButKeepsItsSchedule) {
    std::map<int, poll_entry> entries;
    poolwatch_apply_poll_row(entries, row(1), 1000);
    EXPECT_EQ(entries.at(1).next_run, 1030) << "first due one interval after the refresh";
    poll_row r = row(1, "90");
    r.protocol_code = "PING";
    r.test_url = "$RR";
    poolwatch_apply_poll_row(entries, r, 1020);
    const poll_entry &e = entries.at(1);
    EXPECT_EQ(e.poll.monit_interval, 90);
    EXPECT_EQ(e.poll.protocol_code, "PING");
    EXPECT_EQ(e.poll.test_url, "$RR");
    EXPECT_EQ(e.next_run, 1030) << "the new interval applies from the next run";
}

TEST(poolwatchdPollRows, APollThatCannotRunIsLeftOutOrDropped) {
    const std::vector<std::function<void(poll_row &)>> spoil = {
        [](poll_row &r) { r.protocol_code = ""; },     [](poll_row &r) { r.test_url = ""; },
        [](poll_row &r) { r.monit_interval.reset(); }, [](poll_row &r) { r.monit_interval = "0"; },
        [](poll_row &r) { r.monit_interval = "-5"; }, // as written, a busy loop
    };
    for (size_t i = 0; i < spoil.size(); ++i) {
        std::map<int, poll_entry> entries;
        poll_row bad = row(1);
        spoil[i](bad);
        poolwatch_apply_poll_row(entries, bad, 1000);
        EXPECT_TRUE(entries.empty()) << "new poll, case " << i;
        poolwatch_apply_poll_row(entries, row(1), 1000);
        poolwatch_apply_poll_row(entries, bad, 1010);
        EXPECT_TRUE(entries.empty()) << "known poll, case " << i;
    }
}
