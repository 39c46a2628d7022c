// The thread list of the download dispatch, without a network: transfers of file:// URLs
// are refused at once, so every feed comes back through the failure callback.
#include "feed_dispatch.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

struct refused_run {
    std::vector<std::unique_ptr<feed_record>> feeds;
    feed_run run;
    std::atomic<int> failed{0};
    temp_dir work{"zonaris-dispatch"};

    explicit refused_run(int n) {
        run.work_dir = work.path();
        for (int i = 1; i <= n; ++i) {
            feeds.push_back(std::make_unique<feed_record>());
            feeds.back()->id = i;
            feeds.back()->url = "file:///dev/null";
            run.download_queue.push_back(feeds.back().get());
        }
        run.on_failure = [this](feed_record &, const download_outcome &o) {
            EXPECT_EQ(o.code, CURLE_UNSUPPORTED_PROTOCOL);
            ++failed;
        };
    }
};

TEST(feedDispatch, RefusedThreadLowersTheMaximumAndDispatchGoesOn) {
    refused_run r(30);
    int calls = 0;
    std::atomic<bool> refused{false};
    r.run.threads.create = [&](pthread_t *t, void *(*fn)(void *), void *arg) {
        if (++calls == 3) {
            refused = true;
            return EAGAIN; // the third thread is refused
        }
        return pthread_create(t, nullptr, fn, arg);
    };
    // The two downloaders stay busy until the refusal happened.
    auto count = r.run.on_failure;
    r.run.on_failure = [&](feed_record &f, const download_outcome &o) {
        while (!refused)
            std::this_thread::yield();
        count(f, o);
    };
    // Refusal while two run: the maximum drops to what runs, and those two take the rest.
    ASSERT_EQ(run_downloads(r.run, 5), 0);
    EXPECT_EQ(r.failed.load(), 30);
    EXPECT_EQ(r.run.threads.max, 2);
    EXPECT_LE(r.run.threads.peak, 2);
}

TEST(feedDispatch, NoThreadAtAllStopsTheRunWithAnError) {
    refused_run r(3);
    r.run.threads.create = [](pthread_t *, void *(*)(void *), void *) { return EAGAIN; };
    EXPECT_EQ(run_downloads(r.run, 5), -1);
    EXPECT_EQ(r.failed.load(), 0);
}

TEST(feedDispatch, EmptyQueueEndsAtOnce) {
    refused_run r(0);
    EXPECT_EQ(run_downloads(r.run, 5), 0);
    EXPECT_EQ(r.run.threads.peak, 0);
}

} // namespace
