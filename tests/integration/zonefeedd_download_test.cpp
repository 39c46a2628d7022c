// Feed downloads against the private feed server: each kind of answer gives its outcome,
// every transfer keeps its own limits (size counted as bytes arrive, time including a
// silent peer), only http and https are spoken, and the thread list bounds the downloaders
// while a stalled feed holds up nobody else.
#include "feed_dispatch.h"
#include "feed_download.h"
#include "feed_server.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>

namespace {

feed_server &server() {
    static feed_server s;
    return s;
}

class zonefeeddDownload : public testing::Test {
  protected:
    temp_dir work{"zonaris-dl"};
    download_options opt;
    transfer_handle handle = make_transfer_handle();

    void SetUp() override {
        opt.connect_timeout_s = 2;
        opt.timeout_s = 2;
        opt.max_bytes = 4096;
        server().put("zone.txt", "example.test. {\nwww A 192.0.2.1\n}\n");
    }

    feed_record feed(const std::string &url, int id = 1) {
        feed_record f;
        f.id = id;
        f.url = url;
        return f;
    }

    download_outcome fetch(feed_record &f) {
        download_outcome out;
        EXPECT_EQ(out.code, 0);
        (void)download_url(handle.get(), f, opt, work.path(), out);
        return out;
    }
};

TEST_F(zonefeeddDownload, FileArrivesWithItsHashInAFileNamedByFeedId) {
    feed_record f = feed(server().url("/files/zone.txt"), 7);
    const download_outcome out = fetch(f);
    ASSERT_EQ(out.code, 0) << out.error;
    EXPECT_EQ(f.local_path, work.file(feed_file_name(f)));
    EXPECT_EQ(read_text_file(f.local_path), "example.test. {\nwww A 192.0.2.1\n}\n");
    EXPECT_EQ(out.hash, md5_hexkey(f.local_path));
    // MD5 of the lines without their line feeds.
    EXPECT_EQ(md5_hexkey(f.local_path), "cd9288489ccd27da5587098886a2169a");
    EXPECT_EQ(out.size, 34);
}

TEST_F(zonefeeddDownload, FailuresGiveTheirCodesAndLeaveNoFile) {
    struct fault {
        std::string path;
        int code;
        bool too_large;
    };
    server().put("big.txt", std::string(5000, 'x'));
    const std::vector<fault> faults = {
        {"/status/500", CURLE_HTTP_RETURNED_ERROR, false},
        {"/files/missing.txt", CURLE_HTTP_RETURNED_ERROR, false},
        {"/files/big.txt", CURLE_FILESIZE_EXCEEDED, true},        // announced length
        {"/chunked/5000", CURLE_FILESIZE_EXCEEDED, true},         // counted as it arrives
        {"/auth/u/p/zone.txt", CURLE_HTTP_RETURNED_ERROR, false}, // no credentials
    };
    for (const fault &f : faults) {
        feed_record rec = feed(server().url(f.path));
        const download_outcome out = fetch(rec);
        EXPECT_EQ(out.code, f.code) << f.path;
        EXPECT_EQ(out.too_large, f.too_large) << f.path;
        EXPECT_TRUE(rec.local_path.empty()) << f.path;
    }
    EXPECT_TRUE(std::filesystem::is_empty(work.path()));
}

TEST_F(zonefeeddDownload, ChunkedBodyWithinTheLimitArrives) {
    feed_record rec = feed(server().url("/chunked/4096"));
    const download_outcome out = fetch(rec);
    EXPECT_EQ(out.code, 0) << out.error;
    EXPECT_EQ(out.size, 4096);
}

TEST_F(zonefeeddDownload, CredentialsAreSentOnlyWhenBothAreGiven) {
    feed_record rec = feed(server().url("/auth/u/p/zone.txt"));
    rec.username = "u";
    rec.password = "p";
    EXPECT_EQ(fetch(rec).code, 0);
    rec.password = "";
    EXPECT_EQ(fetch(rec).code, CURLE_HTTP_RETURNED_ERROR);
    rec.password = "wrong";
    EXPECT_EQ(fetch(rec).code, CURLE_HTTP_RETURNED_ERROR);
}

TEST_F(zonefeeddDownload, SlowAndSilentPeersEndByTheTimeLimit) {
    opt.timeout_s = 1;
    for (const char *path : {"/trickle/100", "/silent"}) {
        feed_record rec = feed(server().url(path));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(fetch(rec).code, CURLE_OPERATION_TIMEDOUT) << path;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << path;
    }
}

TEST_F(zonefeeddDownload, OnlyHttpAndHttpsAreSpoken) {
    write_text_file(work.file("secret"), "x");
    for (const std::string &url :
         {"file://" + work.file("secret"), std::string("ftp://127.0.0.1:1/x"),
          std::string("gopher://127.0.0.1:1/x")}) {
        feed_record rec = feed(url);
        EXPECT_EQ(fetch(rec).code, CURLE_UNSUPPORTED_PROTOCOL) << url;
    }
}

TEST_F(zonefeeddDownload, CertificatesAreCheckedOnlyWhenAsked) {
    feed_record rec = feed(server().url("/files/zone.txt", true));
    EXPECT_EQ(fetch(rec).code, 0) << "self-signed certificate accepted by default";
    opt.verify_cert = true;
    EXPECT_EQ(fetch(rec).code, CURLE_PEER_FAILED_VERIFICATION);
    opt.ca_file = server().ca_file();
    EXPECT_EQ(fetch(rec).code, 0);
}

TEST_F(zonefeeddDownload, UnchangedFileKeepsTheStoredHash) {
    feed_record rec = feed(server().url("/files/zone.txt"));
    const download_outcome first = fetch(rec);
    ASSERT_EQ(first.code, 0);
    EXPECT_EQ(url_content_changed(rec, first.hash), 1);
    EXPECT_EQ(rec.hash, first.hash);
    EXPECT_EQ(url_content_changed(rec, fetch(rec).hash), 0);
    server().put("zone.txt", "changed.test. {\n}\n");
    EXPECT_EQ(url_content_changed(rec, fetch(rec).hash), 1);
}

TEST(zonefeeddFileName, FeedsWithSimilarUrlsNeverShareAFile) {
    feed_record a, b;
    a.id = 1;
    a.url = "http://h/a.b";
    b.id = 2;
    b.url = "http://h/a/b";
    EXPECT_EQ(feed_file_name(a), "1_http...h.a.b");
    EXPECT_NE(feed_file_name(a), feed_file_name(b));
    a.url = "https://h/x?y=z&w-v_u" + std::string(3000, 'q');
    EXPECT_EQ(feed_file_name(a).substr(0, 24), "1_https...h.x.y.z.w-v_uq");
    EXPECT_LE(feed_file_name(a).size(), 255u);
}

// A run of many feeds: the thread list bounds the downloaders, every feed is fetched once,
// and a feed that never answers fails alone.
TEST_F(zonefeeddDownload, RunBoundsThreadsAndAStalledFeedFailsAlone) {
    server().reset_stats();
    std::vector<std::unique_ptr<feed_record>> feeds;
    feed_run run;
    run.options = opt;
    run.options.timeout_s = 2;
    run.work_dir = work.path();
    for (int i = 1; i <= 40; ++i) {
        feeds.push_back(std::make_unique<feed_record>(
            feed(server().url(i == 5 ? "/silent" : "/slow/100/zone.txt"), i)));
        run.download_queue.push_back(feeds.back().get());
    }
    std::mutex lock;
    std::map<int, int> failed, arrived;
    run.on_failure = [&](feed_record &f, const download_outcome &o) {
        std::lock_guard<std::mutex> g(lock);
        failed[f.id] = o.code;
    };
    run.on_result = [&](feed_record &f) { ++arrived[f.id]; }; // result thread only
    ASSERT_EQ(run_downloads(run, 8), 0);
    EXPECT_EQ(failed, (std::map<int, int>{{5, CURLE_OPERATION_TIMEDOUT}}));
    EXPECT_EQ(arrived.size(), 39u);
    for (const auto &[id, n] : arrived)
        EXPECT_EQ(n, 1) << id;
    EXPECT_LE(run.threads.peak, 8);
    EXPECT_GE(run.threads.peak, 2);
    const feed_server_stats st = server().stats();
    EXPECT_EQ(st.requests, 40);
    EXPECT_LE(st.max_active, 8);
    EXPECT_EQ(run.largest_download.load(), 34);
}

} // namespace
