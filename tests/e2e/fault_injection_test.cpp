// The real updater meeting faults of the player's disk: a full disk while downloading and while
// decompressing, a file that may not be replaced, a folder where a file should go and a file
// where a folder should go. Each run fails with its box and loses nothing that was right; once
// the fault is gone, the next run leaves the folder exactly as the manifest says.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <regex>
#include <set>

#include "e2e/update_harness.h"
#include "support/tmpfs_mount.h"
#include "update/own_files.h"
#include "update/staging.h"
#include "update/verified_files.h"
#include "util/strings.h"

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
    // Refused before its first byte: the server announced more than the disk holds.
    expectFailure("Not enough free space on the disk: the update needs at least ...",
                  "\t\tdata/big.bin: not enough free space on the disk for 3145728 bytes");
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
    expectFailure("Not enough free space on the disk for the update", "\t\t\tThe disk is full");
    // The verified download stays staged; what was unpacked before the disk filled is removed.
    EXPECT_EQ(game.read(stagedGzipName("data/zeros.bin")), server.get("files/data/zeros.bin.gz"));
    EXPECT_FALSE(game.exists("data/zeros.bin"));

    ASSERT_TRUE(disk->resize(32 << 20));
    const size_t requestsBefore = server.requests().size();
    expectRepaired();
    // The kept download was unpacked again without a transfer.
    EXPECT_EQ(server.requests(requestsBefore), Lines{"GET /release/manifest?ver=0.3.0 HTTP/1.1"});
}

// A power cut keeps only what reached the disk. Traced with strace: every file the run writes
// (the staged files, the journal, the record) is flushed before it leaves its temporary name,
// and the record is renamed only after the folders of the files it vouches for were flushed.
TEST_F(FaultInjection, PowerCutFindsEveryFileOnTheDiskBeforeItsNameAndTheRecord) {
    publish({{"data/packed.bin", zeros(32 << 20)}, {"data/small.txt", "small\n"}, {"notes.txt", patternBytes(200000, 48)}},
            {{"data/packed.bin", Listing::Compressed}}, {});
    TempDir traces;
    // LeakSanitizer cannot work under ptrace; the leak check is done by every other test.
    const UpdaterRun run = game.run(60000, {{"ASAN_OPTIONS", "detect_leaks=0:abort_on_error=1"}}, KIB_UPDATER_PATH,
                                    {"strace", "-f", "-qq", "-y", "-e", "signal=none", "-e",
                                     "trace=fsync,fdatasync,renameat,renameat2", "-o", traces.file("calls")});
    if (run.process.err.find("strace:") != std::string::npos) GTEST_SKIP() << run.process.err;
    ASSERT_EQ(run.process.err, box("Done!", "It's a miracle! The update was a success!"));

    // strace -y shows each descriptor with the path it stands for.
    const std::regex flushCall(R"((?:fsync|fdatasync)\(\d+<([^>]*)>)");
    const std::regex renameCall(R"re(renameat2?\(\d+<([^>]*)>, "([^"]*)", \d+<([^>]*)>, "([^"]*)")re");
    std::map<std::string, std::vector<size_t>> flushes;
    std::map<std::string, size_t> renamedAt;
    // Files that reached the disk under a temporary name, followed through their later renames.
    std::set<std::string> durable;
    const std::vector<std::string> calls = splitLines(traces.read("calls"));
    auto flushedBetween = [&](const std::string& path, size_t after, size_t before) {
        for (size_t line : flushes[path])
            if (line > after && line < before) return true;
        return false;
    };
    for (size_t line = 1; line <= calls.size(); ++line) {
        std::smatch match;
        if (std::regex_search(calls[line - 1], match, flushCall)) flushes[match[1]].push_back(line);
        if (!std::regex_search(calls[line - 1], match, renameCall)) continue;
        const std::string from = std::string(match[1]) + "/" + std::string(match[2]);
        const std::string to = std::string(match[3]) + "/" + std::string(match[4]);
        const bool written = endsWith(from, ".part") || endsWith(from, ".unpacking");
        if (written) {
            EXPECT_TRUE(flushedBetween(from, 0, line)) << from << " renamed before it was flushed";
        }
        if (written || durable.count(from)) durable.insert(to);
        renamedAt[to] = line;
    }
    const std::string root = std::filesystem::canonical(game.path()).string();
    const size_t recordRenamed = renamedAt[root + "/" + kVerifiedFilesPath];
    ASSERT_GT(recordRenamed, 0u) << "no record written";
    EXPECT_TRUE(flushedBetween(root + "/assets/updater", recordRenamed, calls.size() + 1));
    VerifiedFiles::Entries record;
    ASSERT_TRUE(VerifiedFiles::parse(game.read(kVerifiedFilesPath), record));
    for (const auto& entry : record) {
        const std::string placed = root + "/" + entry.first;
        if (!renamedAt.count(placed)) continue;
        EXPECT_TRUE(durable.count(placed)) << entry.first << " vouched for, but never flushed";
        EXPECT_TRUE(flushedBetween(std::filesystem::path(placed).parent_path().string(), renamedAt[placed], recordRenamed))
            << entry.first << " vouched for before its folder was flushed";
    }
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

    // The verified download cannot take the stale copy's place, and the switch undoes itself.
    expectFailure("Could not replace data/locked.bin", "\tCould not move data/locked.bin aside");
    EXPECT_EQ(game.read("data/locked.bin"), "an older version\n");

    ASSERT_EQ(runProcess({"chattr", "-i", unlock.path}).exitCode, 0);
    expectRepaired();
}

TEST_F(FaultInjection, FolderWhereAFileShouldGo) {
    publish({{"data/right.txt", "already here\n"}, {"data/level.pak", patternBytes(100000, 43)}}, {},
            {"data/right.txt"});
    game.write("data/level.pak/notes.txt", "the player's own notes\n");
    expectFailure("Could not download data/level.pak", "\tdata/level.pak is not a regular file; left alone");
    EXPECT_EQ(game.read("data/level.pak/notes.txt"), "the player's own notes\n");

    // The player moves the folder away.
    std::filesystem::remove_all(game.file("data/level.pak"));
    expectRepaired();
}

TEST_F(FaultInjection, FileWhereAFolderShouldGo) {
    publish({{"data/right.txt", "already here\n"}, {"data/maps/one.map", patternBytes(50000, 44)}},
            {{"data/maps/one.map", Listing::Presence}}, {"data/right.txt"});
    game.write("data/maps", "a file named like the folder\n");
    expectFailure("Could not download data/maps/one.map", "\tdata/maps/one.map is not a regular file; left alone");
    EXPECT_EQ(game.read("data/maps"), "a file named like the folder\n");

    std::filesystem::remove(game.file("data/maps"));
    expectRepaired();
}

// What someone else using a shared install can leave in the folder: links to places outside it
// (at a listed file, at a folder on the way, at the download's or the unpacking's temporary
// name), a pipe and a device. Each fails its file before anything is fetched, nothing outside
// the folder changes, nothing blocks, and the folder is left exactly as it was. A trap at a name
// of the updater's own only keeps that file from being written or read.
TEST_F(FaultInjection, FileSystemTrapsFailTheirFileAndChangeNothing) {
    publish({{"data/right.txt", "already here\n"},
             {"data/level.pak", patternBytes(100000, 45)},
             {"data/story.txt", patternBytes(20000, 46)},
             {"maps/one.map", patternBytes(5000, 47)}},
            {{"data/story.txt", Listing::Compressed}}, {"data/right.txt"});
    TempDir outside;
    outside.write("target.txt", "someone else's file\n");
    const std::string target = outside.file("target.txt");
    namespace fs = std::filesystem;
    const struct {
        const char* name;
        std::string trap;
        std::string failedPath;
        // The name the log line gives.
        std::string logged;
        // Makes the trap at game.file(trap).
        std::function<void(const std::string&)> make;
    } cases[] = {
        {"a link at a listed file", "data/level.pak", "data/level.pak", "data/level.pak",
         [&](const std::string& at) { fs::create_symlink(target, at); }},
        {"a link at a folder on the way", "maps", "maps/one.map", "maps/one.map",
         [&](const std::string& at) { fs::create_directory_symlink(outside.path(), at); }},
        {"a link at the download's name", "data/level.pak.kib-new.part", "data/level.pak", "data/level.pak.kib-new.part",
         [&](const std::string& at) { fs::create_symlink(target, at); }},
        {"a link at the unpacking's name", "data/story.txt.kib-new.unpacking", "data/story.txt.gz",
         "data/story.txt.kib-new.unpacking", [&](const std::string& at) { fs::create_symlink(target, at); }},
        {"a link at the staged name", "data/level.pak.kib-new", "data/level.pak", "data/level.pak.kib-new",
         [&](const std::string& at) { fs::create_symlink(target, at); }},
        {"a link where the old file is moved aside", "data/level.pak.kib-old", "data/level.pak",
         "data/level.pak.kib-old", [&](const std::string& at) { fs::create_symlink(target, at); }},
        {"a pipe at a listed file", "data/level.pak", "data/level.pak", "data/level.pak",
         [&](const std::string& at) { ASSERT_EQ(runProcess({"mkfifo", at}).exitCode, 0); }},
        {"a link to an endless device", "data/level.pak", "data/level.pak", "data/level.pak",
         [&](const std::string& at) { fs::create_symlink("/dev/zero", at); }},
        {"a link at the record's temporary name", "assets/updater/verified.txt.new", "", "",
         [&](const std::string& at) { fs::create_symlink(target, at); }},
        {"a pipe at a picture of the window", "assets/updater/bg.bmp", "", "",
         [&](const std::string& at) { ASSERT_EQ(runProcess({"mkfifo", at}).exitCode, 0); }},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        game.write("data/level.pak", "the player's old level\n");
        fs::remove(game.file(test.trap));
        test.make(game.file(test.trap));
        if (test.failedPath.empty()) {
            const fs::file_type trap = fs::symlink_status(game.file(test.trap)).type();
            EXPECT_EQ(game.run().process.err, box("Done!", "It's a miracle! The update was a success!"));
            // The game the run started leaves its mark before the next run looks at the folder.
            EXPECT_TRUE(game.gameStarted());
            fs::remove(game.file("game-started"));
            EXPECT_EQ(fs::symlink_status(game.file(test.trap)).type(), trap);
            EXPECT_EQ(outside.read("target.txt"), "someone else's file\n");
            fs::remove(game.file(test.trap));
            continue;
        }
        Files before = game.files();
        before.erase("logs/updater.log");
        before.erase("logs/updater.lock");
        const UpdaterRun run = expectFailedRun(game, "Could not download " + test.failedPath,
                                               "\t" + test.logged + " is not a regular file; left alone");
        Files after = game.files();
        after.erase("logs/updater.log");
        after.erase("logs/updater.lock");
        EXPECT_EQ(differences(after, before), std::vector<std::string>{});
        EXPECT_EQ(server.requests().back(), "GET /release/manifest?ver=0.3.0 HTTP/1.1");
        EXPECT_EQ(outside.read("target.txt"), "someone else's file\n");
        EXPECT_EQ(std::distance(fs::directory_iterator(outside.path()), fs::directory_iterator()), 1);
        fs::remove(game.file(test.trap));
    }
    fs::remove(game.file("data/level.pak"));
    expectRepaired();
}
