// The worker group: clean ends, failures, hung workers, stop requests; all reaped.
#include "signal_jobs.h"
#include "worker_group.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <thread>
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

TEST(WorkerGroup, TheFirstStopRequestLetsTheWorkersFinishASecondAbandonsThem) {
    signal_jobs jobs;
    ASSERT_EQ(0, jobs.open());
    ASSERT_EQ(0, jobs.install({{SIGUSR1, 1}}, {SIGTERM, SIGINT}));
    for (int stops : {1, 2}) {
        worker_group group(60s, &jobs);
        int ready[2], go[2];
        ASSERT_EQ(0, pipe(ready));
        ASSERT_EQ(0, pipe(go));
        ASSERT_EQ(0, group.start([&](worker_progress &) {
            // The job signal is ignored in a worker, and so is an interrupt from the
            // terminal: the parent decides. SIGTERM (from stop_all) ends it.
            raise(SIGUSR1);
            raise(SIGINT);
            if (write(ready[1], "x", 1) != 1)
                return 1;
            char c;
            return read(go[0], &c, 1) == 1 ? 0 : 1;
        }));
        close(ready[1]);
        close(go[0]);
        char c;
        ASSERT_EQ(1, read(ready[0], &c, 1));
        close(ready[0]);
        EXPECT_TRUE(jobs.empty()); // the worker's SIGUSR1 did not reach our queue
        const pid_t pid = group.pid(0);
        ASSERT_EQ(0, jobs.open());
        for (int i = 0; i < stops; ++i)
            ASSERT_EQ(0, raise(i == 0 ? SIGTERM : SIGINT));
        EXPECT_EQ(stops, jobs.stop_requests());
        if (stops == 1) {
            // The worker ends only when told to, well after the stop request.
            std::thread release([&] {
                std::this_thread::sleep_for(200ms);
                EXPECT_EQ(1, write(go[1], "g", 1));
            });
            EXPECT_EQ(0, group.wait());
            release.join();
        } else {
            EXPECT_EQ(-1, group.wait());
            group.stop_all(5s);
        }
        close(go[1]);
        EXPECT_TRUE(reaped(pid));
    }
    signal(SIGUSR1, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
}
