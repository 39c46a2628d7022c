#include "poolwatch_scheduler.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace {

// Workers as a scheduler pass sees them: a count, the polls they run, and the starts.
struct fake_workers {
    int limit = 4;
    int drift = 7;
    std::set<int> running;
    std::vector<int> started;

    spawn_context context() {
        spawn_context ctx;
        ctx.limit = limit;
        ctx.drift = drift;
        ctx.workers = [this] { return static_cast<int>(running.size()); };
        ctx.is_running = [this](int id) { return running.count(id) > 0; };
        ctx.start = [this](const pool_poll &p) {
            started.push_back(p.id);
            running.insert(p.id);
        };
        return ctx;
    }
};

void add(std::map<int, poll_entry> &entries, int id, int interval, time_t next_run) {
    poll_entry e;
    e.poll.id = id;
    e.poll.name = "pool" + std::to_string(id);
    e.poll.protocol_code = "HTTP";
    e.poll.monit_interval = interval;
    e.next_run = next_run;
    entries[id] = e;
}

} // namespace

TEST(poolwatchdSpawn, StartsDuePollsAndSleepsUntilTheNextOneFallsDue) {
    std::map<int, poll_entry> entries;
    add(entries, 1, 30, 900); // found late: it still runs rather than being skipped
    add(entries, 2, 50, 1012);
    fake_workers w;
    EXPECT_EQ(poolwatch_spawn(entries, 1000, w.context()), 12);
    EXPECT_EQ(w.started, std::vector<int>{1});
    EXPECT_EQ(entries[1].next_run, 1030);
    EXPECT_EQ(entries[2].next_run, 1012) << "a poll not yet due keeps its time";
    EXPECT_EQ(entries[2].wait, 12);
}

TEST(poolwatchdSpawn, AtTheWorkerLimitADuePollIsPostponedByTheDrift) {
    std::map<int, poll_entry> entries;
    add(entries, 1, 30, 1000);
    add(entries, 2, 30, 1000);
    fake_workers w;
    w.limit = 1;
    w.drift = 3;
    EXPECT_EQ(poolwatch_spawn(entries, 1000, w.context()), 3);
    EXPECT_EQ(w.started, std::vector<int>{1});
    EXPECT_TRUE(entries[2].postponed);
    EXPECT_EQ(entries[2].next_run, 1003);

    // Still busy one second later: the postponement is not pushed further back.
    EXPECT_EQ(poolwatch_spawn(entries, 1001, w.context()), 2);
    EXPECT_EQ(entries[2].next_run, 1003);

    // Still busy when the postponement has passed: postponed again.
    poolwatch_spawn(entries, 1003, w.context());
    EXPECT_EQ(entries[2].next_run, 1006);
    EXPECT_EQ(w.started, std::vector<int>{1});
}

TEST(poolwatchdSpawn, APollWhoseWorkerStillRunsIsNotStartedTwice) {
    std::map<int, poll_entry> entries;
    add(entries, 1, 30, 1000);
    fake_workers w;
    w.running = {1};
    EXPECT_EQ(poolwatch_spawn(entries, 1000, w.context()), 30);
    EXPECT_TRUE(w.started.empty());
    EXPECT_EQ(entries[1].next_run, 1030) << "rescheduled one interval later";
}

TEST(poolwatchdSpawn, WaitingPollsTakeFreedWorkersInTheOrderTheyFellDue) {
    std::map<int, poll_entry> entries;
    add(entries, 1, 1, 1000);
    add(entries, 2, 1, 1000);
    add(entries, 3, 1, 1000);
    fake_workers w;
    w.limit = 1;
    poolwatch_spawn(entries, 1000, w.context()); // 1 runs; 2 and 3 wait
    w.running.clear();
    // A worker is freed long before the drift has passed: 1 is due again, but 2 has waited
    // longer and takes it at once.
    poolwatch_spawn(entries, 1001, w.context());
    w.running.clear();
    poolwatch_spawn(entries, 1002, w.context());
    EXPECT_EQ(w.started, (std::vector<int>{1, 2, 3}));
}
