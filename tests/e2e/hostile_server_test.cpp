// The real updater against servers that misbehave on purpose: each case ends with its documented
// outcome, and a second run against a good server leaves the folder exactly as the release says.
#include <gtest/gtest.h>

#include <cstdio>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <cctype>

#include <nghttp2/nghttp2.h>

#include "e2e/update_harness.h"
#include "support/digest.h"
#include "support/scripted_server.h"
#include "support/test_ca.h"
#include "util/md5.h"

namespace {

using Lines = std::vector<std::string>;

const char* const kManifestTarget = "/release/manifest?ver=0.3.0";

std::string okHead(size_t contentLength) {
    return "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
           std::to_string(contentLength) + "\r\n\r\n";
}

bool contains(const Lines& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string md5sumOf(const std::string& shellCommand) {
    const ProcessResult result = runProcess({"sh", "-c", shellCommand + " | md5sum"});
    return result.out.substr(0, 32);
}

// A release of four files (one compressed, one listed for presence only) on a good nginx, and
// a game folder in which two of them are already right. A hostile server plays the same
// release but for the targets a test makes it spoil.
class HostileServer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(good.started());
        std::string story;
        while (story.size() < 50000) story += "The kib waited for the ferry that never came. ";
        release = {{"kib.exe", kGameScript},
                   {"data/level.pak", patternBytes(300000, 31)},
                   {"data/story.txt", story},
                   {"data/settings.ini", "volume=7\n"}};
        good.publish(release, {{"data/story.txt", Listing::Compressed}, {"data/settings.ini", Listing::Presence}});
        const std::string published = good.get("release/manifest");
        entries = published.substr(published.find('\n') + 1);
        game.installGame();
        game.write("data/settings.ini", release["data/settings.ini"]);
    }

    std::string manifest(const std::string& master) const {
        return "master:" + master + "\n" + entries;
    }

    // Plays the release from the good server's folder; `spoiled` answers the targets it names.
    ConnectionScript serve(std::map<std::string, ConnectionScript> spoiled) {
        return [this, spoiled](ScriptedConnection& connection) {
            const std::string target = connection.target();
            const auto found = spoiled.find(target);
            if (found != spoiled.end()) return found->second(connection);
            if (target == kManifestTarget) {
                const std::string text = manifest(connection.url("/files/"));
                connection.send(okHead(text.size()) + text);
            } else if (target.compare(0, 7, "/files/") == 0 && good.get(target.substr(1)).size() > 0) {
                const std::string body = good.get(target.substr(1));
                connection.send(okHead(body.size()) + body);
            } else {
                connection.send("HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n");
            }
        };
    }

    // The same release over TLS: over HTTP/2 `spoiled` answers the targets it names, on every
    // stream of the connection; over HTTP/1.x (a client that no longer offers "h2") all is well.
    ConnectionScript serveHttp2(std::map<std::string, ConnectionScript> spoiled) {
        return [this, spoiled](ScriptedConnection& connection) {
            if (!connection.http2()) {
                if (connection.target() == "/files/data/level.pak") ++http1Answers;
                return serve({})(connection);
            }
            do {
                const std::string target = connection.target();
                const auto found = spoiled.find(target);
                if (found != spoiled.end()) {
                    found->second(connection);
                } else if (target == kManifestTarget) {
                    connection.answerHttp2(connection.stream(), "200", manifest(connection.url("/files/")));
                } else if (target.compare(0, 7, "/files/") == 0 && good.get(target.substr(1)).size() > 0) {
                    connection.answerHttp2(connection.stream(), "200", good.get(target.substr(1)));
                } else {
                    connection.answerHttp2(connection.stream(), "404", "");
                }
            } while (connection.nextRequest(10000));
        };
    }

    // The first run, against `hostile`, fails; the files that were right stay right.
    void expectFailure(const ScriptedServer& hostile, const std::string& failure, const std::string& logLine,
                       const Environment& environment = {}) {
        ASSERT_TRUE(hostile.started());
        game.write("assets/updater/update.cfg", hostile.url("/release/manifest") + "\n");
        const Files right = rightFiles(game, release);
        expectFailedRun(game, failure, logLine, environment);
        for (const auto& [path, content] : right) EXPECT_EQ(game.read(path), content) << path;
    }

    // The next run, against the good server, repairs whatever the first one left.
    void expectRepairedByGoodServer() {
        game.write("assets/updater/update.cfg", good.manifestUrl() + "\n");
        std::filesystem::remove(game.file("game-started"));
        expectFinishedRun(game, release);
    }

    UpdateServer good;
    GameFolder game{good.manifestUrl()};
    Files release;
    // The published manifest's lines after its "master:" line.
    std::string entries;
    // How often serveHttp2 answered for the level over HTTP/1.x.
    std::atomic<int> http1Answers{0};
};

}  // namespace

TEST_F(HostileServer, OversizedHeadersAreRefused) {
    // Well past the 64 KiB a header may have, in ordinary lines, then a good body.
    std::string padding;
    for (int i = 0; i < 100; ++i) padding += "X-Padding-" + std::to_string(i) + ": " + std::string(1000, 'p') + "\r\n";
    const std::string level = release["data/level.pak"];
    ScriptedServer bigFileHeader(serve({{"/files/data/level.pak", [&](ScriptedConnection& connection) {
        connection.send("HTTP/1.0 200 OK\r\n" + padding + "Content-Length: " + std::to_string(level.size()) +
                        "\r\n\r\n" + level);
    }}}));
    expectFailure(bigFileHeader, "Could not download data/level.pak", "\t\tFailed to get data/level.pak. Reason: 3");
    EXPECT_FALSE(game.exists("data/level.pak"));

    ScriptedServer bigManifestHeader(serve({{kManifestTarget, [&](ScriptedConnection& connection) {
        const std::string text = manifest(connection.url("/files/"));
        connection.send("HTTP/1.0 200 OK\r\n" + padding + "\r\n" + text);
    }}}));
    expectFailure(bigManifestHeader, "Could not get manifest", "Failed to download manifest. Reason: 3");
    expectRepairedByGoodServer();
}

TEST_F(HostileServer, EndlessHeadersAreCutOff) {
    // Header lines for as long as the updater listens (bounded here, far beyond any header).
    constexpr size_t kLimit = size_t(64) << 20;
    std::atomic<size_t> sent{0};
    ScriptedServer endless(serve({{kManifestTarget, [&](ScriptedConnection& connection) {
        std::string lines;
        for (int i = 0; i < 1000; ++i) lines += "X-More: and more and more\r\n";
        if (!connection.send("HTTP/1.0 200 OK\r\n")) return;
        while (sent < kLimit && connection.send(lines)) sent += lines.size();
    }}}));
    expectFailure(endless, "Could not get manifest", "Failed to download manifest. Reason: 3");
    // The updater hung up: the server's sends failed long before the bound.
    EXPECT_LT(sent.load(), kLimit);
    expectRepairedByGoodServer();
}

TEST_F(HostileServer, BytesPastContentLengthAreIgnored) {
    // Behind the declared manifest comes a line that would make it invalid, and behind the
    // declared file a tail of junk: neither is read.
    ScriptedServer overlong(serve({
        {kManifestTarget, [&](ScriptedConnection& connection) {
            const std::string text = manifest(connection.url("/files/"));
            connection.send(okHead(text.size()) + text + "../outside.txt\nmaster:http://127.0.0.1:1/\n");
        }},
        {"/files/data/level.pak", [&](ScriptedConnection& connection) {
            const std::string level = release["data/level.pak"];
            connection.send(okHead(level.size()) + level + patternBytes(100000, 32));
        }},
    }));
    ASSERT_TRUE(overlong.started());
    game.write("assets/updater/update.cfg", overlong.url("/release/manifest") + "\n");
    const UpdaterRun run = game.run();
    EXPECT_EQ(run.process.err, box("Done!", "It's a miracle! The update was a success!"));
    ASSERT_TRUE(game.gameStarted());
    EXPECT_EQ(game.files(), game.finishedFolder(release));
    EXPECT_EQ(game.besideTheFolder(), Lines{});
    expectRepairedByGoodServer();
}

TEST_F(HostileServer, BytesThenAStallFailAtTheStallTimeOut) {
    const std::string level = release["data/level.pak"];
    ScriptedServer stalling(serve({{"/files/data/level.pak", [&](ScriptedConnection& connection) {
        connection.send(okHead(level.size()) + level.substr(0, level.size() / 2));
        // Silent until the test ends, with the connection open.
        connection.hold();
    }}}));
    const auto start = std::chrono::steady_clock::now();
    expectFailure(stalling, "Could not download data/level.pak", "\t\tFailed to get data/level.pak. Reason: 3",
                  {{"KIB_STALL_TIMEOUT_MS", "1000"}});
    // Given up after the shortened time-out, not the usual 30 seconds.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_FALSE(game.exists("data/level.pak"));
    expectRepairedByGoodServer();
}

TEST_F(HostileServer, AResetInTheBodyIsAFailedTransfer) {
    const std::string level = release["data/level.pak"];
    ScriptedServer withLength(serve({{"/files/data/level.pak", [&](ScriptedConnection& connection) {
        connection.send(okHead(level.size()) + level.substr(0, level.size() / 2));
        connection.pause(100);
        connection.reset();
    }}}));
    // Reason 3, or 4 when the reset overtakes the bytes before the updater reads any (a
    // reset discards what was not read yet): a failure either way.
    expectFailure(withLength, "Could not download data/level.pak", "\t\tFailed to get data/level.pak. Reason: ");
    EXPECT_FALSE(game.exists("data/level.pak"));

    // Without a length only the way the connection ends tells a whole body from a cut one; a
    // presence line would keep a cut copy for ever.
    std::filesystem::remove(game.file("data/settings.ini"));
    ScriptedServer withoutLength(serve({{"/files/data/settings.ini", [&](ScriptedConnection& connection) {
        connection.send("HTTP/1.0 200 OK\r\n\r\nvolu");
        connection.pause(100);
        connection.reset();
    }}}));
    expectFailure(withoutLength, "Could not download data/settings.ini",
                  "\t\tFailed to get data/settings.ini. Reason: ");
    EXPECT_FALSE(game.exists("data/settings.ini"));
    expectRepairedByGoodServer();
}

TEST_F(HostileServer, ASuccessStatusWithTheWrongFileIsCaught) {
    // A real gzip file, only not the published one.
    TempDir other;
    other.write("story.txt", "Not the story at all.\n");
    ASSERT_EQ(runProcess({"gzip", "-n", other.file("story.txt")}).exitCode, 0);
    const std::string wrongGz = other.read("story.txt.gz");
    ScriptedServer wrongFile(serve({{"/files/data/story.txt.gz", [&](ScriptedConnection& connection) {
        connection.send(okHead(wrongGz.size()) + wrongGz);
    }}}));
    expectFailure(wrongFile, "Could not download data/story.txt.gz", "\t\tFailed to get data/story.txt.gz. Reason: 5");
    // Never decompressed; the next run sees the download's digest and fetches it again.
    EXPECT_FALSE(game.exists("data/story.txt"));

    // An error page sent as a success is no manifest.
    ScriptedServer wrongManifest(serve({{kManifestTarget, [&](ScriptedConnection& connection) {
        const std::string page = "<html><body>Welcome!</body></html>\n";
        connection.send(okHead(page.size()) + page);
    }}}));
    expectFailure(wrongManifest, "Invalid manifest format", "\tError while parsing manifest");
    expectRepairedByGoodServer();
}

// Runs that fail part-way: a missing file, a wrong one, a stall, a bad line further down, a
// damaged download for a presence line, an old manifest copy that cannot be removed. None may
// delete or half-write a file of the player's: each stale file is afterwards its old copy or
// the release's, never missing or cut, and the file that failed is its old copy.
TEST_F(HostileServer, AFailedRunLosesNoFileOfThePlayers) {
    const std::string level = release["data/level.pak"];
    std::string damagedGz = gzippedZeros(1 << 20);
    damagedGz.resize(damagedGz.size() / 2);
    const struct {
        const char* name;
        std::map<std::string, ConnectionScript> spoiled;
        std::string failure, logLine;
        // The file whose old copy must stay (empty: both stale files must stay old).
        std::string failedFile;
        Environment environment;
    } cases[] = {
        {"a missing file",
         {{"/files/data/story.txt.gz",
           [](ScriptedConnection& c) { c.send("HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n"); }}},
         "Could not download data/story.txt.gz", "\t\tFailed to get data/story.txt.gz. Reason: 3", "data/story.txt", {}},
        {"a wrong file",
         {{"/files/data/level.pak",
           [&](ScriptedConnection& c) { c.send(okHead(level.size()) + patternBytes(level.size(), 99)); }}},
         "Could not download data/level.pak", "\t\tFailed to get data/level.pak. Reason: 5", "data/level.pak", {}},
        {"a stall half-way",
         {{"/files/data/level.pak",
           [&](ScriptedConnection& c) {
               c.send(okHead(level.size()) + level.substr(0, level.size() / 2));
               c.hold();
           }}},
         "Could not download data/level.pak", "\t\tFailed to get data/level.pak. Reason: 3", "data/level.pak",
         {{"KIB_STALL_TIMEOUT_MS", "1000"}}},
        // A byte now and then: too little to call a stall, and yet it would never end.
        {"a drip",
         {{"/files/data/level.pak",
           [&](ScriptedConnection& c) {
               if (!c.send(okHead(level.size()))) return;
               for (int i = 0; i < 600 && c.send("x"); ++i) c.pause(100);
           }}},
         "Could not download data/level.pak", "\t\tdata/level.pak: less than 1024 bytes in 500 ms after ",
         "data/level.pak", {{"KIB_STALL_TIMEOUT_MS", "500"}, {"KIB_RETRY_DELAY_MS", "50"}}},
        {"a bad line at the end",
         {{kManifestTarget,
           [&](ScriptedConnection& c) {
               const std::string text = manifest(c.url("/files/")) + "manifest.txt/x\n";
               c.send(okHead(text.size()) + text);
           }}},
         "Invalid manifest format", "\tLine 6 refused: manifest.txt/x: ", "", {}},
        {"a damaged download for a presence line",
         {{kManifestTarget,
           [&](ScriptedConnection& c) {
               const std::string text = manifest(c.url("/files/")) + "data/notes.txt.gz\n";
               c.send(okHead(text.size()) + text);
           }},
          {"/files/data/notes.txt.gz", [&](ScriptedConnection& c) { c.send(okHead(damagedGz.size()) + damagedGz); }}},
         "Could not decompress data/notes.txt.gz", "\t\t\tFailed to decompress data/notes.txt.gz", "data/notes.txt", {}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        std::filesystem::remove(game.file("game-started"));
        game.write("data/level.pak", "the player's old level\n");
        game.write("data/story.txt", "the player's old story\n");
        const Files before = game.files();
        ScriptedServer hostile(serve(test.spoiled));
        expectFailure(hostile, test.failure, test.logLine, test.environment);
        for (const char* path : {"data/level.pak", "data/story.txt"}) {
            const std::string now = game.read(path);
            const bool failed = test.failedFile.empty() || test.failedFile == path;
            EXPECT_TRUE(now == before.at(path) || (!failed && now == release[path])) << path;
        }
        // Unpacked from a download nothing vouches for: neither it nor what it gave stays.
        EXPECT_FALSE(game.exists("data/notes.txt"));
        EXPECT_FALSE(game.exists("data/notes.txt.gz"));
        if (test.failedFile.empty()) {
            EXPECT_EQ(hostile.targets(), Lines{kManifestTarget});
        }
        expectRepairedByGoodServer();
    }
}

TEST_F(HostileServer, AnOldManifestCopyThatStaysIsNeverParsed) {
    // A folder where the copy goes cannot be removed, just as a read-only or immutable file.
    game.write("manifest.txt/inside", "in the way\n");
    game.write("data/level.pak", "the player's old level\n");
    expectFailedRun(game, "Could not get manifest", "Could not remove the old manifest.txt");
    EXPECT_EQ(game.read("data/level.pak"), "the player's old level\n");
    EXPECT_EQ(good.requests(), Lines{});
    std::filesystem::remove_all(game.file("manifest.txt"));
    expectRepairedByGoodServer();
}

// Answers at the edges of HTTP/1.x: interim answers, line feeds alone and a chunked body are
// read as meant; a transfer coding the updater cannot undo is refused rather than stored.
TEST_F(HostileServer, AnswersAtTheEdgesOfHttpAreReadOrRefused) {
    const std::string level = release["data/level.pak"];
    ScriptedServer interim(serve({{"/files/data/level.pak", [&](ScriptedConnection& c) {
        c.send("HTTP/1.1 100 Continue\r\n\r\n" + okHead(level.size()) + level);
    }}}));
    ScriptedServer lineFeeds(serve({{"/files/data/level.pak", [&](ScriptedConnection& c) {
        c.send("HTTP/1.0 200 OK\nContent-Length: " + std::to_string(level.size()) + "\n\n" + level);
    }}}));
    // Chunks of every size, one with an extension, and a trailer behind the last.
    ScriptedServer chunks(serve({{"/files/data/level.pak", [&](ScriptedConnection& c) {
        std::string body;
        for (size_t at = 0, size = 1; at < level.size(); at += size, size = size * 3 + 1) {
            const std::string piece = level.substr(at, size);
            char line[32];
            std::snprintf(line, sizeof line, at == 0 ? "%zx;kind=first\r\n" : "%zX\r\n", piece.size());
            body += line + piece + "\r\n";
        }
        c.send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + body + "0\r\nX-Sum: none\r\n\r\n");
    }}}));
    for (const ScriptedServer* server : {&interim, &lineFeeds, &chunks}) {
        ASSERT_TRUE(server->started());
        game.write("data/level.pak", "the player's old level\n");
        std::filesystem::remove(game.file("game-started"));
        game.write("assets/updater/update.cfg", server->url("/release/manifest") + "\n");
        expectFinishedRun(game, release);
    }

    std::filesystem::remove(game.file("data/settings.ini"));
    std::filesystem::remove(game.file("game-started"));
    ScriptedServer compressed(serve({{"/files/data/settings.ini", [](ScriptedConnection& c) {
        c.send("HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n9\r\nvolume=7\n\r\n0\r\n\r\n");
    }}}));
    expectFailure(compressed, "Could not download data/settings.ini",
                  "\t\tdata/settings.ini: unsupported Transfer-Encoding: gzip, chunked");
    EXPECT_FALSE(game.exists("data/settings.ini"));
    expectRepairedByGoodServer();
}

// Players post their logs when they ask for help: a password in an address never reaches one,
// whether it is the configured address, the manifest's master line or the signature's, and
// whether the address can be read or not.
TEST_F(HostileServer, NoPasswordReachesTheLog) {
    const std::string secret = "S3cretPass";
    auto withSecret = [&](const std::string& url) { return "http://player:" + secret + "@" + url.substr(7); };
    auto expectMasked = [&](const UpdaterRun& run, const std::string& line) {
        for (const std::string& logged : run.log) EXPECT_EQ(logged.find(secret), std::string::npos) << logged;
        EXPECT_TRUE(std::any_of(run.log.begin(), run.log.end(),
                                [&](const std::string& logged) { return logged.compare(0, line.size(), line) == 0; }))
            << line;
    };
    ScriptedServer master(serve({{kManifestTarget, [&](ScriptedConnection& c) {
        const std::string text = manifest(withSecret(c.url("/files/")));
        c.send(okHead(text.size()) + text);
    }}}));
    ASSERT_TRUE(master.started());
    game.write("assets/updater/update.cfg", master.url("/release/manifest") + "\n");
    const UpdaterRun first = game.run();
    expectMasked(first, "\tMaster set to http://***@127.0.0.1:");
    // The game that run started may leave its mark a moment after the updater ended.
    if (first.process.err.find("Oh no!") == std::string::npos) {
        EXPECT_TRUE(game.gameStarted());
    }

    // No path: the address cannot be read, and is logged all the same. The game the first run
    // started leaves its mark first, so that it is not taken for the next run's.
    EXPECT_TRUE(game.gameStarted());
    std::filesystem::remove(game.file("game-started"));
    game.write("assets/updater/update.cfg", withSecret(master.url("")) + "\n");
    expectMasked(expectFailedRun(game, "Could not get manifest", "Manifest: not a web address: "),
                 "Manifest: not a web address: http://***@127.0.0.1:");

    SigningKey key;
    game.write("assets/updater/update.pub", key.publicKey());
    game.write("assets/updater/update.cfg", withSecret(good.manifestUrl()) + "\n");
    expectMasked(expectFailedRun(game, "Could not verify manifest", "Manifest signature missing: "),
                 "Manifest signature missing: http://***@127.0.0.1:");
}

TEST_F(HostileServer, DigestsInCapitalsMatch) {
    // As PowerShell's Get-FileHash prints them: the run fetches the files once, then finds
    // them up to date.
    std::string upper = good.get("release/manifest");
    for (size_t at = upper.find('\n'); at < upper.size(); ++at) upper[at] = char(std::toupper(upper[at]));
    std::string lowerPaths;
    // Only the digests: paths keep their case.
    for (const std::string& line : splitLines(upper)) {
        const size_t colon = line.find(':');
        std::string path = colon == std::string::npos ? line : line.substr(0, colon);
        for (char& c : path) c = char(std::tolower(c));
        lowerPaths += path + (colon == std::string::npos ? "" : line.substr(colon)) + "\n";
    }
    good.put("release/manifest", lowerPaths);
    expectRepairedByGoodServer();
    const size_t before = good.requests().size();
    expectRepairedByGoodServer();
    EXPECT_EQ(good.requests(before), Lines{"GET /release/manifest?ver=0.3.0 HTTP/1.1"});
}

TEST(GzipBomb, IsRefusedAndLeavesNothingUnpacked) {
    // 256 MiB of zeros behind a ".gz" line, a thousand times smaller on the wire: more than
    // any game file unpacks to. The manifest even vouches for it.
    constexpr size_t kSize = size_t(256) << 20;
    const std::string bomb = gzippedZeros(kSize);
    ASSERT_LT(bomb.size(), size_t(1) << 20);
    const std::string zerosMd5 = md5sumOf("head -c " + std::to_string(kSize) + " /dev/zero");
    const std::string bombMd5 = md5OfBuffer(bomb.data(), int32_t(bomb.size()));
    ScriptedServer server([&](ScriptedConnection& connection) {
        if (connection.target() == kManifestTarget) {
            const std::string text =
                "master:" + connection.url("/") + "\ndata/zeros.bin.gz:" + zerosMd5 + "<" + bombMd5 + "\n";
            connection.send(okHead(text.size()) + text);
        } else if (connection.target() == "/data/zeros.bin.gz") {
            connection.send(okHead(bomb.size()) + bomb);
        }
    });
    ASSERT_TRUE(server.started());
    GameFolder game(server.url("/release/manifest"));
    game.installGame();
    game.write("data/zeros.bin", "the player's old copy\n");

    const UpdaterRun run = expectFailedRun(game, "Could not decompress data/zeros.bin.gz",
                                           "\t\t\tdata/zeros.bin.gz unpacks to more than 67108864 bytes");
    EXPECT_TRUE(contains(run.log, "\t\t\tFailed to decompress data/zeros.bin.gz"));
    EXPECT_EQ(game.read("data/zeros.bin"), "the player's old copy\n");
    EXPECT_FALSE(game.exists("data/zeros.bin.unpacking"));
}

TEST(ThousandsOfManifestLines, OnlyTheStaleAndMissingFilesAreFetched) {
    UpdateServer server;
    ASSERT_TRUE(server.started());
    GameFolder game(server.manifestUrl());
    Files release = {{"kib.exe", kGameScript}};
    server.put("files/kib.exe", kGameScript);
    game.installGame();
    std::string manifest = "master:" + server.url("files/") + "\nkib.exe:" + server.md5("files/kib.exe") + "\n";
    size_t expectedFetches = 0;
    for (int i = 0; i < 5000; ++i) {
        const std::string path = "data/" + std::to_string(i % 50) + "/file" + std::to_string(i) + ".dat";
        const std::string content = "file " + std::to_string(i) + " of the release\n";
        release[path] = content;
        server.put("files/" + path, content);
        // Every tenth listed for presence only; every seventeenth stale, every nineteenth missing.
        const bool presence = i % 10 == 0;
        manifest += presence ? path + "\n" : path + ":" + md5OfBuffer(content.data(), int32_t(content.size())) + "\n";
        if (i % 19 == 0) {
            ++expectedFetches;
        } else if (i % 17 == 0 && !presence) {
            game.write(path, "an older " + content);
            ++expectedFetches;
        } else {
            game.write(path, content);
        }
    }
    server.put("release/manifest", manifest);

    const UpdaterRun run = game.run(120000);
    EXPECT_EQ(run.process.err, box("Done!", "It's a miracle! The update was a success!"));
    ASSERT_TRUE(game.gameStarted());
    EXPECT_EQ(game.files(), game.finishedFolder(release));
    EXPECT_EQ(server.requests().size(), 1 + expectedFetches);

    std::filesystem::remove(game.file("game-started"));
    const size_t before = server.requests().size();
    const UpdaterRun again = game.run(120000);
    EXPECT_EQ(again.process.err, box("Up to date!", "Everything is up to date!"));
    EXPECT_EQ(server.requests(before), Lines{"GET /release/manifest?ver=0.3.0 HTTP/1.1"});
}

TEST(TwoUpdaters, TheSecondLeavesTheFolderToTheFirst) {
    // The first updater waits for its manifest for as long as the test needs.
    std::atomic<bool> asked{false};
    ScriptedServer holding([&](ScriptedConnection& connection) {
        asked = true;
        connection.hold();
    });
    ASSERT_TRUE(holding.started());
    GameFolder game(holding.url("/release/manifest"));
    game.installGame();
    std::unique_ptr<ChildProcess> first = game.start();
    ASSERT_TRUE(waitUntil([&] { return asked.load(); }, 20000));
    const Files before = game.files();

    // A double click: the second one says so, exits 0 and touches nothing, its own log included.
    const UpdaterRun second = game.run(30000);
    EXPECT_EQ(second.process.exitCode, 0);
    EXPECT_EQ(second.process.err, box("Already running!", "Another kib Updater is already updating this folder."));
    EXPECT_EQ(differences(game.files(), before), Lines{});
    EXPECT_FALSE(game.gameStarted(300));
    first->sendSignal(SIGKILL);
    first->wait(10000);
}

// HTTP/2 peers that break the protocol in the middle of an answer, or flood, or stall: each run
// ends within its time as a failure that says why, or finishes after a retry (on HTTP/1.1 once
// the server broke HTTP/2), and no file of the game ever holds wrong bytes.
TEST_F(HostileServer, Http2PeersThatMisbehaveAreRefusedOrRetried) {
    TestCa authority;
    ASSERT_TRUE(authority.made()) << authority.error();
    NginxTls tls = authority.issue("localhost");
    tls.http2 = true;
    const std::string level = release["data/level.pak"];
    const std::string half = level.substr(0, 150000);
    auto head = [](ScriptedConnection& c, HeaderFields fields, uint8_t flags = NGHTTP2_FLAG_END_HEADERS) {
        return c.sendFrame(NGHTTP2_HEADERS, flags, c.stream(), headerBlock(fields));
    };
    auto data = [](ScriptedConnection& c, const std::string& bytes, bool end = false) {
        for (size_t at = 0; at < bytes.size(); at += 16384)
            if (!c.sendFrame(NGHTTP2_DATA, end && at + 16384 >= bytes.size() ? NGHTTP2_FLAG_END_STREAM : 0, c.stream(),
                             bytes.substr(at, 16384)))
                return false;
        return true;
    };
    const HeaderFields ok = {{":status", "200"}, {"content-length", std::to_string(level.size())}};
    auto u32 = [](uint32_t value) {
        return std::string{char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
    };
    // Sends `frame` until the client goes or the bound is reached; the count it got out.
    auto flood = [](const std::function<bool()>& frame) {
        size_t sent = 0;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < until && frame()) ++sent;
        return sent;
    };
    std::atomic<int> levelAnswers{0};
    const struct {
        const char* name;
        std::function<void(ScriptedConnection&)> spoil;
        // A line the log must hold (its start).
        std::string why;
        // The run finishes (after a retry, or because nothing was wrong) rather than failing.
        bool finishes;
        // The file came over HTTP/1.1 in the end: the server broke HTTP/2, and was not asked
        // over it again.
        bool overHttp1 = false;
    } cases[] = {
        {"RST_STREAM in the body",
         [&](ScriptedConnection& c) {
             head(c, ok), data(c, half), c.sendFrame(NGHTTP2_RST_STREAM, 0, c.stream(), u32(NGHTTP2_INTERNAL_ERROR));
         },
         "\t\tdata/level.pak: the server reset the stream (INTERNAL_ERROR) after "
         "150000 of 300000 bytes; retry 3 of 3", false},
        {"RST_STREAM in the body of the first answer only",
         [&](ScriptedConnection& c) {
             if (levelAnswers++ > 0) return void(c.answerHttp2(c.stream(), "200", level));
             head(c, ok), data(c, half), c.sendFrame(NGHTTP2_RST_STREAM, 0, c.stream(), u32(NGHTTP2_CANCEL));
         },
         "\t\tdata/level.pak: the server reset the stream (CANCEL) after 150000 of 300000 bytes; retry 1 of 3", true},
        {"GOAWAY below the stream in the body",
         [&](ScriptedConnection& c) {
             head(c, ok), data(c, half), c.sendFrame(NGHTTP2_GOAWAY, 0, 0, u32(0) + u32(NGHTTP2_NO_ERROR));
         },
         "\t\tdata/level.pak: the server went away before the end of the stream (GOAWAY) after 150000 of "
         "300000 bytes; retry 3 of 3", false},
        {"GOAWAY with an error in the body",
         [&](ScriptedConnection& c) {
             head(c, ok), data(c, half);
             c.sendFrame(NGHTTP2_GOAWAY, 0, 0, u32(c.stream()) + u32(NGHTTP2_ENHANCE_YOUR_CALM) + "calm\r\ndown");
         },
         "\t\tdata/level.pak: HTTP/2 broken by the server after 150000 of 300000 bytes: GOAWAY with "
         "ENHANCE_YOUR_CALM: calmdown",
         true, true},
        {"GOAWAY above the stream in the body, then the rest",
         [&](ScriptedConnection& c) {
             head(c, ok), data(c, half), c.sendFrame(NGHTTP2_GOAWAY, 0, 0, u32(c.stream() + 2) + u32(NGHTTP2_NO_ERROR));
             data(c, level.substr(half.size()), true);
         },
         "\t\tFinished data/level.pak", true},
        {"GOAWAY above the stream in the body, then the end of the connection",
         [&](ScriptedConnection& c) {
             head(c, ok), data(c, half), c.sendFrame(NGHTTP2_GOAWAY, 0, 0, u32(c.stream()) + u32(NGHTTP2_NO_ERROR));
             c.reset();
         },
         "\t\tdata/level.pak: the connection was reset after ", false},
        {"more bytes than the content-length",
         [&](ScriptedConnection& c) { head(c, ok), data(c, level + "and more", true); },
         "\t\tdata/level.pak: the answer broke HTTP/2 (PROTOCOL_ERROR) after "
         "294912 of 300000 bytes; retry 3 of 3", false},
        {"fewer bytes, then END_STREAM", [&](ScriptedConnection& c) { head(c, ok), data(c, half, true); },
         "\t\tdata/level.pak: the answer broke HTTP/2 (PROTOCOL_ERROR) after "
         "150000 of 300000 bytes; retry 3 of 3", false},
        {"a frame of an unknown type",
         [&](ScriptedConnection& c) {
             head(c, ok), data(c, half), c.sendFrame(0xfa, 0, c.stream(), "what is this");
             data(c, level.substr(half.size()), true);
         },
         "\t\tFinished data/level.pak", true},
        {"DATA on stream 0",
         [&](ScriptedConnection& c) { head(c, ok), data(c, half), c.sendFrame(NGHTTP2_DATA, 0, 0, "stray"); },
         "\t\tdata/level.pak: HTTP/2 broken by the server after 150000 of 300000 bytes: PROTOCOL_ERROR (DATA: "
         "stream_id == 0)",
         true, true},
        {"HEADERS without :status",
         [&](ScriptedConnection& c) {
             head(c, {{"content-length", std::to_string(level.size())}}), data(c, level, true);
         },
         "\t\tdata/level.pak: the answer broke HTTP/2 (Violation in HTTP messaging rule) after 0 bytes of the "
         "response header; retry 3 of 3", false},
        {"trailers with :status",
         [&](ScriptedConnection& c) {
             head(c, ok), data(c, level);
             head(c, {{":status", "200"}}, NGHTTP2_FLAG_END_HEADERS | NGHTTP2_FLAG_END_STREAM);
         },
         "\t\tdata/level.pak: the answer broke HTTP/2 (Invalid HTTP header field was received) after 300000 of "
         "300000 bytes; retry 3 of 3", false},
        {"a stall after the settings", [](ScriptedConnection& c) { c.hold(); },
         "\t\tdata/level.pak: no data for 500 ms after 0 bytes of the response header; retry 3 of 3", false},
        {"a CONTINUATION flood",
         [&](ScriptedConnection& c) {
             head(c, {{":status", "200"}}, 0);
             int i = 0;
             flood([&] {
                 return c.sendFrame(NGHTTP2_CONTINUATION, 0, c.stream(),
                                    headerBlock({{"x-more-" + std::to_string(i++), std::string(4000, 'c')}}));
             });
         },
         "\t\tdata/level.pak: HTTP/2 broken by the server: Too many CONTINUATION frames", true, true},
        {"a head past 64 KiB in CONTINUATION frames",
         [&](ScriptedConnection& c) {
             head(c, {{":status", "200"}}, 0);
             for (int i = 0; i < 7; ++i)
                 c.sendFrame(NGHTTP2_CONTINUATION, i == 6 ? NGHTTP2_FLAG_END_HEADERS : 0, c.stream(),
                             headerBlock({{"x-more-" + std::to_string(i), std::string(12000, 'c')}}));
             data(c, level, true);
         },
         "\t\tdata/level.pak: a response header larger than 64 KiB", false},
        {"interim heads without end",
         [&](ScriptedConnection& c) { flood([&] { return head(c, {{":status", "100"}}); }); },
         "\t\tdata/level.pak: a response header larger than 64 KiB", false},
        {"a drip of DATA",
         [&](ScriptedConnection& c) {
             head(c, ok);
             flood([&] { return c.sendFrame(NGHTTP2_DATA, 0, c.stream(), "x") && (c.pause(100), true); });
         },
         // Five or six bytes arrive in each 500 ms, as the drip and the clock fall.
         "\t\tdata/level.pak: less than 1024 bytes in 500 ms after ", false},
        {"a WINDOW_UPDATE flood",
         [&](ScriptedConnection& c) {
             head(c, ok), data(c, half);
             flood([&] { return c.sendFrame(NGHTTP2_WINDOW_UPDATE, 0, 0, u32(1)); });
         },
         "\t\tdata/level.pak: no data for 500 ms after 150000 of 300000 bytes; retry 1 of 3", false},
        {"REFUSED_STREAM for every request",
         [&](ScriptedConnection& c) { c.sendFrame(NGHTTP2_RST_STREAM, 0, c.stream(), u32(NGHTTP2_REFUSED_STREAM)); },
         "\t\tdata/level.pak: the server refused the request; retry 3 of 3", false},
    };
    const Environment environment = {{"SSL_CERT_FILE", authority.certificateFile()},
                                      {"KIB_STALL_TIMEOUT_MS", "500"},
                                      {"KIB_RETRY_DELAY_MS", "50"}};
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        std::filesystem::remove(game.file("game-started"));
        std::filesystem::remove(game.file("data/level.pak"));
        for (const auto& [path, content] : game.files())
            if (path.size() > 5 && path.substr(path.size() - 5) == ".part") std::filesystem::remove(game.file(path));
        http1Answers = 0;
        ScriptedServer hostile(serveHttp2({{"/files/data/level.pak", test.spoil}}), tls);
        ASSERT_TRUE(hostile.started());
        game.write("assets/updater/update.cfg", hostile.url("/release/manifest") + "\n");
        const auto start = std::chrono::steady_clock::now();
        if (test.finishes) {
            expectFinishedRun(game, release, environment);
        } else {
            expectFailure(hostile, "Could not download data/level.pak", "\t\tFailed to get data/level.pak. Reason: 3",
                          environment);
            EXPECT_FALSE(game.exists("data/level.pak"));
        }
        const std::vector<std::string> log = game.log();
        EXPECT_TRUE(std::any_of(log.begin(), log.end(),
                                [&](const std::string& line) { return line.rfind(test.why, 0) == 0; }))
            << ::testing::PrintToString(log);
        EXPECT_EQ(http1Answers > 0, test.overHttp1);
        // Within a few stall time-outs, never the stall of a session waiting for what cannot come.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
    }
}
