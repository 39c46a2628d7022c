// Signals to jobs: order kept, repeats collapsed, stop requests, the sleep.
#include "signal_jobs.h"

#include <gtest/gtest.h>

#include <csignal>
#include <pthread.h>
#include <thread>

namespace {

const int job_sigs[] = {SIGUSR1, SIGUSR2, SIGTTIN, SIGHUP, SIGTERM};

struct SignalJobs : ::testing::Test {
    void TearDown() override {
        for (int sig : job_sigs)
            signal(sig, SIG_DFL);
    }
};

std::deque<int> after(signal_jobs &jobs, std::initializer_list<int> signals) {
    for (int sig : signals)
        raise(sig);
    return jobs.waiting();
}

} // namespace

TEST_F(SignalJobs, OrderIsKeptAndWaitingKindsCollapse) {
    signal_jobs jobs;
    ASSERT_EQ(0, jobs.open());
    ASSERT_EQ(0, jobs.install({{SIGUSR1, 1}, {SIGUSR2, 2}, {SIGHUP, 4}, {SIGTTIN, 3}}, {SIGTERM}));
    EXPECT_EQ(after(jobs, {SIGUSR1, SIGUSR1, SIGUSR1, SIGUSR2, SIGUSR1, SIGTTIN, SIGHUP}),
              (std::deque<int>{1, 2, 3, 4}));
    EXPECT_EQ(jobs.take(), 1);
    // Taken: a new request of that kind waits again, behind the others.
    EXPECT_EQ(after(jobs, {SIGUSR1, SIGUSR2}), (std::deque<int>{2, 3, 4, 1}));
    EXPECT_EQ(jobs.take(), 2);
    EXPECT_EQ(jobs.take(), 3);
    EXPECT_EQ(jobs.take(), 4);
    EXPECT_EQ(jobs.take(), 1);
    EXPECT_EQ(jobs.take(), 0);
    EXPECT_TRUE(jobs.empty());
    EXPECT_FALSE(jobs.stopping());
}

TEST_F(SignalJobs, ConsecutiveRuleKeepsARepeatBehindAnotherKind) {
    signal_jobs jobs(COLLAPSE_CONSECUTIVE);
    ASSERT_EQ(0, jobs.open());
    ASSERT_EQ(0, jobs.install({{SIGUSR1, 1}, {SIGUSR2, 2}}, {SIGTERM}));
    EXPECT_EQ(after(jobs, {SIGUSR1, SIGUSR1, SIGUSR2, SIGUSR1}), (std::deque<int>{1, 2, 1}));
    jobs.add(1);
    jobs.add(4);
    EXPECT_EQ(jobs.waiting(), (std::deque<int>{1, 2, 1, 4}));
}

TEST_F(SignalJobs, SleepEndsForAJobOrAStopAndRunsOutOtherwise) {
    signal_jobs jobs;
    ASSERT_EQ(0, jobs.open());
    ASSERT_EQ(0, jobs.install({{SIGUSR1, 1}}, {SIGTERM}));
    EXPECT_EQ(0, jobs.sleep({0, 20 * 1000 * 1000}));

    const pthread_t self = pthread_self();
    std::thread waker([&] { pthread_kill(self, SIGUSR1); });
    EXPECT_EQ(1, jobs.sleep({60, 0}));
    waker.join();
    EXPECT_EQ(jobs.take(), 1);

    std::thread stopper([&] { pthread_kill(self, SIGTERM); });
    EXPECT_EQ(1, jobs.sleep({60, 0}));
    stopper.join();
    EXPECT_TRUE(jobs.stopping());
    EXPECT_EQ(jobs.take(), 0);
    EXPECT_EQ(1, jobs.sleep({60, 0})); // a stopping loop never sleeps

    ASSERT_EQ(0, jobs.open()); // a fresh queue: the stop request is gone
    EXPECT_FALSE(jobs.stopping());
    jobs.request_stop();
    EXPECT_TRUE(jobs.stopping());
}
