// The real updater meeting faults of the player's disk: a full disk while downloading and while
// decompressing, a file that may not be replaced, a folder where a file should go and a file
// where a folder should go. Each run fails with its box and loses nothing that was right; once
// the fault is gone, the next run leaves the folder exactly as the manifest says.
#include <gtest/gtest.h>

#include <filesystem>

#include "e2e/update_harness.h"
#include "support/tmpfs_mount.h"

namespace {

using Lines = std::vector<std::string>;

std::string zeros(size_t size) { return std::string(size, '\0'); }

class FaultInjection : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.started());
        game.installGame();
    }

    // Publishes `files` and the game; the files named in `right` are placed in the folder first.
    void publish(const Files& files, const std::map<std::string, Listing>& listings, const Lines& right) {
        release = files;
        release["kib.exe"] = kGameScript;
        server.publish(release, listings);
        for (const std::string& path : right) game.write(path, release[path]);
    }

    // The run fails with `failure` and `logLine`; the files that were right stay right.
    void expectFailure(const std::string& failure, const std::string& logLine) {
        const Files right = rightFiles(game, release);
        ASSERT_FALSE(right.empty());
        expectFailedRun(game, failure, logLine);
        for (const auto& [path, content] : right) EXPECT_EQ(game.read(path), content) << path;
    }

    // With the fault gone, the next run completes the folder.
    void expectRepaired() {
        std::filesystem::remove(game.file("game-started"));
        expectFinishedRun(game, release);
    }

    // The game's "data" folder on a disk of `bytes` (not mounted without root).
    std::unique_ptr<TmpfsMount> smallDataDisk(size_t bytes) {
        std::filesystem::create_directories(game.file("data"));
        return std::make_unique<TmpfsMount>(game.file("data"), bytes);
    }

    UpdateServer server;
    GameFolder game{server.manifestUrl()};
    Files release;
};

}  // namespace

TEST_F(FaultInjection, FullDiskWhileDownloading) {
    std::unique_ptr<TmpfsMount> disk = smallDataDisk(1 << 20);
    if (!disk->mounted()) GTEST_SKIP() << "no small disk for the game's data: " << disk->error();
    publish({{"data/right.txt", "already here\n"}, {"data/big.bin", patternBytes(3 << 20, 41)}}, {}, {"data/right.txt"});
    expectFailure("Could not download data/big.bin", "\t\tFailed to get data/big.bin. Reason: 3");
    EXPECT_FALSE(game.exists("data/big.bin"));

    ASSERT_TRUE(disk->resize(16 << 20));
    expectRepaired();
}

TEST_F(FaultInjection, FullDiskWhileDecompressing) {
    std::unique_ptr<TmpfsMount> disk = smallDataDisk(1 << 20);
    if (!disk->mounted()) GTEST_SKIP() << "no small disk for the game's data: " << disk->error();
    // A few kilobytes on the wire, eight megabytes unpacked.
    publish({{"data/right.txt", "already here\n"}, {"data/zeros.bin", zeros(8 << 20)}},
            {{"data/zeros.bin", Listing::Compressed}}, {"data/right.txt"});
    expectFailure("Could not decompress data/zeros.bin.gz", "\t\t\tFailed to decompress data/zeros.bin.gz");
    // The verified download stays; what was unpacked before the disk filled is not the file.
    EXPECT_EQ(game.read("data/zeros.bin.gz"), server.get("files/data/zeros.bin.gz"));
    EXPECT_LT(std::filesystem::file_size(game.file("data/zeros.bin")), size_t(8 << 20));

    ASSERT_TRUE(disk->resize(32 << 20));
    const size_t requestsBefore = server.requests().size();
    expectRepaired();
    // The kept download was unpacked again without a transfer.
    EXPECT_EQ(server.requests(requestsBefore), Lines{"GET /release/manifest?ver=0.3.0 HTTP/1.0"});
}

TEST_F(FaultInjection, FileThatMayNotBeReplaced) {
    publish({{"data/right.txt", "already here\n"}, {"data/locked.bin", patternBytes(100000, 42)}}, {},
            {"data/right.txt"});
    game.write("data/locked.bin", "an older version\n");
    // Root ignores permission bits; an immutable file stops even root.
    struct Unlock {
        std::string path;
        ~Unlock() { runProcess({"chattr", "-i", path}); }
    } unlock{game.file("data/locked.bin")};
    const ProcessResult locked = runProcess({"chattr", "+i", unlock.path});
    if (locked.exitCode != 0) GTEST_SKIP() << "cannot make a file immutable here: " << locked.err;

    // The stale copy cannot be deleted, so it is what the digest check finds: reason 5.
    expectFailure("Could not download data/locked.bin", "\t\tFailed to get data/locked.bin. Reason: 5");
    EXPECT_EQ(game.read("data/locked.bin"), "an older version\n");

    ASSERT_EQ(runProcess({"chattr", "-i", unlock.path}).exitCode, 0);
    expectRepaired();
}

TEST_F(FaultInjection, FolderWhereAFileShouldGo) {
    publish({{"data/right.txt", "already here\n"}, {"data/level.pak", patternBytes(100000, 43)}}, {},
            {"data/right.txt"});
    game.write("data/level.pak/notes.txt", "the player's own notes\n");
    expectFailure("Could not download data/level.pak", "\t\tFailed to get data/level.pak. Reason: 3");
    EXPECT_EQ(game.read("data/level.pak/notes.txt"), "the player's own notes\n");

    // The player moves the folder away.
    std::filesystem::remove_all(game.file("data/level.pak"));
    expectRepaired();
}

TEST_F(FaultInjection, FileWhereAFolderShouldGo) {
    publish({{"data/right.txt", "already here\n"}, {"data/maps/one.map", patternBytes(50000, 44)}},
            {{"data/maps/one.map", Listing::Presence}}, {"data/right.txt"});
    game.write("data/maps", "a file named like the folder\n");
    expectFailure("Could not download data/maps/one.map", "\t\tFailed to get data/maps/one.map. Reason: 3");
    EXPECT_EQ(game.read("data/maps"), "a file named like the folder\n");

    std::filesystem::remove(game.file("data/maps"));
    expectRepaired();
}
