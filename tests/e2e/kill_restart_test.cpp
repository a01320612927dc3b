// The real updater killed (SIGKILL) at random moments of an update of a few hundred files and
// started again: first with the server down, which must leave the folder wholly the release it
// held or wholly the new one, then with the server up, which must leave it exactly as the
// manifest says. The number of kills is KIB_KILL_COUNT (a handful in the suite;
// scripts/kill-test.sh runs forty), their moments come from KIB_KILL_SEED (printed, so that a
// failure can be replayed).
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <random>
#include <thread>

#include "e2e/update_harness.h"
#include "update/own_files.h"
#include "update/staging.h"

namespace {

using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

constexpr int kSuiteKills = 6;

std::string text(size_t size, unsigned seed) {
    std::string words;
    const std::string pattern = patternBytes(64, seed);
    while (words.size() < size)
        words += "line " + std::to_string(words.size() % 9973) + " of the kib's long story " +
                 std::to_string(uint8_t(pattern[words.size() % 64])) + "\n";
    words.resize(size);
    return words;
}

// Where a killed run was, read from its log.
std::string momentOf(const Lines& log, bool exitedFirst) {
    if (exitedFirst) return "after the end";
    if (std::find(log.begin(), log.end(), "Manifest obtained. Parsing.") == log.end()) return "fetching the manifest";
    if (log.back().compare(0, 17, "\t\t\tDecompressing ") == 0) return "decompressing";
    if (std::any_of(log.begin(), log.end(), [](const std::string& line) { return line.rfind("Switching", 0) == 0; }))
        return "switching";
    return "comparing or downloading";
}

// A release of 300 files: digest lines (some of a megabyte, so that kills land inside them),
// ".gz" lines (three of which unpack to 8 MB, so that kills land while unpacking) and presence
// lines (whose cut copies nothing else would catch). Transfers are slowed, and the manifest
// most of all, so that kills also land while it arrives.
class KillAndRestart : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.started());
        for (int i = 0; i < 200; ++i) {
            const std::string path = "data/d" + std::to_string(i % 10) + "/file" + std::to_string(i) + ".bin";
            release[path] = patternBytes(i % 20 == 0 ? 1000000 : 1000 + 97 * size_t(i), unsigned(i));
        }
        for (int i = 0; i < 60; ++i) {
            const std::string path = "text/t" + std::to_string(i % 6) + "/story" + std::to_string(i) + ".txt";
            release[path] = text(i < 3 ? 8 << 20 : 2000 + 503 * size_t(i), unsigned(1000 + i));
            listings[path] = Listing::Compressed;
        }
        for (int i = 0; i < 39; ++i) {
            const std::string path = "settings/s" + std::to_string(i) + ".ini";
            release[path] = patternBytes(i % 5 == 0 ? 400000 : 300 + 11 * size_t(i), unsigned(2000 + i));
            listings[path] = Listing::Presence;
        }
        release["kib.exe"] = kGameScript;
        server.publish(release, listings);
    }

    // The folder a player starts from: the configuration, a few files right, a few stale (but
    // none listed for presence only, which any copy satisfies).
    void resetFolder() const {
        for (const auto& entry : std::filesystem::directory_iterator(game.path()))
            std::filesystem::remove_all(entry.path());
        game.write("assets/updater/update.cfg", server.manifestUrl() + "\n");
        int i = 0;
        for (const auto& [path, content] : release) {
            if (i % 7 == 0) game.write(path, content);
            if (i % 11 == 0 && !listings.count(path)) game.write(path, "an older " + path);
            ++i;
        }
    }

    // The folder's copies of the release's files, those it has.
    Files releaseCopies() const {
        Files found;
        for (const auto& entry : release)
            if (game.exists(entry.first)) found[entry.first] = game.read(entry.first);
        return found;
    }

    UpdateServer server{"    limit_rate 512k;\n    location /release/ { limit_rate 14k; }"};
    GameFolder game{server.manifestUrl()};
    Files release;
    std::map<std::string, Listing> listings;
};

}  // namespace

TEST_F(KillAndRestart, EveryRestartLeavesTheFolderAsTheManifestSays) {
    const int kills = numberFromEnvironment("KIB_KILL_COUNT", kSuiteKills);
    const unsigned seed = unsigned(numberFromEnvironment("KIB_KILL_SEED", int(std::random_device()() % 100000)));
    std::cout << "kills: " << kills << ", seed: " << seed << std::endl;
    std::mt19937 random(seed);

    // One uninterrupted run measures how long an update takes in this build.
    resetFolder();
    const auto calibrationStart = Clock::now();
    expectFinishedRun(game, release);
    const auto runTime = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - calibrationStart);
    std::cout << "an uninterrupted run: " << runTime.count() << " ms" << std::endl;

    std::map<std::string, int> moments;
    int cutFiles = 0;
    for (int kill = 0; kill < kills && !HasFailure(); ++kill) {
        SCOPED_TRACE("kill " + std::to_string(kill + 1));
        resetFolder();
        const Files before = releaseCopies();
        const auto delay = std::chrono::milliseconds(
            std::uniform_int_distribution<long>(0, long(runTime.count()))(random));
        std::unique_ptr<ChildProcess> updater = game.start();
        std::this_thread::sleep_for(delay);
        updater->sendSignal(SIGKILL);
        const ProcessResult killed = updater->wait(10000);
        const std::string moment = momentOf(game.log(), killed.signal != SIGKILL);
        ++moments[moment];
        for (const auto& [path, content] : game.files())
            cutFiles += path.size() > 5 && path.compare(path.size() - 5, 5, ".part") == 0;
        std::cout << "kill " << kill + 1 << " after " << delay.count() << " ms, " << moment << std::endl;

        // Nothing answers now: the run can only finish what the killed one began.
        game.write("assets/updater/update.cfg", "http://127.0.0.1:1/release/manifest\n");
        const UpdaterRun offline = game.run();
        EXPECT_NE(offline.process.err.find("Could not get manifest"), std::string::npos) << offline.process.err;
        const Files now = releaseCopies();
        EXPECT_TRUE(now == before || now == release) << differences(now, release).size() << " files differ";
        game.write("assets/updater/update.cfg", server.manifestUrl() + "\n");

        std::filesystem::remove(game.file("game-started"));
        expectFinishedRun(game, release);
    }
    std::cout << "partial downloads left by the kills: " << cutFiles << std::endl;
    for (const auto& [moment, count] : moments) std::cout << moment << ": " << count << std::endl;
}

TEST(KilledWhileFinishing, TheNextRunRemovesTheDownloadThatWasUnpacked) {
    // A kill after a ".gz" was unpacked but before it was deleted leaves both; the file is
    // right, so nothing else would ever remove the download.
    UpdateServer server;
    ASSERT_TRUE(server.started());
    const Files release = {{"kib.exe", kGameScript}, {"data/story.txt", text(50000, 7)}};
    server.publish(release, {{"data/story.txt", Listing::Compressed}});
    GameFolder game(server.manifestUrl());
    game.installGame();
    game.write("data/story.txt", release.at("data/story.txt"));
    game.write("data/story.txt.gz", server.get("files/data/story.txt.gz"));

    const UpdaterRun run = game.run();
    EXPECT_EQ(run.process.err, box("Up to date!", "Everything is up to date!"));
    ASSERT_TRUE(game.gameStarted());
    EXPECT_EQ(differences(game.files(), game.finishedFolder(release)), Lines{});
}

namespace {

// The body bytes nginx sent and the Range asked for, from one access log line (the "kib"
// format: combined, then the quoted Range).
struct Sent {
    std::string request;
    int status = 0;
    long long bytes = -1;
    std::string range;
};

Sent sentBy(const std::string& line) {
    Sent sent;
    const size_t open = line.find('"');
    const size_t close = line.find('"', open + 1);
    sent.request = line.substr(open + 1, close - open - 1);
    std::sscanf(line.c_str() + close + 1, " %d %lld", &sent.status, &sent.bytes);
    const size_t rangeClose = line.rfind('"');
    sent.range = line.substr(line.rfind('"', rangeClose - 1) + 1, rangeClose - line.rfind('"', rangeClose - 1) - 1);
    return sent;
}

std::vector<Sent> sentFor(const UpdateServer& server, const std::string& path, size_t fromLine) {
    std::vector<Sent> found;
    const Lines lines = server.accessLogLines();
    for (size_t i = fromLine; i < lines.size(); ++i) {
        const Sent sent = sentBy(lines[i]);
        if (sent.request.find(" /files/" + path + " ") != std::string::npos) found.push_back(sent);
    }
    return found;
}

long long fileSize(const std::string& path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    return error ? -1 : (long long)size;
}

}  // namespace

// Slow: a 48 MiB download cut by a kill, then resumed.
TEST(KilledMidDownload, TheNextRunTransfersOnlyWhatWasMissing) {
    constexpr long long kSize = 48ll << 20;
    UpdateServer server("    location /files/ { limit_rate 12m; }");
    ASSERT_TRUE(server.started());
    const Files release = {{"kib.exe", kGameScript}, {"data/big.bin", patternBytes(size_t(kSize), 48)}};
    server.publish(release);
    GameFolder game(server.manifestUrl());
    game.installGame();

    const unsigned seed = unsigned(numberFromEnvironment("KIB_KILL_SEED", int(std::random_device()() % 100000)));
    std::mt19937 random(seed);
    const long long cutAt = std::uniform_int_distribution<long long>(kSize / 10, kSize * 9 / 10)(random);
    std::cout << "seed: " << seed << ", kill once " << cutAt << " bytes have arrived" << std::endl;

    std::unique_ptr<ChildProcess> updater = game.start();
    const std::string part = game.file(stagedName("data/big.bin") + ".part");
    const bool reached = waitUntil([&] { return fileSize(part) >= cutAt; }, 60000);
    updater->sendSignal(SIGKILL);
    updater->wait(10000);
    ASSERT_TRUE(reached) << "the download never reached the cut: " << ::testing::PrintToString(game.log());
    const long long kept = fileSize(part);
    ASSERT_GT(kept, 0);
    ASSERT_LT(kept, kSize);
    // nginx logs a request when its connection ends, which the kill does at once.
    ASSERT_TRUE(waitUntil([&] { return !sentFor(server, "data/big.bin", 0).empty(); }, 5000));
    const size_t linesBefore = server.accessLogLines().size();

    expectFinishedRun(game, release);
    const std::vector<Sent> resumed = sentFor(server, "data/big.bin", linesBefore);
    ASSERT_EQ(resumed.size(), 1u) << ::testing::PrintToString(game.log());
    EXPECT_EQ(resumed[0].status, 206);
    EXPECT_EQ(resumed[0].range, "bytes=" + std::to_string(kept) + "-");
    EXPECT_EQ(resumed[0].bytes, kSize - kept);
    std::cout << "first run: " << kept << " bytes kept; second run: " << resumed[0].bytes << " bytes sent"
              << std::endl;
}

// A kill while the switch puts a release of two thousand files in place: the next start, with
// the server down, finishes it from its journal, so the folder holds the new release whole.
TEST(KilledWhileSwitching, TheNextStartFinishesTheSwitchWithoutTheNetwork) {
    UpdateServer server;
    ASSERT_TRUE(server.started());
    Files release = {{"kib.exe", kGameScript}};
    for (int i = 0; i < 2000; ++i) release["data/s" + std::to_string(i % 20) + "/f" + std::to_string(i)] = "file " + std::to_string(i);
    server.publish(release);
    GameFolder game(server.manifestUrl());
    game.installGame();
    for (int i = 0; i < 2000; i += 3) game.write("data/s" + std::to_string(i % 20) + "/f" + std::to_string(i), "old");

    std::unique_ptr<ChildProcess> updater = game.start();
    const bool switching = waitUntil([&] { return game.exists(kSwitchJournalPath); }, 60000);
    updater->sendSignal(SIGKILL);
    updater->wait(10000);
    ASSERT_TRUE(switching) << ::testing::PrintToString(game.log());
    // The journal, not the log: the log's last lines may not have reached the disk before a kill.
    const bool midway = game.exists(kSwitchJournalPath);
    std::cout << (midway ? "killed in the middle of the switch" : "the switch ended before the kill") << std::endl;

    game.write("assets/updater/update.cfg", "http://127.0.0.1:1/release/manifest\n");
    const UpdaterRun offline = game.run();
    EXPECT_NE(offline.process.err.find("Could not get manifest"), std::string::npos) << offline.process.err;
    if (midway) {
        EXPECT_EQ(offline.log.front(), "Finishing the switch to a new release that an earlier run began");
    }
    for (const auto& [path, content] : release) EXPECT_EQ(game.read(path), content) << path;
    EXPECT_FALSE(game.exists(kSwitchJournalPath));
}
