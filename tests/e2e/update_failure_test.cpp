// Runs of the real updater that must fail, each with its own log line and box, and never
// start the game, report success or write outside the game's folder.
#include <gtest/gtest.h>

#include <filesystem>

#include "e2e/update_harness.h"
#include "update/staging.h"
#include "support/digest.h"
#include "util/md5.h"

namespace {

using Lines = std::vector<std::string>;

// The run with the line every unsigned run starts with taken off its log, once seen there.
UpdaterRun afterUnsignedLine(UpdaterRun run) {
    EXPECT_EQ(run.log.empty() ? "" : run.log.front(), kUnsignedRunLine);
    if (!run.log.empty()) run.log.erase(run.log.begin());
    return run;
}

class FailingRun : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.started());
        game.installGame();
    }

    // Runs the updater on `manifest` and checks what every failure has in common.
    UpdaterRun runOn(const std::string& manifest) {
        server.put("release/manifest", manifest);
        UpdaterRun run = afterUnsignedLine(game.run());
        EXPECT_EQ(run.process.exitCode, 0);
        EXPECT_FALSE(game.exists("manifest.txt"));
        return run;
    }

    std::string master() const { return "master:" + server.url("files/") + "\n"; }

    UpdateServer server;
    GameFolder game{server.manifestUrl()};
};

}  // namespace

TEST_F(FailingRun, ServerDown) {
    GameFolder offline("http://127.0.0.1:" + std::to_string(pickFreeLoopbackPort()) + "/release/manifest");
    offline.installGame();
    offline.write("manifest.txt", "master:" + server.url("files/") + "\n");
    const UpdaterRun run = afterUnsignedLine(offline.run());
    EXPECT_EQ(run.process.exitCode, 0);
    EXPECT_EQ(run.process.err, fatalBox("Could not get manifest"));
    // Each refused connection is retried three times, and the log says why each attempt failed.
    ASSERT_EQ(run.log.size(), 5u) << ::testing::PrintToString(run.log);
    for (int retry = 1; retry <= 3; ++retry)
        EXPECT_EQ(run.log[retry - 1].rfind("Manifest: could not connect to 127.0.0.1:", 0), 0u) << run.log[retry - 1];
    EXPECT_NE(run.log[2].find("; retry 3 of 3 after "), std::string::npos);
    EXPECT_EQ(run.log[3].rfind("Manifest: could not connect to 127.0.0.1:", 0), 0u);
    EXPECT_EQ(run.log[4], "Failed to download manifest. Reason: 3");
    EXPECT_FALSE(offline.exists("manifest.txt"));
    EXPECT_FALSE(offline.gameStarted(300));
}

TEST_F(FailingRun, UnusableManifests) {
    const Lines parseFailure = {"Manifest obtained. Parsing.", "\tError while parsing manifest"};
    UpdaterRun run = runOn("");
    EXPECT_EQ(run.process.err, fatalBox("Invalid manifest format"));
    EXPECT_EQ(run.log, parseFailure);

    run = runOn("kib.exe\n" + master());
    EXPECT_EQ(run.process.err, fatalBox("Invalid manifest format"));
    EXPECT_EQ(run.log, (Lines{"Manifest obtained. Parsing.",
                              "\tLine 1 refused: a file line before any master line with an address",
                              "\tMalformed manifest file", "\tError while parsing manifest"}));

    // A manifest the server does not have is no manifest, not an empty one.
    GameFolder lost(server.url("release/no-such-manifest"));
    const UpdaterRun notFound = afterUnsignedLine(lost.run());
    EXPECT_EQ(notFound.process.err, fatalBox("Could not get manifest"));
    EXPECT_EQ(notFound.log, (Lines{"Manifest: HTTP/1.1 404 Not Found", "Failed to download manifest. Reason: 3"}));
    EXPECT_FALSE(lost.exists("manifest.txt"));
    EXPECT_FALSE(game.gameStarted(300));
}

TEST_F(FailingRun, PathsThatLeaveTheFolderAreRefused) {
    server.put("outside.txt", "written outside");
    server.put("files/ok.txt", "fine");
    for (const std::string& line : Lines{"../outside.txt", "../../outside.txt", "/tmp/kib-outside.txt",
                                         "sub/../../outside.txt", "..\\outside.txt",
                                         "sub/...gz:" + std::string(32, 'a') + "<" + std::string(32, 'b')}) {
        SCOPED_TRACE(line);
        const UpdaterRun run = runOn(master() + line + "\n");
        EXPECT_EQ(run.process.err, fatalBox("Invalid manifest format"));
        // Refused before the first line is acted on.
        ASSERT_EQ(run.log.size(), 4u);
        EXPECT_EQ(run.log[1].compare(0, 17, "\tLine 2 refused: "), 0) << run.log[1];
        EXPECT_EQ(Lines(run.log.begin() + 2, run.log.end()),
                  (Lines{"\tMalformed manifest file", "\tError while parsing manifest"}));
    }
    // Nothing beside the game's folder, nothing in /tmp.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(game.parent().path()), {}), 1);
    EXPECT_FALSE(std::filesystem::exists("/tmp/kib-outside.txt"));
    EXPECT_FALSE(game.gameStarted(300));
}

TEST_F(FailingRun, DownloadedFileWithTheWrongDigest) {
    server.put("files/data.bin", "what the server has");
    const std::string claimed(32, 'c');
    const UpdaterRun run = runOn(master() + "data.bin:" + claimed + "\n");
    EXPECT_EQ(run.process.err, fatalBox("Could not download data.bin"));
    EXPECT_EQ(run.log, (Lines{"Manifest obtained. Parsing.", "\tMaster set to " + server.url("files/"),
                              "\tdata.bin Local hash does not match " + claimed,
                              "\t\tdata.bin arrived as " + server.md5("files/data.bin") + ", not " + claimed,
                              "\t\tFetching data.bin once more, from the start and past any cache",
                              "\t\tdata.bin arrived as " + server.md5("files/data.bin") + ", not " + claimed,
                              "\t\tFailed to get data.bin. Reason: 5"}));
    EXPECT_FALSE(game.gameStarted(300));
}

TEST_F(FailingRun, FileTheServerDoesNotHave) {
    // Listed without a digest, so only the server's answer can tell that it is missing.
    const UpdaterRun run = runOn(master() + "docs/missing.txt\n");
    EXPECT_EQ(run.process.err, fatalBox("Could not download docs/missing.txt"));
    EXPECT_EQ(run.log, (Lines{"Manifest obtained. Parsing.", "\tMaster set to " + server.url("files/"),
                              "\t\tdocs/missing.txt: HTTP/1.1 404 Not Found",
                              "\t\tFailed to get docs/missing.txt. Reason: 3"}));
    EXPECT_FALSE(game.exists("docs/missing.txt"));
    EXPECT_FALSE(game.gameStarted(300));
}

TEST_F(FailingRun, GzThatIsNotGzipIsCopied) {
    const std::string notes = "plain notes, never compressed\n";
    server.put("files/notes.txt.gz", notes);
    const std::string digest = server.md5("files/notes.txt.gz");
    const UpdaterRun run = runOn(master() + "notes.txt.gz:" + digest + "<" + digest + "\n");
    EXPECT_EQ(run.process.err, box("Done!", "It's a miracle! The update was a success!"));
    EXPECT_EQ(run.log, (Lines{"Manifest obtained. Parsing.", "\tMaster set to " + server.url("files/"),
                              "\tnotes.txt Local uncompressed hash () does not match " + digest,
                              "\t\tFinished notes.txt.gz", "\t\t\tDecompressing notes.txt.gz",
                              switchLines({"notes.txt"})[0], "\tnotes.txt in place", "Switch done"}));
    EXPECT_EQ(game.read("notes.txt"), notes);
    EXPECT_FALSE(game.exists("notes.txt.gz"));
    EXPECT_TRUE(game.gameStarted());
}

TEST_F(FailingRun, DamagedGzip) {
    server.put("files/level.pak", patternBytes(200000, 4));
    server.gzip("files/level.pak");
    const std::string packed = server.get("files/level.pak.gz");
    // Cut short, as a broken upload leaves it; its own digest is published, so it downloads.
    server.put("files/level.pak.gz", packed.substr(0, packed.size() / 2));
    const std::string uncompressed = server.md5("files/level.pak");
    const UpdaterRun run =
        runOn(master() + "level.pak.gz:" + uncompressed + "<" + server.md5("files/level.pak.gz") + "\n");
    EXPECT_EQ(run.process.err, fatalBox("Could not decompress level.pak.gz"));
    EXPECT_EQ(run.log, (Lines{"Manifest obtained. Parsing.", "	Master set to " + server.url("files/"),
                              "	level.pak Local uncompressed hash () does not match " + uncompressed,
                              "		Finished level.pak.gz", "			Decompressing level.pak.gz",
                              "			Failed to decompress level.pak.gz"}));
    // The verified download stays staged for the next run; what was decompressed is not the file.
    EXPECT_EQ(game.read(stagedGzipName("level.pak")), packed.substr(0, packed.size() / 2));
    EXPECT_NE(game.read("level.pak"), server.get("files/level.pak"));
    EXPECT_FALSE(game.gameStarted(300));
}

TEST_F(FailingRun, GzipThatUnpacksToAnotherFile) {
    // A release published with last week's level.pak.gz: the download matches its own digest,
    // but what it unpacks into is not the file the manifest lists.
    server.put("files/level.pak", "last week's level");
    server.gzip("files/level.pak");
    const std::string thisWeek = "this week's level";
    const std::string listed = md5OfBuffer(thisWeek.data(), int32_t(thisWeek.size()));
    const std::string unpacked = server.md5("files/level.pak");
    const UpdaterRun run = runOn(master() + "level.pak.gz:" + listed + "<" + server.md5("files/level.pak.gz") + "\n");
    EXPECT_EQ(run.process.err, fatalBox("Could not decompress level.pak.gz"));
    EXPECT_EQ(run.log, (Lines{"Manifest obtained. Parsing.", "\tMaster set to " + server.url("files/"),
                              "\tlevel.pak Local uncompressed hash () does not match " + listed,
                              "\t\tFinished level.pak.gz", "\t\t\tDecompressing level.pak.gz",
                              "\t\t\tDecompressed level.pak (" + unpacked + ") does not match " + listed}));
    EXPECT_FALSE(game.gameStarted(300));
}

TEST_F(FailingRun, GameMissing) {
    std::filesystem::remove(game.file("kib.exe"));
    const UpdaterRun run = runOn(master());
    EXPECT_EQ(run.process.err, box("Up to date!", "Everything is up to date!") +
                                   box("Error!", "Encountered error code 2 while trying to run kib.exe!"));
    EXPECT_EQ(run.log, (Lines{"Manifest obtained. Parsing.", "\tMaster set to " + server.url("files/")}));
}
