// Whole releases with the real updater and nginx: release 1 is installed by the updater, then
// release 2 changes, moves, copies and drops files, and the folder must hold one release or the
// other after every run, keep what the player made, and fetch nothing it already holds.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "e2e/update_harness.h"
#include "support/digest.h"
#include "update/own_files.h"
#include "update/staging.h"

namespace {

using Lines = std::vector<std::string>;

class WholeRelease : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.started()); }

    // Publishes `files` (and the game) and lets the updater install them.
    void install(Files files) {
        files["kib.exe"] = kGameScript;
        server.publish(files);
        expectFinishedRun(game, files);
        std::filesystem::remove(game.file("game-started"));
    }

    // The folder's copies of `paths`, those it has.
    Files copiesOf(const Files& paths) const {
        Files found;
        for (const auto& entry : paths)
            if (game.exists(entry.first)) found[entry.first] = game.read(entry.first);
        return found;
    }

    // The files the updater asked for since access log line `from`, the manifest aside.
    Lines filesFetched(size_t from) const {
        Lines fetched;
        for (const std::string& request : server.requests(from))
            if (request.find("/release/manifest") == std::string::npos) fetched.push_back(request);
        return fetched;
    }

    UpdateServer server;
    GameFolder game{server.manifestUrl()};
};

Files release(int version, int count) {
    Files files;
    for (int i = 0; i < count; ++i)
        files["data/f" + std::to_string(i) + ".bin"] = patternBytes(20000 + size_t(i), unsigned(100 * version + i));
    return files;
}

}  // namespace

TEST_F(WholeRelease, AFailedUpdateLeavesTheFormerReleaseWholeAndTheNextRunFetchesOnlyWhatIsMissing) {
    const Files first = release(1, 10);
    install(first);
    Files second = release(2, 10);
    second["kib.exe"] = kGameScript;
    server.publish(second);
    // The last file did not make it to the server.
    server.remove("files/data/f9.bin");
    expectFailedRun(game, "Could not download data/f9.bin", "\t\tFailed to get data/f9.bin. Reason: 3");
    Files installed = first;
    installed["kib.exe"] = kGameScript;
    EXPECT_EQ(copiesOf(second), installed);

    // What the failed run staged is used as it stands; only what it had not finished is fetched.
    std::set<std::string> staged;
    for (const auto& entry : second)
        if (game.exists(stagedName(entry.first))) staged.insert("GET /files/" + entry.first + " HTTP/1.1");
    EXPECT_FALSE(staged.empty());
    server.put("files/data/f9.bin", second["data/f9.bin"]);
    const size_t from = server.requests().size();
    expectFinishedRun(game, second);
    const Lines fetched = filesFetched(from);
    EXPECT_NE(std::find(fetched.begin(), fetched.end(), "GET /files/data/f9.bin HTTP/1.1"), fetched.end());
    for (const std::string& request : fetched) EXPECT_EQ(staged.count(request), 0u) << request;
}

TEST_F(WholeRelease, DroppedFilesGoUnlessThePlayerMadeOrChangedThem) {
    install({{"data/keep.bin", "kept\n"},
             {"levels/old/level.pak", "an old level\n"},
             {"levels/mine/level.pak", "a level beside the player's notes\n"},
             {"data/changed.cfg", "as installed\n"},
             {"music/Theme.ogg", "a theme\n"}});
    game.write("levels/mine/notes.txt", "the player's own notes\n");
    game.write("data/changed.cfg", "as the player changed it\n");
    game.write("data/mine.txt", "the player's own file\n");

    // A file the new release names in other letters is the same file on Windows: it stays.
    Files second = {{"data/keep.bin", "kept\n"}, {"MUSIC/theme.ogg", "a theme\n"}, {"kib.exe", kGameScript}};
    server.publish(second);
    const UpdaterRun run = game.run();
    EXPECT_EQ(run.process.err, box("Done!", "It's a miracle! The update was a success!"));
    for (const std::string& line : switchLines({"MUSIC/theme.ogg"}, {"levels/mine/level.pak", "levels/old/level.pak"}))
        EXPECT_NE(std::find(run.log.begin(), run.log.end(), line), run.log.end()) << line;
    EXPECT_FALSE(game.exists("levels/old/level.pak"));
    EXPECT_FALSE(std::filesystem::exists(game.file("levels/old")));
    EXPECT_FALSE(game.exists("levels/mine/level.pak"));
    EXPECT_EQ(game.read("levels/mine/notes.txt"), "the player's own notes\n");
    EXPECT_EQ(game.read("data/changed.cfg"), "as the player changed it\n");
    EXPECT_EQ(game.read("data/mine.txt"), "the player's own file\n");
    EXPECT_EQ(game.read("music/Theme.ogg"), "a theme\n");
}

TEST_F(WholeRelease, AMovedAndACopiedFileCostNoTransfer) {
    const std::string track = patternBytes(3 << 20, 77);
    install({{"music/track.ogg", track}, {"data/a.bin", "a\n"}});
    const Files second = {{"music/new/track.ogg", track},
                          {"music/copy.ogg", track},
                          {"data/a.bin", "a\n"},
                          {"kib.exe", kGameScript}};
    server.publish(second);
    const size_t from = server.requests().size();
    expectFinishedRun(game, second);
    EXPECT_EQ(filesFetched(from), Lines{});
    EXPECT_FALSE(game.exists("music/track.ogg"));
}

TEST_F(WholeRelease, TheUpdaterReplacesItselfAndTheNewOneRuns) {
    // The updater the game ships, in the game's folder; the new one differs by a trailing note,
    // which a program file may carry.
    const std::string program = readFileBytes(KIB_UPDATER_PATH);
    game.write("kib-updater", program);
    std::filesystem::permissions(game.file("kib-updater"), std::filesystem::perms::owner_all);
    const std::string newer = program + "\nthe next updater\n";
    Files second = {{"kib-updater", newer}, {"kib.exe", kGameScript}};
    server.publish(second);
    game.installGame();

    const UpdaterRun run = game.run(60000, {}, game.file("kib-updater"));
    EXPECT_EQ(run.process.err, box("Done!", "It's a miracle! The update was a success!"));
    EXPECT_EQ(game.read("kib-updater"), newer);
    struct stat info;
    ASSERT_EQ(stat(game.file("kib-updater").c_str(), &info), 0);
    EXPECT_TRUE(info.st_mode & S_IXUSR);
    // The next start runs the new program, which finds itself up to date.
    std::filesystem::remove(game.file("game-started"));
    const UpdaterRun next = game.run(60000, {}, game.file("kib-updater"));
    EXPECT_EQ(next.process.err, box("Up to date!", "Everything is up to date!"));
}
