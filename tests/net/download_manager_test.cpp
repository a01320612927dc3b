// The download manager: queue order, requests handed back finished, digests, and stopping
// while transfers are in flight.
#include "net/download_manager.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <new>
#include <vector>

#include "support/digest.h"
#include "support/nginx_server.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"
#include "util/md5.h"

namespace {

// A request as it came back: its tag, its status and why it failed.
struct Delivery {
    int32_t userData;
    int32_t status;
    std::string failure;
    bool success() const { return status == Done; }
};

class DownloadManagerTest : public ::testing::Test {
protected:
    DownloadManager& startManager(int workers = 5, int stallTimeoutMs = 30000) {
        manager_.reset(new DownloadManager());
        manager_->setStallTimeout(stallTimeoutMs);
        manager_->start(workers);
        return *manager_;
    }

    bool enqueue(const std::string& url, const std::string& path, int32_t tag, const std::string& md5 = "") {
        DownloadRequest request;
        request.url = url;
        request.localPath = path;
        request.userData = tag;
        request.verifyExisting = true;
        request.expectedMd5 = md5;
        return manager_->enqueue(std::move(request));
    }

    // Takes what finished, as the main loop does, until `count` requests came back.
    bool takeUntil(size_t count, int timeoutMs = 20000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (deliveries_.size() < count && std::chrono::steady_clock::now() < deadline) {
            for (const DownloadRequest& request : manager_->takeFinished())
                deliveries_.push_back({request.userData, request.status, request.failure});
            SDL_Delay(10);
        }
        return deliveries_.size() >= count;
    }

    const Delivery* find(int32_t tag) const {
        for (const Delivery& delivery : deliveries_)
            if (delivery.userData == tag) return &delivery;
        return nullptr;
    }

    std::unique_ptr<DownloadManager> manager_;
    std::vector<Delivery> deliveries_;
};

ConnectionScript holdOrAnswer() {
    return [](ScriptedConnection& connection) {
        if (connection.target().rfind("/hold", 0) == 0) connection.hold();
        if (connection.target() == "/empty") return;
        connection.send("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nquick");
    };
}

}  // namespace

TEST_F(DownloadManagerTest, DeliversEveryOutcomeOnTheMainThreadWithItsStatus) {
    TempDir root, out;
    root.write("a.bin", patternBytes(300000, 1));
    root.write("b.txt", "bee");
    root.write("c.txt", "not what the manifest says");
    NginxServer nginx(root.path());
    ASSERT_TRUE(nginx.started()) << nginx.error();
    ScriptedServer closer(holdOrAnswer());
    out.write("c.txt", "the player's older copy");
    startManager();

    ASSERT_TRUE(enqueue(nginx.baseUrl() + "a.bin", out.file("sub/dir/a.bin"), 1, md5OfBuffer(root.read("a.bin").data(), 300000)));
    ASSERT_TRUE(enqueue(nginx.baseUrl() + "b.txt", out.file("b.txt"), 2));
    ASSERT_TRUE(enqueue(nginx.baseUrl() + "c.txt", out.file("c.txt"), 3, md5OfBuffer("expected", 8)));
    ASSERT_TRUE(enqueue(nginx.baseUrl() + "missing.txt", out.file("missing.txt"), 4));
    ASSERT_TRUE(enqueue(closer.url("/empty"), out.file("empty.txt"), 5));
    // Memory that runs out on a worker fails that file alone.
    DownloadRequest starved;
    starved.url = nginx.baseUrl() + "b.txt";
    starved.localPath = out.file("b2.txt");
    starved.userData = 6;
    starved.finishStep = [](DownloadRequest&, const std::atomic<bool>&) { throw std::bad_alloc(); };
    ASSERT_TRUE(manager_->enqueue(std::move(starved)));
    ASSERT_TRUE(takeUntil(6));

    ASSERT_EQ(deliveries_.size(), 6u);
    EXPECT_EQ(find(1)->status, Done);
    EXPECT_EQ(find(2)->status, Done);
    EXPECT_EQ(find(3)->status, DigestMismatch);
    EXPECT_EQ(find(4)->status, TransferFailed);
    EXPECT_EQ(find(5)->status, FileMissing);
    EXPECT_EQ(find(6)->status, TransferFailed);
    EXPECT_EQ(find(6)->failure, "not enough memory for this file");
    EXPECT_EQ(readFileBytes(out.file("sub/dir/a.bin")), root.read("a.bin"));
    // A mismatching download never takes the place of the local copy, and is not kept.
    EXPECT_EQ(out.read("c.txt"), "the player's older copy");
    EXPECT_FALSE(out.exists("c.txt.part"));
    EXPECT_FALSE(out.exists("missing.txt"));
}

TEST_F(DownloadManagerTest, AnExistingFileIsKeptOnlyWhenItsDigestMatches) {
    TempDir root, out;
    root.write("kept.txt", "server copy");
    root.write("stale.txt", "new content");
    root.write("manifest.txt", "fresh manifest");
    out.write("kept.txt", "local copy");
    out.write("stale.txt", "old content");
    out.write("manifest.txt", "old manifest");
    NginxServer nginx(root.path());
    ASSERT_TRUE(nginx.started()) << nginx.error();
    startManager();

    ASSERT_TRUE(enqueue(nginx.baseUrl() + "kept.txt", out.file("kept.txt"), 1, md5OfBuffer("local copy", 10)));
    ASSERT_TRUE(enqueue(nginx.baseUrl() + "stale.txt", out.file("stale.txt"), 2, md5OfBuffer("new content", 11)));
    // No digest: the manifest is always fetched anew.
    ASSERT_TRUE(enqueue(nginx.baseUrl() + "manifest.txt", out.file("manifest.txt"), 3));
    ASSERT_TRUE(takeUntil(3));
    for (const Delivery& delivery : deliveries_) EXPECT_TRUE(delivery.success()) << delivery.userData;
    EXPECT_EQ(out.read("kept.txt"), "local copy");
    EXPECT_EQ(out.read("stale.txt"), "new content");
    EXPECT_EQ(out.read("manifest.txt"), "fresh manifest");
    nginx.stop();
    EXPECT_EQ(nginx.accessLog().find("kept.txt"), std::string::npos) << nginx.accessLog();
}

TEST_F(DownloadManagerTest, AnUnstartedManagerHandsBackWhatWasQueuedWhenItStops) {
    TempDir out;
    manager_.reset(new DownloadManager());
    ASSERT_TRUE(enqueue("http://127.0.0.1:1/a", out.file("deep/er/a.bin"), 1, "aa"));
    ASSERT_TRUE(enqueue("http://127.0.0.1:1/b", out.file("b.bin"), 2));
    std::vector<DownloadRequest> untaken = manager_->stop();
    ASSERT_EQ(untaken.size(), 2u);
    EXPECT_EQ(untaken[0].url, "http://127.0.0.1:1/a");
    EXPECT_EQ(untaken[0].localPath, out.file("deep/er/a.bin"));
    EXPECT_EQ(untaken[0].expectedMd5, "aa");
    EXPECT_EQ(untaken[0].status, Queued);
    EXPECT_EQ(untaken[1].userData, 2);
    // Queueing made the directories; nothing else happened, and nothing is handed back twice.
    EXPECT_TRUE(out.exists("deep/er"));
    EXPECT_TRUE(manager_->stop().empty());
    EXPECT_FALSE(enqueue("http://127.0.0.1:1/c", out.file("c.bin"), 3));
}

// Without a worker nothing queued would ever finish: the caller must learn it.
TEST_F(DownloadManagerTest, StartIsFalseWhenNoWorkerRuns) {
    DownloadManager idle;
    EXPECT_FALSE(idle.start(0));
    EXPECT_FALSE(idle.start(5));  // started once; the answer stays
    DownloadManager working;
    EXPECT_TRUE(working.start(1));
    EXPECT_TRUE(working.start(1));
}

TEST_F(DownloadManagerTest, SixRequestsWithFiveWorkersStartInQueueOrder) {
    ScriptedServer server(holdOrAnswer());
    TempDir out;
    startManager();
    for (int i = 1; i <= 6; ++i) ASSERT_TRUE(enqueue(server.url("/hold" + std::to_string(i)), out.file(std::to_string(i)), i));
    ASSERT_TRUE(server.waitForRequests(5, 5000));
    // The sixth waits for a free worker.
    EXPECT_FALSE(server.waitForRequests(6, 300));
    std::vector<std::string> started = server.targets();
    std::sort(started.begin(), started.end());
    EXPECT_EQ(started, (std::vector<std::string>{"/hold1", "/hold2", "/hold3", "/hold4", "/hold5"}));
    server.releaseOne();
    ASSERT_TRUE(server.waitForRequests(6, 5000));
    EXPECT_EQ(server.targets().back(), "/hold6");
    for (int i = 0; i < 5; ++i) server.releaseOne();
    ASSERT_TRUE(takeUntil(6));
    for (const Delivery& delivery : deliveries_) EXPECT_TRUE(delivery.success()) << delivery.userData;
}

TEST_F(DownloadManagerTest, StoppingHandsBackQueuedThenFinishedRequestsAndEndsBlockedTransfersAtOnce) {
    ScriptedServer server(holdOrAnswer());
    UnansweredListener unanswered;
    ASSERT_TRUE(unanswered.started());
    TempDir out;
    DownloadManager& manager = startManager();
    ASSERT_TRUE(enqueue(server.url("/quick"), out.file("quick"), 1));
    ASSERT_TRUE(manager.waitForFinished(1, 10000));
    // Four workers blocked in a receive, one in a connect, two requests left waiting.
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(enqueue(server.url("/hold" + std::to_string(i)), out.file("h" + std::to_string(i)), 10 + i));
    ASSERT_TRUE(enqueue("http://127.0.0.1:" + std::to_string(unanswered.port()) + "/c", out.file("c"), 14));
    ASSERT_TRUE(enqueue(server.url("/quick"), out.file("p1"), 20));
    ASSERT_TRUE(enqueue(server.url("/quick"), out.file("p2"), 21));
    ASSERT_TRUE(server.waitForRequests(5, 5000));
    SDL_Delay(50);

    const auto before = std::chrono::steady_clock::now();
    const std::vector<DownloadRequest> untaken = manager.stop();
    const auto took = std::chrono::steady_clock::now() - before;
    // Far less than the 30-second stall time-out that would otherwise free the workers.
    EXPECT_LT(took, std::chrono::seconds(15));

    ASSERT_EQ(untaken.size(), 3u);
    EXPECT_EQ(untaken[0].userData, 20);
    EXPECT_EQ(untaken[1].userData, 21);
    EXPECT_EQ(untaken[2].userData, 1);
    EXPECT_EQ(untaken[0].status, Queued);
    EXPECT_EQ(untaken[1].status, Queued);
    EXPECT_EQ(untaken[2].status, Done);
    for (const char* name : {"h0", "h0.part", "c", "p1"}) EXPECT_FALSE(out.exists(name)) << name;
}

TEST_F(DownloadManagerTest, AStopEndsARetryWaitAtOnce) {
    ScriptedServer busy([](ScriptedConnection& connection) {
        connection.send("HTTP/1.0 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n");
    });
    TempDir out;
    DownloadManager& manager = startManager();
    manager.setRetryDelay(60000);
    EXPECT_TRUE(manager.retryWaits().empty());
    ASSERT_TRUE(enqueue(busy.url("/busy"), out.file("busy"), 1));
    ASSERT_TRUE(busy.waitForRequests(1, 5000));
    // The wait shows, for the window to draw it.
    std::vector<RetryWait> waits;
    for (int i = 0; i < 500 && waits.empty(); ++i) {
        SDL_Delay(10);
        waits = manager.retryWaits();
    }
    ASSERT_EQ(waits.size(), 1u);
    EXPECT_EQ(waits[0].ends - waits[0].began, std::chrono::milliseconds(60000));
    EXPECT_GT(waits[0].ends, std::chrono::steady_clock::now() + std::chrono::seconds(30));
    const auto before = std::chrono::steady_clock::now();
    manager.stop();
    // Not the minute the worker was told to wait.
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(20));
    EXPECT_EQ(busy.targets().size(), 1u);
}
