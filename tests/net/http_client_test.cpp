// The HTTP client against a real nginx and against peers that misbehave on purpose.
#include "net/http_client.h"
#include "net/http_request.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <thread>

#include "support/digest.h"
#include "support/nginx_server.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"
#include "util/md5.h"

namespace {

HttpOptions quickStall(int milliseconds = 300) {
    HttpOptions options;
    options.stallTimeoutMs = milliseconds;
    return options;
}

ConnectionScript respond(const std::string& bytes) {
    return [bytes](ScriptedConnection& connection) { connection.send(bytes); };
}

}  // namespace

TEST(HttpGetNginx, FilesOfEverySizeArriveByteForByte) {
    TempDir root, out;
    const std::vector<std::pair<std::string, size_t>> files = {
        {"empty.bin", 0}, {"one.bin", 1}, {"block.txt", 5000}, {"blocks.bin", 1024 * 1024 + 17},
        {"big/large.bin", 24 * 1024 * 1024 + 3}};
    for (size_t i = 0; i < files.size(); ++i) root.write(files[i].first, patternBytes(files[i].second, unsigned(i + 7)));
    NginxServer server(root.path());
    ASSERT_TRUE(server.started()) << server.error();

    for (const auto& file : files) {
        const std::string local = out.file(file.first.substr(file.first.rfind('/') + 1));
        // The digest taken while receiving is that of the stored file.
        std::string received;
        HttpOptions options;
        options.bodyMd5 = &received;
        ASSERT_TRUE(httpGet(server.baseUrl() + file.first + "?ver=0.3.0", local, 0, options)) << file.first;
        EXPECT_EQ(readFileBytes(local), root.read(file.first)) << file.first;
        EXPECT_EQ(received, md5OfFile(local)) << file.first;
        EXPECT_FALSE(out.exists(file.first.substr(file.first.rfind('/') + 1) + ".part"));
    }
    server.stop();
    EXPECT_NE(server.accessLog().find("\"GET /empty.bin?ver=0.3.0 HTTP/1.1\" 200 0 \"-\" \"Wux\""), std::string::npos)
        << server.accessLog();
}

TEST(HttpGetNginx, AnErrorPageNeverBecomesTheFile) {
    TempDir root, out;
    NginxServer server(root.path());
    ASSERT_TRUE(server.started()) << server.error();
    EXPECT_FALSE(httpGet(server.baseUrl() + "missing.txt", out.file("missing.txt"), 0));
    EXPECT_FALSE(out.exists("missing.txt"));
    EXPECT_FALSE(out.exists("missing.txt.part"));
}

TEST(HttpGetScripted, SendsExactlyTheHttp11Request) {
    std::string request;
    ScriptedServer recorder([&request](ScriptedConnection& connection) {
        request = connection.request();
        connection.send("HTTP/1.0 200 OK\r\n\r\nok");
    });
    TempDir out;
    ASSERT_TRUE(httpGet(recorder.url("/dir/file.txt?x=1"), out.file("f"), 0));
    ASSERT_TRUE(recorder.waitForRequests(1, 10000));
    EXPECT_EQ(request, "GET /dir/file.txt?x=1 HTTP/1.1\r\nUser-Agent: Wux\r\nHost: 127.0.0.1:" +
                           std::to_string(recorder.port()) + "\r\nConnection: close\r\nAccept-Encoding: identity\r\n\r\n");
    EXPECT_EQ(out.read("f"), "ok");
}

// A kept connection carries the next request only when the server framed the body by its
// length and offered to keep it open, and only while nothing unasked waits on it; one the
// server closed meanwhile, or that answers with something unreadable, is replaced unseen.
TEST(HttpGetKeepAlive, AConnectionIsKeptOnlyWhenFitAndReplacedWhenTheServerClosedIt) {
    const std::string offer = "HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: ";
    auto answer = [](const std::string& response, bool holds) -> ConnectionScript {
        return [=](ScriptedConnection& connection) {
            connection.send(response);
            if (holds) connection.hold();
        };
    };
    // Answers the first request with "hello" offering to keep the connection, sends `behind`
    // after it, and answers a second request on the same connection with `second`.
    auto keptThen = [&](const std::string& behind, const std::string& second) -> ConnectionScript {
        return [=](ScriptedConnection& connection) {
            connection.send(offer + "5\r\n\r\nhello");
            connection.pause(50);
            connection.send(behind);
            if (connection.nextRequest(3000)) connection.send(second);
        };
    };
    const struct {
        const char* name;
        ConnectionScript script;
        int requests;
        // The client's pause between its requests, and the requests the server sees in all.
        int pauseMs;
        size_t seen;
        std::string body;
    } cases[] = {
        {"closed by the server after the offer", answer(offer + "5\r\n\r\nhello", false), 3, 0, 3, "hello"},
        // A held connection answers no second request: one is enough to see the body end.
        {"an empty body ends at its length", answer(offer + "0\r\n\r\n", true), 1, 0, 1, ""},
        {"no offer", answer("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello", false), 3, 0, 3, "hello"},
        // Read as the next answer, it would fail the next file.
        {"a stray line end behind the body", keptThen("\r\n", offer + "5\r\n\r\nhello"), 2, 300, 2, "hello"},
        // Asked again over a new connection, once.
        {"an unreadable answer on the kept connection", keptThen("", "garbage\r\n\r\n"), 2, 0, 3, "hello"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server(c.script);
        TempDir out;
        KeptConnection kept;
        HttpOptions options = quickStall(2000);
        options.keep = &kept;
        for (int i = 0; i < c.requests; ++i) {
            if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(c.pauseMs));
            HttpResult result;
            ASSERT_TRUE(httpGet(server.url("/f"), out.file("f"), 0, options, &result)) << result.failure;
            EXPECT_EQ(result.failure, "");
            EXPECT_TRUE(result.events.empty());
            EXPECT_EQ(out.read("f"), c.body);
        }
        // A reuse the scripted server did not expect would have failed above.
        EXPECT_TRUE(server.waitForRequests(c.seen, 10000));
        EXPECT_EQ(server.targets().size(), c.seen);
        server.releaseOne();
    }

    // nginx keeps one connection for all of a worker's files.
    TempDir root, out;
    root.write("a.bin", patternBytes(70000, 1));
    root.write("b.bin", "");
    root.write("c.bin", patternBytes(10, 3));
    NginxServer nginx(root.path());
    ASSERT_TRUE(nginx.started());
    KeptConnection kept;
    HttpOptions options = quickStall(5000);
    options.keep = &kept;
    for (const char* name : {"a.bin", "b.bin", "c.bin", "a.bin"}) {
        ASSERT_TRUE(httpGet(nginx.baseUrl() + name, out.file(name), 0, options));
        EXPECT_EQ(out.read(name), root.read(name));
    }
    const std::string log = nginx.accessLog();
    std::set<std::string> connections;
    for (size_t at = log.find(" c"); at != std::string::npos; at = log.find(" c", at + 1))
        connections.insert(log.substr(at, log.find('\n', at) - at));
    EXPECT_EQ(connections.size(), 1u) << log;
}

TEST(HttpGetScripted, AServerThatClosesAtOnceLeavesNoFileButIsNoTransferError) {
    ScriptedServer server([](ScriptedConnection&) {});
    ASSERT_TRUE(server.started());
    TempDir out;
    EXPECT_TRUE(httpGet(server.url("/a"), out.file("a"), 0));
    EXPECT_FALSE(out.exists("a"));
    EXPECT_FALSE(out.exists("a.part"));
}

TEST(HttpGetScripted, TheBodyEndsAtItsLengthOrWhenTheServerCloses) {
    TempDir out;
    {
        // No length: the end of the connection ends the body.
        ScriptedServer server(respond("HTTP/1.0 200 OK\r\n\r\n" + patternBytes(100000)));
        ASSERT_TRUE(httpGet(server.url("/a"), out.file("open"), 0));
        EXPECT_EQ(out.read("open"), patternBytes(100000));
    }
    {
        // A lower-case field is still the length: the client stops there although the server
        // keeps the connection open (it would otherwise stall and fail).
        ScriptedServer server([](ScriptedConnection& connection) {
            connection.send("HTTP/1.1 200 OK\r\ncontent-length: 10\r\n\r\n0123456789");
            connection.hold();
        });
        ASSERT_TRUE(httpGet(server.url("/a"), out.file("lower"), 0, quickStall(5000)));
        EXPECT_EQ(out.read("lower"), "0123456789");
    }
    {
        // Bytes past the declared length are no part of the body.
        ScriptedServer server(respond("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\n0123456789"));
        std::string received;
        HttpOptions options;
        options.bodyMd5 = &received;
        ASSERT_TRUE(httpGet(server.url("/a"), out.file("longer"), 0, options));
        EXPECT_EQ(out.read("longer"), "01234");
        EXPECT_EQ(received, md5OfBuffer("01234", 5));
    }
}

TEST(HttpGetScripted, AHeaderSplitOverManySendsIsReceivedToItsBlankLine) {
    ScriptedServer server([](ScriptedConnection& connection) {
        for (const char* piece : {"HTT", "P/1.0 200 OK\r", "\nContent-Len", "gth: 12\r\n", "\r", "\nhello", " world!"}) {
            connection.send(piece);
            connection.pause(30);
        }
    });
    TempDir out;
    ASSERT_TRUE(httpGet(server.url("/a"), out.file("a"), 0));
    EXPECT_EQ(out.read("a"), "hello world!");
}

TEST(HttpGetScripted, AShortOrBrokenBodyIsAFailureAndLeavesNothing) {
    TempDir out;
    out.write("short", "stale bytes of an earlier run");
    {
        ScriptedServer server(respond("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n" + std::string(50, 'x')));
        EXPECT_FALSE(httpGet(server.url("/a"), out.file("short"), 0));
    }
    {
        ScriptedServer server([](ScriptedConnection& connection) {
            connection.send("HTTP/1.0 200 OK\r\n\r\n" + std::string(5000, 'x'));
            connection.pause(50);
            connection.reset();
        });
        EXPECT_FALSE(httpGet(server.url("/a"), out.file("reset"), 0));
    }
    {
        // A 32-bit length would read this as 10 and call the 10 bytes complete.
        ScriptedServer server(respond("HTTP/1.0 200 OK\r\nContent-Length: 4294967306\r\n\r\n0123456789"));
        EXPECT_FALSE(httpGet(server.url("/a"), out.file("huge"), 0));
    }
    for (const char* name : {"short", "reset", "huge"})
        EXPECT_FALSE(out.exists(name)) << name;
}

// Answers a server should never give, each with what the client makes of it: refused (with
// the failure it logs, where one is given) or read as meant.
TEST(HttpGetScripted, HostileAnswersAreRefusedOrReadAsMeant) {
    // 4 MiB of zeros, about 4 KiB on the wire.
    const std::string zeros = gzippedZeros(4 << 20);
    // A gzip header whose comment never ends: the flag byte's bit 4, then comment bytes.
    const std::string endlessComment = std::string("\x1f\x8b\x08\x10\0\0\0\0\0\x03", 10) + std::string(1536 * 1024, 'c');
    const std::string gzipHead = "HTTP/1.0 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: ";
    struct Case {
        const char* name;
        ConnectionScript script;
        const char* path;
        // The client's bounds: maxBytes and HttpOptions::maxBytesPerAnnouncedByte.
        int64_t maxBytes, perAnnouncedByte;
        // What is stored; empty: the answer is refused, with `failure` (when given).
        std::string stored, failure;
        // Generous unless the case is about time: a busy machine must not turn into a stall.
        int stallMs = 5000;
    };
    const Case cases[] = {
        {"a missing file", respond("HTTP/1.0 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found"), "/a", 0, 0, "",
         "HTTP/1.0 404 Not Found"},
        {"an error page", respond("HTTP/1.1 500 Oops\r\n\r\n<html>error</html>"), "/a", 0, 0, "", "HTTP/1.1 500 Oops"},
        {"a length that is no number", respond("HTTP/1.0 200 OK\r\nContent-Length: many\r\n\r\nbody"), "/a", 0, 0, "", ""},
        {"no HTTP at all", respond("just some bytes\r\n\r\nbody"), "/a", 0, 0, "",
         "a malformed response: just some bytes"},
        {"a header that never ends", respond("HTTP/1.0 200 OK\r\n" + std::string(70000, 'h')), "/a", 0, 0, "",
         "a response header larger than 64 KiB"},
        // The chunks' framing never ends up in the file, nor does a chunked body pass its bounds.
        {"a chunked body", respond("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n"), "/a",
         0, 0, "ok", ""},
        {"a chunk size that is no number", respond("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nok\r\n"),
         "/a", 0, 0, "", "malformed chunks in the body after 0 bytes"},
        {"chunks cut short", respond("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nok"), "/a", 0, 0, "",
         "the connection closed after 2 bytes"},
        {"a chunk size past 60 bits",
         respond("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1000000000000000\r\nok"), "/a", 0, 0, "",
         "malformed chunks"},
        {"chunks past maxBytes",
         respond("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n400\r\n" + std::string(1024, 'x') + "\r\n0\r\n\r\n"),
         "/a", 100, 0, "", "more than 100 bytes"},
        {"another transfer coding", respond("HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\nok"), "/a", 0, 0, "",
         "unsupported Transfer-Encoding: gzip"},
        {"interim answers first",
         respond("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\n\r\nHTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"),
         "/a", 0, 0, "ok", ""},
        {"line feeds alone", respond("HTTP/1.0 200 OK\nContent-Length: 2\n\nok"), "/a", 0, 0, "ok", ""},
        // Bounds count what is written, not what travelled.
        {"a compressed body past maxBytes", respond(gzipHead + std::to_string(zeros.size()) + "\r\n\r\n" + zeros), "/a",
         1 << 20, 0, "", "more than 1048576 bytes"},
        {"a compressed body past its announced length's multiple",
         respond(gzipHead + std::to_string(zeros.size()) + "\r\n\r\n" + zeros), "/a", 0, 100, "",
         "more than " + std::to_string(zeros.size() * 100) + " bytes"},
        {"a .gz whose gzip header never ends",
         respond(gzipHead + std::to_string(endlessComment.size()) + "\r\n\r\n" + endlessComment), "/a.gz", 0, 0, "",
         "no gzip content in the first 1048576 bytes"},
        // A byte now and then is no transfer: less than 1 KiB within the stall time-out is a stall.
        {"a drip",
         [](ScriptedConnection& c) {
             if (!c.send("HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n")) return;
             for (int i = 0; i < 200 && c.send("x"); ++i) c.pause(50);
         },
         "/a", 0, 0, "", "less than 1024 bytes in 1000 ms after ", 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server(c.script);
        TempDir out;
        HttpOptions options = quickStall(c.stallMs);
        options.maxBytesPerAnnouncedByte = c.perAnnouncedByte;
        HttpResult result;
        const bool stored = httpGet(server.url(c.path), out.file("a"), c.maxBytes, options, &result);
        EXPECT_EQ(stored, !c.stored.empty());
        EXPECT_EQ(result.failure.substr(0, std::string(c.failure).size()), c.failure);
        EXPECT_EQ(out.exists("a") ? out.read("a") : "", c.stored);
        EXPECT_FALSE(out.exists("a.part"));
    }
}

TEST(HttpGetScripted, TheSizeLimitStopsABodyThatGrowsPastIt) {
    ScriptedServer server([](ScriptedConnection& connection) {
        connection.send("HTTP/1.0 200 OK\r\nContent-Length: 10000\r\n\r\n" + std::string(500, 'x'));
        connection.pause(50);
        connection.send(std::string(9500, 'x'));
    });
    TempDir out;
    EXPECT_FALSE(httpGet(server.url("/a"), out.file("a"), 100));
    EXPECT_FALSE(out.exists("a"));
    EXPECT_FALSE(out.exists("a.part"));
}

TEST(HttpGetScripted, AStalledServerFailsTheTransferInsteadOfBlockingForEver) {
    TempDir out;
    {
        ScriptedServer server([](ScriptedConnection& connection) { connection.hold(); });
        EXPECT_FALSE(httpGet(server.url("/a"), out.file("silent"), 0, quickStall()));
    }
    {
        ScriptedServer server([](ScriptedConnection& connection) {
            connection.send("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nsome");
            connection.hold();
        });
        EXPECT_FALSE(httpGet(server.url("/a"), out.file("midway"), 0, quickStall()));
    }
    {
        UnansweredListener listener;
        ASSERT_TRUE(listener.started());
        EXPECT_FALSE(httpGet("http://127.0.0.1:" + std::to_string(listener.port()) + "/a", out.file("connect"), 0,
                             quickStall()));
    }
    for (const char* name : {"silent", "silent.part", "midway", "midway.part", "connect"}) EXPECT_FALSE(out.exists(name));
}

TEST(HttpGetScripted, ACancelEndsATransferBlockedInReceiveOrConnect) {
    PlatformCancel* cancel = platformCreateCancel();
    ASSERT_NE(cancel, nullptr);
    ScriptedServer server([](ScriptedConnection& connection) { connection.hold(); });
    UnansweredListener listener;
    HttpOptions options;
    options.cancel = cancel;
    TempDir out;
    bool receiveResult = true, connectResult = true;
    std::thread receiving([&] { receiveResult = httpGet(server.url("/a"), out.file("a"), 0, options); });
    std::thread connecting([&] {
        connectResult = httpGet("http://127.0.0.1:" + std::to_string(listener.port()) + "/b", out.file("b"), 0, options);
    });
    ASSERT_TRUE(server.waitForRequests(1, 5000));
    platformRaiseCancel(cancel);
    // The default 30-second stall time-out would keep both far longer than the test's bound.
    receiving.join();
    connecting.join();
    EXPECT_FALSE(receiveResult);
    EXPECT_FALSE(connectResult);
    platformDestroyCancel(cancel);
}

TEST(HttpGetScripted, AUrlThatWouldRewriteTheRequestIsRefusedUnsent) {
    ScriptedServer server(respond("HTTP/1.0 200 OK\r\n\r\nx"));
    TempDir out;
    for (const std::string& path : {std::string("/a\r\nX-Injected: 1"), std::string("/a b"), std::string("/a\tb"),
                                    std::string("/a\x7f"), std::string("/a\nb")})
        EXPECT_FALSE(httpGet(server.url(path), out.file("a"), 0));
    EXPECT_FALSE(server.waitForRequests(1, 200));
    EXPECT_FALSE(out.exists("a"));
}

TEST(HttpGetScripted, HostsWithPortsAndIpv6LiteralsAreReached) {
    TempDir out;
    EXPECT_FALSE(httpGet("http://127.0.0.1:99999/a", out.file("a"), 0));
    EXPECT_FALSE(httpGet("http://127.0.0.1:/a", out.file("a"), 0));
    ScriptedServer server6(respond("HTTP/1.0 200 OK\r\n\r\nsix"), true);
    if (!server6.started()) GTEST_SKIP() << "no IPv6 loopback here";
    ASSERT_TRUE(httpGet(server6.url("/a"), out.file("six"), 0));
    EXPECT_EQ(out.read("six"), "six");
}

TEST(ConnectToAny, TriesEveryAddressInTurn) {
    ScriptedServer server(respond(""));
    const int closedPort = pickFreeLoopbackPort();
    std::vector<PlatformAddress> addresses;
    ASSERT_TRUE(platformResolve("127.0.0.1", std::to_string(closedPort), addresses));
    ASSERT_TRUE(platformResolve("127.0.0.1", std::to_string(server.port()), addresses));
    ASSERT_EQ(addresses.size(), 2u);
    PlatformSocket socket;
    ASSERT_TRUE(connectToAny(socket, addresses));
    platformCloseSocket(socket);
    EXPECT_TRUE(server.waitForRequests(1, 10000));
    addresses.pop_back();
    EXPECT_FALSE(connectToAny(socket, addresses));
    EXPECT_EQ(socket, kNoSocket);
}

TEST(HttpGetScripted, AFullDiskFailsTheTransferAndLeavesNothing) {
    ScriptedServer server(respond("HTTP/1.0 200 OK\r\nContent-Length: 200000\r\n\r\n" + patternBytes(200000)));
    TempDir out;
    // A file-size limit makes writes fail as on a full disk; the signal it raises is ignored
    // so that the write reports the error.
    rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 64 * 1024;
    auto* previous = signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    const bool result = httpGet(server.url("/a"), out.file("a"), 0);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);
    EXPECT_FALSE(result);
    EXPECT_FALSE(out.exists("a"));
    EXPECT_FALSE(out.exists("a.part"));
}

// What the certificate checks cannot show: the handshake waits like any transfer, and an
// https address is never fetched in plain text.
TEST(HttpGetTls, AStalledHandshakeTimesOutAndACancelEndsItAtOnce) {
    // Accepts, reads the client's hello and never answers.
    ScriptedServer silent([](ScriptedConnection&) {});
    ASSERT_TRUE(silent.started());
    const std::string url = "https://127.0.0.1:" + std::to_string(silent.port()) + "/a";
    TempDir out;
    using Clock = std::chrono::steady_clock;

    HttpResult why;
    Clock::time_point start = Clock::now();
    EXPECT_FALSE(httpGet(url, out.file("a.part"), 0, quickStall(300), &why));
    // Bounds are half the 30-second default: the first handshake of a process also loads the
    // certificate store, which takes seconds under Valgrind on a busy machine.
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(15));
    EXPECT_EQ(why.failure, "TLS handshake with 127.0.0.1 timed out");
    EXPECT_TRUE(why.retryable);

    PlatformCancel* cancel = platformCreateCancel();
    ASSERT_NE(cancel, nullptr);
    HttpOptions options;
    options.cancel = cancel;
    std::thread raiser([cancel] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        platformRaiseCancel(cancel);
    });
    start = Clock::now();
    EXPECT_FALSE(httpGet(url, out.file("a.part"), 0, options, &why));
    // The default 30-second stall time-out would take far longer.
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(15));
    EXPECT_EQ(why.failure, "TLS handshake with 127.0.0.1 cancelled");
    EXPECT_FALSE(why.retryable);
    raiser.join();
    platformDestroyCancel(cancel);
    EXPECT_FALSE(out.exists("a"));
    EXPECT_FALSE(out.exists("a.part"));
}

TEST(HttpGetTls, AnHttpsAddressOnAPlainServerFailsAndIsNeverAskedInPlainText) {
    TempDir root, out;
    root.write("file.txt", "plain");
    NginxServer server(root.path());
    ASSERT_TRUE(server.started()) << server.error();
    HttpResult why;
    EXPECT_FALSE(httpGet("https://127.0.0.1:" + std::to_string(server.port()) + "/file.txt", out.file("file.txt.part"), 0,
                         quickStall(2000), &why));
    EXPECT_EQ(why.failure.rfind("TLS handshake with 127.0.0.1 failed: ", 0), 0u) << why.failure;
    // A server without TLS stays so: no retries.
    EXPECT_FALSE(why.retryable);
    EXPECT_FALSE(out.exists("file.txt.part"));
    server.stop();
    EXPECT_EQ(server.accessLog().find("GET /file.txt"), std::string::npos) << server.accessLog();
}

TEST(HttpGetScripted, AKeptBodyIsContinuedOnlyWhereItIsTheTransfersOwnFile) {
    std::atomic<bool> rangeAsked{false};
    ScriptedServer server([&](ScriptedConnection& connection) {
        rangeAsked = connection.request().find("\r\nRange: bytes=4-\r\n") != std::string::npos;
        connection.send(rangeAsked ? "HTTP/1.0 206 Partial Content\r\nContent-Range: bytes 4-5/6\r\nContent-Length: 2\r\n\r\nef"
                                   : "HTTP/1.0 200 OK\r\nContent-Length: 6\r\n\r\nabcdef");
    });
    ASSERT_TRUE(server.started());
    HttpOptions options = quickStall();
    options.resume = true;
    struct Case {
        const char* name;
        // Makes "b.part" stand for something that is not this transfer's own file.
        void (*place)(const TempDir& dir);
        bool rangeAsked;
    };
    const Case cases[] = {
        // Never followed: not read for its size, not written, not removed.
        {"a symbolic link", [](const TempDir& dir) { std::filesystem::create_symlink(dir.file("elsewhere"), dir.file("b.part")); },
         false},
        // Read for its size, but appending would write into the other name's file: the kept bytes
        // are dropped (that name only) for the next attempt to start over.
        {"a second hard link", [](const TempDir& dir) { std::filesystem::create_hard_link(dir.file("elsewhere"), dir.file("b.part")); },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir out;
        out.write("elsewhere", "abcd");
        c.place(out);
        HttpResult result;
        EXPECT_FALSE(httpGet(server.url("/b"), out.file("b.part"), 0, options, &result));
        EXPECT_EQ(result.failure, "could not write " + out.file("b.part"));
        EXPECT_EQ(rangeAsked.load(), c.rangeAsked);
        EXPECT_EQ(out.read("elsewhere"), "abcd");
    }

    // A kept body is no answer: a server that says nothing leaves it for the next attempt, and the
    // result tells the caller that nothing arrived.
    ScriptedServer silent([](ScriptedConnection&) {});
    ASSERT_TRUE(silent.started());
    TempDir out;
    out.write("c.part", "abcd");
    HttpResult result;
    EXPECT_TRUE(httpGet(silent.url("/c"), out.file("c.part"), 0, options, &result));
    EXPECT_FALSE(result.failure.empty());
    EXPECT_EQ(out.read("c.part"), "abcd");
}

TEST(HttpGetScripted, TheDigestTakenWhileReceivingIsThatOfTheWholeStoredFile) {
    // What the server sends for "Range: bytes=4-" and for a request without one.
    struct Case {
        const char* name;
        const char* kept;
        const char* ranged;
        const char* expected;
    };
    const Case cases[] = {
        // The kept start is hashed before the rest is appended.
        {"continued", "abcd", "HTTP/1.0 206 Partial Content\r\nContent-Range: bytes 4-5/6\r\nContent-Length: 2\r\n\r\nef",
         "abcdef"},
        // Fetched from the start again: the kept bytes are not part of the digest.
        {"a 200 to the range", "wxyz", "HTTP/1.0 200 OK\r\nContent-Length: 6\r\n\r\nabcdef", "abcdef"},
        {"a 416 to the range", "wxyzwxyz", "HTTP/1.0 416 Range Not Satisfiable\r\n\r\n", "abcdef"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server([&](ScriptedConnection& connection) {
            const bool ranged = connection.request().find("\r\nRange: bytes=") != std::string::npos;
            connection.send(ranged ? c.ranged : "HTTP/1.0 200 OK\r\nContent-Length: 6\r\n\r\nabcdef");
        });
        ASSERT_TRUE(server.started());
        TempDir out;
        out.write("d.part", c.kept);
        HttpOptions options = quickStall();
        options.resume = true;
        std::string received;
        options.bodyMd5 = &received;
        ASSERT_TRUE(httpGet(server.url("/d"), out.file("d.part"), 0, options));
        EXPECT_EQ(out.read("d.part"), c.expected);
        EXPECT_EQ(received, md5OfBuffer(c.expected, int32_t(std::strlen(c.expected))));
    }
}
