// The download manager: queue order, delivery on the main thread, digests, and stopping while
// transfers are in flight.
#include "net/download_manager.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <chrono>
#include <map>

#include "support/digest.h"
#include "support/nginx_server.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"
#include "util/md5.h"

namespace {

struct Delivery {
    bool success;
    // The tag the test gave the request's local path.
    int32_t userData;
    int32_t status;
    Uint32 thread;
};

// Callbacks are plain functions, so what they see goes here.
std::vector<Delivery> g_deliveries;
std::string g_enqueueFromCallbackUrl;
std::string g_enqueueFromCallbackPath;
// The tag each test gave a local path when it queued it.
std::map<std::string, int32_t> g_tags;

void record(DownloadRequest* request, bool success) {
    g_deliveries.push_back({success, g_tags[request->localPath], request->status, SDL_ThreadID()});
}
void recordSuccess(DownloadRequest* request) { record(request, true); }
void recordFailure(DownloadRequest* request) { record(request, false); }
void enqueueAnother(DownloadRequest* request) {
    record(request, true);
    g_tags[g_enqueueFromCallbackPath] = 99;
    g_downloadManager.load()->enqueue(g_enqueueFromCallbackUrl, g_enqueueFromCallbackPath, recordSuccess, recordFailure,
                                      true, "");
}
// As the updater's fatal-error path does, minus the exit.
void destroyManager(DownloadRequest* request) {
    record(request, true);
    delete g_downloadManager.load();
}

class DownloadManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_deliveries.clear();
        g_tags.clear();
    }
    void TearDown() override {
        // No test leaves a manager behind for the next one.
        delete g_downloadManager.load();
        EXPECT_EQ(g_downloadManager.load(), nullptr);
    }

    DownloadManager& startManager(int workers = 5, int stallTimeoutMs = 30000) {
        DownloadManager* manager = new DownloadManager();
        manager->setStallTimeout(stallTimeoutMs);
        manager->start(workers);
        return *manager;
    }

    bool enqueue(const std::string& url, const std::string& path, int32_t tag, const std::string& md5 = "") {
        g_tags[path] = tag;
        return g_downloadManager.load()->enqueue(url, path, recordSuccess, recordFailure, true, md5);
    }

    // Delivers as the main loop does until `count` callbacks have run.
    bool deliverUntil(size_t count, int timeoutMs = 20000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (g_deliveries.size() < count && std::chrono::steady_clock::now() < deadline) {
            g_downloadManager.load()->deliverFinished();
            SDL_Delay(10);
        }
        return g_deliveries.size() >= count;
    }

    const Delivery* find(int32_t tag) const {
        for (const Delivery& delivery : g_deliveries)
            if (delivery.userData == tag) return &delivery;
        return nullptr;
    }
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
    ASSERT_TRUE(deliverUntil(5));

    const Uint32 mainThread = SDL_ThreadID();
    for (const Delivery& delivery : g_deliveries) EXPECT_EQ(delivery.thread, mainThread) << delivery.userData;
    ASSERT_EQ(g_deliveries.size(), 5u);
    EXPECT_TRUE(find(1)->success && find(1)->status == Done);
    EXPECT_TRUE(find(2)->success && find(2)->status == Done);
    EXPECT_TRUE(!find(3)->success && find(3)->status == DigestMismatch);
    EXPECT_TRUE(!find(4)->success && find(4)->status == TransferFailed);
    EXPECT_TRUE(!find(5)->success && find(5)->status == FileMissing);
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
    ASSERT_TRUE(deliverUntil(3));
    for (const Delivery& delivery : g_deliveries) EXPECT_TRUE(delivery.success) << delivery.userData;
    EXPECT_EQ(out.read("kept.txt"), "local copy");
    EXPECT_EQ(out.read("stale.txt"), "new content");
    EXPECT_EQ(out.read("manifest.txt"), "fresh manifest");
    nginx.stop();
    EXPECT_EQ(nginx.accessLog().find("kept.txt"), std::string::npos) << nginx.accessLog();
}

TEST_F(DownloadManagerTest, PendingRequestsOfAnUnstartedManagerAreTakenWithoutCallbacks) {
    TempDir out;
    new DownloadManager();
    ASSERT_TRUE(enqueue("http://127.0.0.1:1/a", out.file("deep/er/a.bin"), 1, "aa"));
    ASSERT_TRUE(enqueue("http://127.0.0.1:1/b", out.file("b.bin"), 2));
    std::vector<DownloadRequest> taken = g_downloadManager.load()->takePending();
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(taken[0].url, "http://127.0.0.1:1/a");
    EXPECT_EQ(taken[0].localPath, out.file("deep/er/a.bin"));
    EXPECT_EQ(taken[0].expectedMd5, "aa");
    EXPECT_EQ(taken[1].localPath, out.file("b.bin"));
    EXPECT_EQ(taken[1].onFailure, recordFailure);
    // Queueing made the directories; nothing else happened, and nothing is left to fail.
    EXPECT_TRUE(out.exists("deep/er"));
    EXPECT_TRUE(g_downloadManager.load()->takePending().empty());
    delete g_downloadManager.load();
    EXPECT_TRUE(g_deliveries.empty());
}

// Without a worker nothing queued would ever finish: the caller must learn it.
TEST_F(DownloadManagerTest, StartIsFalseWhenNoWorkerRuns) {
    DownloadManager* idle = new DownloadManager();
    EXPECT_FALSE(idle->start(0));
    EXPECT_FALSE(idle->start(5));  // started once; the answer stays
    delete idle;
    DownloadManager* working = new DownloadManager();
    EXPECT_TRUE(working->start(1));
    EXPECT_TRUE(working->start(1));
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
    ASSERT_TRUE(deliverUntil(6));
    for (const Delivery& delivery : g_deliveries) EXPECT_TRUE(delivery.success) << delivery.userData;
}

TEST_F(DownloadManagerTest, ACallbackMayEnqueueAndItsRequestComesInALaterDelivery) {
    TempDir root, out;
    root.write("first.txt", "1");
    root.write("second.txt", "2");
    NginxServer nginx(root.path());
    ASSERT_TRUE(nginx.started()) << nginx.error();
    DownloadManager& manager = startManager();
    g_enqueueFromCallbackUrl = nginx.baseUrl() + "second.txt";
    g_enqueueFromCallbackPath = out.file("second.txt");
    g_tags[out.file("first.txt")] = 1;
    ASSERT_TRUE(manager.enqueue(nginx.baseUrl() + "first.txt", out.file("first.txt"), enqueueAnother, recordFailure,
                                true, ""));
    ASSERT_TRUE(manager.waitForFinished(1, 10000));
    manager.deliverFinished();
    ASSERT_EQ(g_deliveries.size(), 1u);
    ASSERT_TRUE(deliverUntil(2));
    EXPECT_EQ(g_deliveries[1].userData, 99);
    EXPECT_TRUE(g_deliveries[1].success);
    EXPECT_EQ(out.read("second.txt"), "2");
}

TEST_F(DownloadManagerTest, StoppingFailsQueuedThenFinishedRequestsAndEndsBlockedTransfersAtOnce) {
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
    delete &manager;
    const auto took = std::chrono::steady_clock::now() - before;
    // Far less than the 30-second stall time-out that would otherwise free the workers.
    EXPECT_LT(took, std::chrono::seconds(15));
    EXPECT_EQ(g_downloadManager.load(), nullptr);

    ASSERT_EQ(g_deliveries.size(), 3u);
    EXPECT_EQ(g_deliveries[0].userData, 20);
    EXPECT_EQ(g_deliveries[1].userData, 21);
    EXPECT_EQ(g_deliveries[2].userData, 1);
    EXPECT_EQ(g_deliveries[0].status, Queued);
    EXPECT_EQ(g_deliveries[1].status, Queued);
    EXPECT_EQ(g_deliveries[2].status, Done);
    for (const Delivery& delivery : g_deliveries) EXPECT_FALSE(delivery.success);
    for (const char* name : {"h0", "h0.part", "c", "p1"}) EXPECT_FALSE(out.exists(name)) << name;
}

TEST_F(DownloadManagerTest, ACallbackMayDestroyTheManagerWhileTransfersAreInFlight) {
    ScriptedServer server(holdOrAnswer());
    TempDir out;
    DownloadManager& manager = startManager();
    g_tags[out.file("first")] = 1;
    ASSERT_TRUE(manager.enqueue(server.url("/quick"), out.file("first"), destroyManager, recordFailure, true, ""));
    ASSERT_TRUE(manager.waitForFinished(1, 10000));
    ASSERT_TRUE(enqueue(server.url("/quick"), out.file("second"), 2));
    ASSERT_TRUE(manager.waitForFinished(2, 10000));
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(enqueue(server.url("/hold" + std::to_string(i)), out.file("h" + std::to_string(i)), 10 + i));
    ASSERT_TRUE(server.waitForRequests(5, 5000));
    // One held transfer is let go, so that its worker races for the lock the delivery holds.
    server.releaseOne();

    manager.deliverFinished();
    EXPECT_EQ(g_downloadManager.load(), nullptr);
    ASSERT_GE(g_deliveries.size(), 2u);
    EXPECT_TRUE(g_deliveries[0].userData == 1 && g_deliveries[0].success);
    // The rest of the finished list still gets its one callback, from the destruction.
    EXPECT_TRUE(g_deliveries[1].userData == 2 && !g_deliveries[1].success && g_deliveries[1].status == Done);
    // The released transfer is reported only when it was handed over before the stop; the two
    // still held never are.
    ASSERT_LE(g_deliveries.size(), 3u);
    if (g_deliveries.size() == 3) {
        EXPECT_TRUE(g_deliveries[2].userData >= 10 && g_deliveries[2].userData <= 12);
        EXPECT_EQ(g_deliveries[2].status, Done);
    }
}

TEST_F(DownloadManagerTest, AStopEndsARetryWaitAtOnce) {
    ScriptedServer busy([](ScriptedConnection& connection) {
        connection.send("HTTP/1.0 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n");
    });
    TempDir out;
    DownloadManager& manager = startManager();
    manager.setRetryDelay(60000);
    ASSERT_TRUE(enqueue(busy.url("/busy"), out.file("busy"), 1));
    ASSERT_TRUE(busy.waitForRequests(1, 5000));
    SDL_Delay(50);
    const auto before = std::chrono::steady_clock::now();
    delete &manager;
    // Not the minute the worker was told to wait.
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(20));
    EXPECT_EQ(busy.targets().size(), 1u);
}
