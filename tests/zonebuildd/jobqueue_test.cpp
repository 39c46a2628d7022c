// The daemon's job queue and timer: what a burst of signals turns into, and when the loop
// sleeps and wakes.
#include "zonebuildd.h"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::vector<int> drain(signal_jobs &q) {
    std::vector<int> taken;
    for (int kind = q.take(); kind != JOB_NONE; kind = q.take())
        taken.push_back(kind);
    return taken;
}

struct queue_case {
    std::vector<int> requested;
    std::vector<int> served;
};

class JobQueueOrder : public ::testing::TestWithParam<queue_case> {};

TEST_P(JobQueueOrder, AKindAlreadyWaitingIsNotQueuedAgain) {
    signal_jobs &q = zbd().queue; // the daemon's queue, with the daemon's rule
    ASSERT_EQ(0, q.open());
    for (int kind : GetParam().requested)
        q.add(kind);
    EXPECT_EQ(GetParam().served, drain(q));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JobQueueOrder,
    ::testing::Values(queue_case{{}, {}}, queue_case{{JOB_CHANGES}, {JOB_CHANGES}},
                      queue_case{{1, 1, 2, 1}, {1, 2}}, queue_case{{1, 1, 1, 2}, {1, 2}},
                      queue_case{{3, 4, 4, 3, 3, 2}, {3, 4, 2}}, queue_case{{2, 2, 2, 2}, {2}},
                      queue_case{{2, 1, 2, 1, 2, 1, 4, 3}, {2, 1, 4, 3}}));

// Once a job was taken it no longer waits: a new request of its kind queues it again.
TEST(JobQueue, ATakenKindCanBeQueuedAgain) {
    signal_jobs &q = zbd().queue;
    ASSERT_EQ(0, q.open());
    q.add(JOB_RESTORE);
    q.add(JOB_CHANGES);
    EXPECT_EQ(JOB_RESTORE, q.take());
    q.add(JOB_RESTORE);
    q.add(JOB_CHANGES);
    EXPECT_EQ((std::vector<int>{JOB_CHANGES, JOB_RESTORE}), drain(q));
}

// The daemon's own handlers, driven by real signals.
class SignalQueue : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(0, zbd().queue.open());
        ASSERT_EQ(0, zb_install_signal_handlers(zbd()));
    }
    void TearDown() override {
        for (int sig : {SIGUSR1, SIGUSR2, SIGTTIN, SIGHUP, SIGTERM, SIGINT})
            signal(sig, SIG_DFL);
        ASSERT_EQ(0, zbd().queue.open()); // empty, no stop request
    }
};

TEST_F(SignalQueue, SignalsMapToJobKinds) {
    for (int sig : {SIGUSR1, SIGUSR1, SIGUSR1, SIGUSR2, SIGHUP, SIGTTIN, SIGTTIN, SIGUSR1})
        ASSERT_EQ(0, raise(sig));
    EXPECT_EQ((std::vector<int>{JOB_CHANGES, JOB_RESTORE, JOB_REREAD, JOB_CUSTOM}),
              drain(zbd().queue));
}

// A storm of mixed signals leaves one job per kind, not hundreds of alternating jobs.
TEST_F(SignalQueue, StormOfMixedSignalsQueuesEachKindOnce) {
    for (int i = 0; i < 500; ++i)
        for (int sig : {SIGUSR2, SIGUSR1, SIGHUP})
            ASSERT_EQ(0, raise(sig));
    EXPECT_EQ((std::vector<int>{JOB_RESTORE, JOB_CHANGES, JOB_REREAD}), drain(zbd().queue));
}

TEST_F(SignalQueue, StopSignalsClearTheRunningFlagAndQueueNothing) {
    for (int sig : {SIGTERM, SIGINT}) {
        ASSERT_EQ(0, zbd().queue.open());
        ASSERT_EQ(0, raise(sig));
        EXPECT_TRUE(zbd().queue.stopping());
        EXPECT_TRUE(zbd().queue.empty());
    }
}

TEST_F(SignalQueue, SleepEndsForAJobQueuedFromElsewhere) {
    std::thread sender([] { signal_jobs::signal_kind(JOB_RESTORE); });
    // An hour: only the wake-up can end it.
    const int rc = dns_sleep(zbd(), timespec{3600, 0});
    sender.join();
    EXPECT_EQ(1, rc);
    EXPECT_EQ(JOB_RESTORE, zbd().queue.take());
}

TEST_F(SignalQueue, SleepEndsForAStopRequest) {
    std::thread sender([] { kill(getpid(), SIGTERM); });
    const int rc = dns_sleep(zbd(), timespec{3600, 0});
    sender.join();
    EXPECT_EQ(1, rc);
    EXPECT_TRUE(zbd().queue.stopping());
}

TEST_F(SignalQueue, SleepWithAJobAlreadyQueuedReturnsAtOnce) {
    ASSERT_EQ(0, raise(SIGUSR1));
    EXPECT_EQ(1, dns_sleep(zbd(), timespec{3600, 0}));
}

TEST_F(SignalQueue, SleepRunsOutWithoutRequests) {
    EXPECT_EQ(0, dns_sleep(zbd(), timespec{0, 1000000}));
    EXPECT_TRUE(zbd().queue.empty());
}

struct timer_case {
    time_t interval, elapsed, delay;
};

class PeriodicTimer : public ::testing::TestWithParam<timer_case> {};

TEST_P(PeriodicTimer, DelayKeepsThePhaseOfThePeriodicRuns) {
    const time_t now = 1700000000;
    const timer_case &c = GetParam();
    EXPECT_EQ(c.delay, init_timer(c.interval, now - c.elapsed, now));
}

INSTANTIATE_TEST_SUITE_P(Cases, PeriodicTimer,
                         ::testing::Values(timer_case{1800, 1800, 1800},
                                           timer_case{1800, 100, 1700}, timer_case{1800, 0, 1800},
                                           timer_case{1800, 3700, 1700},
                                           timer_case{1800, -50, 1800}, // clock set back
                                           timer_case{1, 12345, 1}));

} // namespace
