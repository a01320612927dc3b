// The download manager: queue order, requests handed back finished, digests, and stopping
// while transfers are in flight.
#include "net/download_manager.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <vector>

#include "support/apache_server.h"
#include "support/digest.h"
#include "support/lighttpd_server.h"
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

// A worker takes requests ahead of their turn to send them on its connection: a stop hands them
// back as if they had never left the queue.
TEST_F(DownloadManagerTest, AStopHandsBackWhatAWorkerTookAheadInQueueOrder) {
    std::atomic<int> requests{0};
    ScriptedServer server([&](ScriptedConnection& c) {
        do {
            // The second request waits: the rest were sent behind it.
            if (requests++ > 0) return c.hold();
            c.send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nquick");
        } while (c.nextRequest(3000));
    });
    TempDir out;
    DownloadManager& manager = startManager(1);
    for (int i = 1; i <= 10; ++i)
        ASSERT_TRUE(enqueue(server.url("/f" + std::to_string(i)), out.file("f" + std::to_string(i)), i, md5OfBuffer("quick", 5)));
    ASSERT_TRUE(manager.waitForFinished(1, 10000));
    ASSERT_TRUE(server.waitForRequests(2, 10000));
    const std::vector<DownloadRequest> untaken = manager.stop();
    // The second was being fetched: dropped, as a kill would.
    ASSERT_EQ(untaken.size(), 9u);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(untaken[size_t(i)].userData, i + 3);
        EXPECT_EQ(untaken[size_t(i)].status, Queued);
    }
    EXPECT_EQ(untaken[8].userData, 1);
    EXPECT_EQ(untaken[8].status, Done);
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

namespace {

// What a scripted server does to the first answer on a connection whose next request came
// before it (pipelined): it may change `answer`, hold it back in `held` (sent behind the next
// answer), or end the connection (false).
using Spoil = std::function<bool(std::string& answer, std::string& held)>;

// Serves `files` by target, answering every request a connection brings in turn; counts the
// answers `spoil` had.
ConnectionScript serveFiles(const std::map<std::string, std::string>& files, Spoil spoil, std::atomic<int>& spoiled) {
    return [&files, spoil, &spoiled](ScriptedConnection& c) {
        std::string held;
        bool spoiledHere = false;
        for (;;) {
            const auto found = files.find(c.target());
            const std::string body = found == files.end() ? "" : found->second;
            std::string answer = (found == files.end() ? "HTTP/1.1 404 Not Found" : "HTTP/1.1 200 OK") +
                                 std::string("\r\nContent-Length: ") + std::to_string(body.size()) + "\r\n\r\n" + body;
            answer += held;
            held.clear();
            bool kept = true;
            // A moment for the requests a client sends behind this one to arrive.
            if (spoil && !spoiledHere) c.pause(10);
            if (spoil && !spoiledHere && c.requestWaiting()) {
                kept = spoil(answer, held);
                spoiledHere = true;
                ++spoiled;
            }
            if (!kept || !c.send(answer) || !c.nextRequest(3000)) return;
        }
    };
}

// The servers of one case, kept until its files arrived.
struct PipelineServers {
    std::unique_ptr<NginxServer> nginx;
    std::unique_ptr<ApacheServer> apache;
    std::unique_ptr<LighttpdServer> lighttpd;
    std::unique_ptr<ScriptedServer> scripted;
    std::atomic<int> spoiled{0};
};

struct PipelineCase {
    const char* name;
    // Starts the server for the files in `root` (the same bytes as `files`, by target) and
    // gives the address they are under; empty when the server is not installed (skipped).
    std::function<std::string(const TempDir& root, const std::map<std::string, std::string>& files,
                              PipelineServers& servers)>
        start;
    // What the server saw, once every file arrived.
    std::function<void(PipelineServers& servers)> check;
};

std::function<std::string(const TempDir&, const std::map<std::string, std::string>&, PipelineServers&)> scripted(
    Spoil spoil) {
    return [spoil](const TempDir&, const std::map<std::string, std::string>& files, PipelineServers& servers) {
        servers.scripted = std::make_unique<ScriptedServer>(serveFiles(files, spoil, servers.spoiled));
        return servers.scripted->url("/");
    };
}

// The case is only worth its name if a pipelined request was spoiled.
void expectSpoiled(PipelineServers& servers) { EXPECT_GT(servers.spoiled.load(), 0); }

}  // namespace

// Many small files with digests, as a release has them: each worker's connection carries
// several at once, from every kind of server, and whatever a server does to a pipeline (closes
// it, answers with an error, breaks the framing, answers out of turn) every file ends
// byte-exact: the digest decides, and a broken pipeline costs only another request.
TEST_F(DownloadManagerTest, ManyFilesAtOnceArriveByteExactFromEveryServer) {
    const PipelineCase cases[] = {
        {"nginx",
         [](const TempDir& root, const std::map<std::string, std::string>&, PipelineServers& servers) {
             servers.nginx = std::make_unique<NginxServer>(root.path());
             return servers.nginx->started() ? servers.nginx->baseUrl() : "";
         },
         [](PipelineServers& servers) {
             servers.nginx->stop();
             EXPECT_NE(servers.nginx->accessLog().find(" p c"), std::string::npos) << servers.nginx->accessLog();
         }},
        {"Apache httpd",
         [](const TempDir& root, const std::map<std::string, std::string>&, PipelineServers& servers) {
             servers.apache = std::make_unique<ApacheServer>(root.path());
             return servers.apache->started() ? servers.apache->baseUrl() : "";
         },
         nullptr},
        // lighttpd serves a range only to an HTTP/1.1 request: the kept start of one file is
        // continued.
        {"lighttpd, one file resumed",
         [](const TempDir& root, const std::map<std::string, std::string>&, PipelineServers& servers) {
             servers.lighttpd = std::make_unique<LighttpdServer>(root.path());
             return servers.lighttpd->started() ? servers.lighttpd->baseUrl() : "";
         },
         [](PipelineServers& servers) {
             servers.lighttpd->stop();
             EXPECT_NE(servers.lighttpd->accessLog().find("\"GET /f07 HTTP/1.1\" 206 1579 \"bytes=1100-\""),
                       std::string::npos)
                 << servers.lighttpd->accessLog();
         }},
        {"closes mid-pipeline", scripted([](std::string&, std::string&) { return false; }), expectSpoiled},
        {"an error for a pipelined request",
         scripted([](std::string& answer, std::string&) {
             answer = "HTTP/1.1 503 Busy\r\nRetry-After: 0\r\nContent-Length: 0\r\n\r\n";
             return true;
         }),
         expectSpoiled},
        // A length that takes the next answer's first bytes into this body.
        {"broken framing",
         scripted([](std::string& answer, std::string&) {
             const size_t at = answer.find("Length: ") + 8;
             answer.replace(at, 4, std::to_string(std::stoi(answer.substr(at, 4)) + 5));
             return true;
         }),
         expectSpoiled},
        {"answers out of turn",
         scripted([](std::string& answer, std::string& held) {
             held.swap(answer);
             return true;
         }),
         expectSpoiled},
    };
    std::map<std::string, std::string> files;
    TempDir root;
    for (int i = 0; i < 30; ++i) {
        const std::string name = "f" + std::string(i < 10 ? "0" : "") + std::to_string(i);
        files["/" + name] = patternBytes(2000 + size_t(i) * 97, unsigned(i));
        root.write(name, files["/" + name]);
    }
    for (const PipelineCase& c : cases) {
        SCOPED_TRACE(c.name);
        PipelineServers servers;
        const std::string base = c.start(root, files, servers);
        if (base.empty()) {
            ADD_FAILURE() << "the server did not start";
            continue;
        }
        TempDir out;
        out.write("f07.part", files["/f07"].substr(0, 1100));
        deliveries_.clear();
        startManager(5, 5000).setRetryDelay(50);
        int tag = 0;
        for (const auto& file : files)
            ASSERT_TRUE(enqueue(base + file.first.substr(1), out.file(file.first.substr(1)), tag++,
                                md5OfBuffer(file.second.data(), int32_t(file.second.size()))));
        ASSERT_TRUE(takeUntil(files.size()));
        for (const Delivery& delivery : deliveries_) EXPECT_TRUE(delivery.success()) << delivery.userData << delivery.failure;
        for (const auto& file : files) EXPECT_EQ(out.read(file.first.substr(1)), file.second) << file.first;
        manager_->stop();
        if (c.check) c.check(servers);
    }
}
