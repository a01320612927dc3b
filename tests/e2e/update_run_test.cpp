// Whole update runs of the real updater against a real nginx: a fresh install, a second run,
// repairs of a damaged folder, and a run killed in the middle of its downloads.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>
#include <utility>

#include "e2e/update_harness.h"

namespace {

using Files = std::map<std::string, std::string>;
using Lines = std::vector<std::string>;

const std::string kEmptyMd5 = "d41d8cd98f00b204e9800998ecf8427e";

// A release with every kind of manifest line, published the way a game maker would: files
// under two base addresses, real gzip output, md5sum digests, CR LF line ends and spaces.
class PublishedRelease : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.started());
        std::string story;
        while (story.size() < 60000) story += "Once upon a time the kib crossed the river. ";
        release = {
            {"kib.exe", kGameScript},
            {"data/levels/one.pak", patternBytes(300000, 11)},
            {"data/text/story.txt", story},
            {"data/readme.txt", "Read me first.\n"},
            {"empty.dat", ""},
            {"sounds/a.ogg", patternBytes(70000, 12)},
        };
        for (const auto& [path, content] : release)
            server.put((path == "sounds/a.ogg" ? "mirror/" : "release/files/") + path, content);
        server.gzip("release/files/data/levels/one.pak");
        server.gzip("release/files/data/text/story.txt");

        const std::string files = server.url("release/files/");
        const std::string mirror = server.url("mirror/");
        auto md5 = [&](const std::string& path) { return server.md5("release/files/" + path); };
        server.put("release/manifest",
                   "master: " + files + " \r\n"
                   "kib.exe : " + md5("kib.exe") + "\r\n"
                   "data/levels/one.pak.gz : " + md5("data/levels/one.pak") + " < " + md5("data/levels/one.pak.gz") + "\r\n"
                   "\r\n"
                   "data/text/story.txt.gz:" + md5("data/text/story.txt") + "<" + md5("data/text/story.txt.gz") + "\r\n"
                   "\tdata/readme.txt\r\n"
                   "empty.dat : " + kEmptyMd5 + "\r\n"
                   "master:" + mirror + "\r\n"
                   "sounds/a.ogg:" + server.md5("mirror/sounds/a.ogg") + "\r\n");
        // The lines of the comparison, the same in every run but for the verdicts.
        comparison = [this, files, mirror, md5](bool current) {
            auto digest = [&](const std::string& path, const std::string& hash) {
                return current ? "\t" + path + " (" + hash + ") up to date"
                               : "\t" + path + " Local hash does not match " + hash;
            };
            auto compressed = [&](const std::string& path) {
                return current ? "\t" + path + " (" + md5(path) + ") up to date"
                               : "\t" + path + " Local uncompressed hash () does not match " + md5(path);
            };
            return Lines{kUnsignedRunLine,
                         "Manifest obtained. Parsing.",
                         "\tMaster set to " + files,
                         digest("kib.exe", md5("kib.exe")),
                         compressed("data/levels/one.pak"),
                         compressed("data/text/story.txt"),
                         digest("empty.dat", kEmptyMd5),
                         "\tMaster set to " + mirror,
                         digest("sounds/a.ogg", server.md5("mirror/sounds/a.ogg"))};
        };
    }

    // The folder as the release says, with what the updater and the game add to it.
    Files expectedFolder() const { return game.finishedFolder(release); }

    UpdateServer server;
    GameFolder game{server.manifestUrl()};
    Files release;
    std::function<Lines(bool)> comparison;
};

// The download events come in the order the transfers end: each "Finished" line directly
// followed by its post-processing line, the pairs in any order. Then the switch puts the files in
// place, in the order `expected` gives (the manifest's).
void expectDownloadEvents(const Lines& log, size_t from, std::vector<std::pair<std::string, std::string>> expected) {
    Lines placed;
    for (const auto& event : expected) {
        const std::string path = event.first.substr(std::string("\t\tFinished ").size());
        placed.push_back(event.second.find("Decompressing") != std::string::npos ? path.substr(0, path.size() - 3) : path);
    }
    const Lines placing = switchLines(placed);
    ASSERT_EQ(log.size(), from + 2 * expected.size() + placing.size());
    std::vector<std::pair<std::string, std::string>> seen;
    const size_t switchAt = log.size() - placing.size();
    for (size_t i = from; i < switchAt; i += 2) seen.emplace_back(log[i], log[i + 1]);
    EXPECT_EQ(Lines(log.begin() + long(switchAt), log.end()), placing);
    std::sort(seen.begin(), seen.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(seen, expected);
}

std::pair<std::string, std::string> plainEvent(const std::string& path) {
    return {"\t\tFinished " + path, "\t\t\t" + path + " not compressed"};
}
std::pair<std::string, std::string> gzipEvent(const std::string& path) {
    return {"\t\tFinished " + path, "\t\t\tDecompressing " + path};
}

}  // namespace

TEST_F(PublishedRelease, FreshInstallThenUpToDate) {
    // A manifest copy left by some older run is never read in place of the fresh one.
    game.write("manifest.txt", "master:http://127.0.0.1:1/\nstale.txt\n");

    const UpdaterRun first = game.run();
    EXPECT_EQ(first.process.exitCode, 0);
    EXPECT_EQ(first.process.err, box("Done!", "It's a miracle! The update was a success!"));
    const Lines header = comparison(false);
    ASSERT_GE(first.log.size(), header.size());
    EXPECT_EQ(Lines(first.log.begin(), first.log.begin() + long(header.size())), header);
    expectDownloadEvents(first.log, header.size(),
                         {plainEvent("kib.exe"), gzipEvent("data/levels/one.pak.gz"),
                          gzipEvent("data/text/story.txt.gz"), plainEvent("data/readme.txt"),
                          plainEvent("empty.dat"), plainEvent("sounds/a.ogg")});
    // The downloaded kib.exe was made executable and started; its chatter is not in our log.
    ASSERT_TRUE(game.gameStarted());
    EXPECT_EQ(game.files(), expectedFolder());

    const size_t requestsBefore = server.accessLogLines().size();
    std::remove(game.file("game-started").c_str());
    const UpdaterRun second = game.run();
    EXPECT_EQ(second.process.exitCode, 0);
    EXPECT_EQ(second.process.err, box("Up to date!", "Everything is up to date!"));
    EXPECT_EQ(second.log, comparison(true));
    ASSERT_TRUE(game.gameStarted());
    EXPECT_EQ(game.files(), expectedFolder());
    // Only the manifest was asked for, in HTTP/1.1, by the updater's own name.
    const Lines access = server.accessLogLines();
    ASSERT_EQ(access.size(), requestsBefore + 1);
    EXPECT_EQ(server.requests(requestsBefore), Lines{"GET /release/manifest?ver=0.3.0 HTTP/1.1"});
    EXPECT_NE(access.back().find("\"Wux\""), std::string::npos) << access.back();
}

TEST_F(PublishedRelease, RefetchesStaleMissingAndDamagedFilesOnly) {
    ASSERT_EQ(game.run().process.err, box("Done!", "It's a miracle! The update was a success!"));
    ASSERT_TRUE(game.gameStarted());
    std::remove(game.file("game-started").c_str());

    // An older game, a deleted readme, a level file cut short.
    game.write("kib.exe", "#!/bin/sh\necho an older game\n");
    std::remove(game.file("data/readme.txt").c_str());
    const std::string level = game.read("data/levels/one.pak");
    game.write("data/levels/one.pak", level.substr(0, level.size() / 2));
    const size_t requestsBefore = server.accessLogLines().size();

    const UpdaterRun repair = game.run();
    EXPECT_EQ(repair.process.exitCode, 0);
    EXPECT_EQ(repair.process.err, box("Done!", "It's a miracle! The update was a success!"));
    Lines header = comparison(true);
    header[3] = "\tkib.exe Local hash does not match " + server.md5("release/files/kib.exe");
    // The local digest is that of the half file, not the release's.
    {
        TempDir scratch;
        scratch.write("half", level.substr(0, level.size() / 2));
        const ProcessResult digest = runProcess({"md5sum", scratch.file("half")});
        header[4] = "\tdata/levels/one.pak Local uncompressed hash (" + digest.out.substr(0, 32) +
                    ") does not match " + server.md5("release/files/data/levels/one.pak");
    }
    ASSERT_GE(repair.log.size(), header.size());
    EXPECT_EQ(Lines(repair.log.begin(), repair.log.begin() + long(header.size())), header);
    expectDownloadEvents(repair.log, header.size(),
                         {plainEvent("kib.exe"), gzipEvent("data/levels/one.pak.gz"), plainEvent("data/readme.txt")});

    Lines requests = server.requests(requestsBefore);
    std::sort(requests.begin() + 1, requests.end());
    EXPECT_EQ(requests, (Lines{"GET /release/manifest?ver=0.3.0 HTTP/1.1",
                               "GET /release/files/data/levels/one.pak.gz HTTP/1.1",
                               "GET /release/files/data/readme.txt HTTP/1.1",
                               "GET /release/files/kib.exe HTTP/1.1"}));
    ASSERT_TRUE(game.gameStarted());
    EXPECT_EQ(game.files(), expectedFolder());
}

TEST_F(PublishedRelease, TheRecordOfVerifiedFilesCatchesHiddenChangesAndSurvivesDamage) {
    ASSERT_EQ(game.run().process.err, box("Done!", "It's a miracle! The update was a success!"));
    // The next record is written a second after the downloads, late enough to be trusted.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    const UpdaterRun second = game.run();
    EXPECT_EQ(second.process.err, box("Up to date!", "Everything is up to date!"));
    EXPECT_EQ(second.log, comparison(true));
    ASSERT_TRUE(game.exists("assets/updater/verified.txt"));

    struct Case {
        const char* name;
        std::function<void()> change;
        const char* verdict;
    };
    const std::string exe = game.file("kib.exe");
    const std::vector<Case> cases = {
        {"a byte of the game changed, its modification time put back",
         [&] {
             const auto modified = std::filesystem::last_write_time(exe);
             std::string content = game.read("kib.exe");
             content[content.size() - 2] ^= 1;
             game.write("kib.exe", content);
             std::filesystem::last_write_time(exe, modified);
         },
         "Done!"},
        {"the record damaged", [&] { game.write("assets/updater/verified.txt", "kib verified files 1\nend 00\n"); },
         "Up to date!"},
        {"the record gone", [&] { std::remove(game.file("assets/updater/verified.txt").c_str()); }, "Up to date!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        std::remove(game.file("game-started").c_str());
        c.change();
        const UpdaterRun run = game.run();
        EXPECT_EQ(run.process.err, std::string(c.verdict) == "Done!"
                                       ? box("Done!", "It's a miracle! The update was a success!")
                                       : box("Up to date!", "Everything is up to date!"));
        ASSERT_TRUE(game.gameStarted());
        EXPECT_EQ(game.files(), expectedFolder());
    }
}

TEST(InterruptedRun, TheNextRunRepairsTheFolder) {
    // Every transfer crawls, so the kill lands in the middle of them.
    UpdateServer server("    limit_rate 256k;");
    ASSERT_TRUE(server.started());
    Files release = {{"kib.exe", kGameScript}};
    std::string manifest = "master:" + server.url("files/") + "\n";
    // Listed without a digest, and first, so that it is among the transfers cut off: only an
    // atomic download keeps a cut copy from passing for it in the next run.
    release["data/presence.bin"] = patternBytes(768 * 1024, 98);
    server.put("files/data/presence.bin", release["data/presence.bin"]);
    manifest += "data/presence.bin\n";
    for (int i = 0; i < 4; ++i) {
        const std::string path = "data/part" + std::to_string(i) + ".bin";
        release[path] = patternBytes(768 * 1024, unsigned(100 + i));
        server.put("files/" + path, release[path]);
        manifest += path + ":" + server.md5("files/" + path) + "\n";
    }
    release["data/packed.bin"] = patternBytes(768 * 1024, 99);
    server.put("files/data/packed.bin", release["data/packed.bin"]);
    server.gzip("files/data/packed.bin");
    manifest += "data/packed.bin.gz:" + server.md5("files/data/packed.bin") + "<" +
                server.md5("files/data/packed.bin.gz") + "\n";
    server.put("files/kib.exe", kGameScript);
    manifest += "kib.exe:" + server.md5("files/kib.exe") + "\n";
    server.put("release/manifest", manifest);

    GameFolder game(server.manifestUrl());
    {
        std::unique_ptr<ChildProcess> updater = game.start();
        // Wait until the downloads are under way, then pull the plug.
        for (int i = 0; i < 500 && game.log().size() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        updater->sendSignal(SIGKILL);
        const ProcessResult killed = updater->wait(5000);
        ASSERT_EQ(killed.signal, SIGKILL) << "the run ended before it was interrupted";
    }
    ASSERT_FALSE(game.exists("game-started"));
    size_t finished = 0;
    for (const auto& [path, content] : release) finished += game.exists(path) && game.read(path) == content;
    ASSERT_LT(finished, release.size()) << "the run was killed too late to interrupt anything";

    const UpdaterRun again = game.run(120000);
    EXPECT_EQ(again.process.exitCode, 0);
    EXPECT_EQ(again.process.err, box("Done!", "It's a miracle! The update was a success!"));
    ASSERT_TRUE(game.gameStarted());
    EXPECT_EQ(game.files(), game.finishedFolder(release));
}

// The log is written in blocks: whichever way a run ends (finished, a failure box, SIGTERM in
// the middle of the comparison, which the window's library turns into a quit), every line it
// logged is in the file, whole and in order. Thousands of lines, so that they span blocks.
TEST(LogInBlocks, EveryLineIsThereInOrderHoweverTheRunEnds) {
    enum class End { Finished, FailureBox, Terminated };
    const struct {
        const char* name;
        End end;
    } cases[] = {{"finished", End::Finished}, {"failure box", End::FailureBox}, {"SIGTERM", End::Terminated}};
    UpdateServer server;
    ASSERT_TRUE(server.started());
    Files release = {{"kib.exe", kGameScript}};
    for (int i = 0; i < 2000; ++i) release["data/d" + std::to_string(i % 20) + "/file" + std::to_string(i)] = "file " + std::to_string(i);
    server.publish(release);
    const std::string published = server.get("release/manifest");
    Lines compared = {kUnsignedRunLine, "Manifest obtained. Parsing.", "\tMaster set to " + server.url("files/")};
    for (const std::string& line : splitLines(published)) {
        const size_t colon = line.find(':');
        if (line.rfind("master:", 0) != 0) compared.push_back("\t" + line.substr(0, colon) + " (" + line.substr(colon + 1) + ") up to date");
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        GameFolder game(server.manifestUrl());
        for (const auto& [path, content] : release) game.write(path, content);
        std::string manifest = published;
        if (c.end == End::FailureBox) {
            // One more file, which the server does not have: the run fails after comparing.
            manifest += "missing.dat:" + std::string(32, '0') + "\n";
        } else if (c.end == End::Terminated) {
            // A gibibyte that reads as zeros, listed last: hashing it keeps the run comparing.
            game.write("big.bin", "");
            std::filesystem::resize_file(game.file("big.bin"), int64_t(1) << 30);
            manifest += "big.bin:" + std::string(32, '0') + "\n";
        }
        server.put("release/manifest", manifest);
        Lines log;
        if (c.end == End::Terminated) {
            std::unique_ptr<ChildProcess> updater = game.start();
            const std::string last = compared.back() + "\n";
            ASSERT_TRUE(waitUntil([&] { return game.read("logs/updater.log").find(last) != std::string::npos; }, 60000))
                << game.read("logs/updater.log");
            updater->sendSignal(SIGTERM);
            const ProcessResult result = updater->wait(30000);
            EXPECT_EQ(result.exitCode, 0) << result.err;
            log = game.log();
            ASSERT_EQ(log.size(), compared.size() + 1) << ::testing::PrintToString(log);
            EXPECT_EQ(log.back(), "\tComparison stopped");
        } else {
            const UpdaterRun run = game.run();
            log = run.log;
            if (c.end == End::Finished) {
                EXPECT_EQ(run.process.err, box("Up to date!", "Everything is up to date!"));
                EXPECT_EQ(log, compared);
            } else {
                EXPECT_EQ(run.process.err, fatalBox("Could not download missing.dat"));
                ASSERT_GT(log.size(), compared.size() + 1) << ::testing::PrintToString(log);
                EXPECT_EQ(log[compared.size()], "\tmissing.dat Local hash does not match " + std::string(32, '0'));
                EXPECT_EQ(log.back().rfind("\t\tFailed to get missing.dat", 0), 0u) << log.back();
            }
        }
        ASSERT_GE(log.size(), compared.size());
        EXPECT_EQ(Lines(log.begin(), log.begin() + long(compared.size())), compared);
    }
}
