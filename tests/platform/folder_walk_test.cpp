// Stamping many files in a row through held folders: the same answers as one stamp at a time,
// links refused at every level, folders left and taken again.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/process.h"
#include "support/temp_dir.h"

namespace {

bool sameStamp(const PlatformFileStamp& a, const PlatformFileStamp& b) {
    return a.size == b.size && a.modifiedSeconds == b.modifiedSeconds &&
           a.modifiedNanoseconds == b.modifiedNanoseconds && a.changedSeconds == b.changedSeconds &&
           a.changedNanoseconds == b.changedNanoseconds && a.identity == b.identity;
}

}  // namespace

TEST(PlatformFolderWalk, StampsAsOneStampAtATimeAndNeverThroughALink) {
    namespace fs = std::filesystem;
    TempDir outside;
    outside.write("inner/secret.txt", "someone else's file\n");
    TempDir game;
    game.write("top.txt", "top\n");
    game.write("a/one.txt", "1\n");
    game.write("a/two.txt", "2\n");
    game.write("a/b/deep.txt", "deep\n");
    game.write("c/three.txt", "3\n");
    fs::create_directory_symlink(outside.file("inner"), game.file("linked"));
    fs::create_symlink(outside.file("inner/secret.txt"), game.file("a/link.txt"));
    fs::create_directory_symlink(outside.file("inner"), game.file("a/b/down"));
    ASSERT_EQ(runProcess({"mkfifo", game.file("a/pipe")}).exitCode, 0);
    fs::create_directory(game.file("a/folder"));
    ScopedWorkingDirectory inGame(game.path());
    // In an order that leaves folders and comes back, as a manifest may list them.
    const struct {
        const char* path;
        bool stamped;
    } cases[] = {
        {"a/one.txt", true},          {"a/two.txt", true},           {"a/link.txt", false},
        {"a/pipe", false},            {"a/folder", false},           {"a/missing.txt", false},
        {"a/b/deep.txt", true},       {"a/b/down/secret.txt", false}, {"a/one.txt", true},
        {"linked/secret.txt", false}, {"top.txt", true},             {"./c/three.txt", true},
        {"c//three.txt", true},       {"nowhere/x.txt", false},      {"c/three.txt/", false},
        {"a/b/deep.txt", true},
    };
    PlatformFolderWalk walk;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        PlatformFileStamp walked, alone;
        EXPECT_EQ(walk.stamp(c.path, walked), c.stamped);
        EXPECT_EQ(platformStampFile(c.path, alone), c.stamped);
        if (c.stamped) {
            EXPECT_TRUE(sameStamp(walked, alone));
        }
    }
}
