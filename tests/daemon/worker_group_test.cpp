// The worker group: clean ends, failures, hung workers, stop requests; all reaped.
#include "signal_jobs.h"
#include "worker_group.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

bool reaped(pid_t pid) {
    return waitpid(pid, nullptr, WNOHANG) < 0 && errno == ECHILD;
}

} // namespace

TEST(WorkerGroup, AllWorkersEndCleanly) {
    worker_group group(10s);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(i, group.start([](worker_progress &p) {
            p.beat();
            return 0;
        }));
    EXPECT_EQ(0, group.wait());
    EXPECT_EQ(0u, group.running());
}

TEST(WorkerGroup, AFailedOrSignalledWorkerFailsTheGroup) {
    for (int how : {0, 1, 2}) {
        worker_group group(10s);
        ASSERT_EQ(0, group.start([](worker_progress &) { return 0; }));
        ASSERT_EQ(1, group.start([how](worker_progress &) -> int {
            if (how == 0)
                return 3;
            if (how == 1)
                raise(SIGKILL);
            throw std::runtime_error("worker error");
        }));
        EXPECT_EQ(-1, group.wait()) << how;
        group.stop_all();
        EXPECT_EQ(0u, group.running());
    }
}

TEST(WorkerGroup, AWorkerWithoutProgressIsStoppedAndReaped) {
    worker_group group(1s);
    ASSERT_EQ(0, group.start([](worker_progress &p) {
        p.beat();
        while (true)
            pause();
        return 0;
    }));
    const pid_t pid = group.pid(0);
    EXPECT_EQ(-1, group.wait());
    group.stop_all(100ms);
    EXPECT_EQ(0u, group.running());
    EXPECT_TRUE(reaped(pid));
}

TEST(WorkerGroup, AStopRequestEndsTheWaitAndTheChildForgetsTheQueue) {
    signal_jobs jobs;
    ASSERT_EQ(0, jobs.open());
    ASSERT_EQ(0, jobs.install({{SIGUSR1, 1}}, {SIGTERM}));
    worker_group group(60s, &jobs);
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    ASSERT_EQ(0, group.start([&](worker_progress &) {
        // The job signal is ignored in a worker and SIGTERM ends it.
        raise(SIGUSR1);
        if (write(ready[1], "x", 1) != 1)
            return 1;
        while (true)
            pause();
        return 0;
    }));
    close(ready[1]);
    char c;
    ASSERT_EQ(1, read(ready[0], &c, 1));
    close(ready[0]);
    EXPECT_TRUE(jobs.empty()); // the worker's SIGUSR1 did not reach our queue
    const pid_t pid = group.pid(0);
    jobs.request_stop();
    EXPECT_EQ(-1, group.wait());
    group.stop_all(5s);
    EXPECT_TRUE(reaped(pid));
    signal(SIGUSR1, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
}
