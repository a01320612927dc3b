// File and path helpers, on a real temporary folder.
#include "util/file_system.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_dir.h"

TEST(FileSystem, ExistsAndDelete) {
    TempDir dir;
    EXPECT_FALSE(fileExists(dir.file("missing")));
    EXPECT_FALSE(fileExists(dir.path()));
    dir.write("empty", "");
    EXPECT_TRUE(fileExists(dir.file("empty")));

    EXPECT_FALSE(deleteIfExists(dir.file("missing")));
    EXPECT_TRUE(deleteIfExists(dir.file("empty")));
    EXPECT_FALSE(dir.exists("empty"));
}

TEST(FileSystem, ReadWholeFileAppends) {
    TempDir dir;
    std::string content = "kept";
    EXPECT_FALSE(readWholeFile(content, dir.file("missing")));
    EXPECT_EQ(content, "kept");
    dir.write("empty", "");
    EXPECT_TRUE(readWholeFile(content, dir.file("empty")));
    EXPECT_EQ(content, "kept");
    const std::string data = patternBytes(2500);
    dir.write("data", data);
    EXPECT_TRUE(readWholeFile(content, dir.file("data")));
    EXPECT_EQ(content, "kept" + data);
}

TEST(FileSystem, DirectoryOf) {
    EXPECT_EQ(directoryOf("a/b/c.txt"), "a/b/");
    EXPECT_EQ(directoryOf("a\\b\\c.txt"), "a\\b\\");
    EXPECT_EQ(directoryOf("a\\b/c.txt"), "a\\");
    EXPECT_EQ(directoryOf("c.txt"), "");
    EXPECT_EQ(directoryOf("/c.txt"), "/");
}

TEST(FileSystem, MakeDirectoriesCreatesEveryLevel) {
    TempDir dir;
    ScopedWorkingDirectory inside(dir.path());
    EXPECT_EQ(makeDirectories("a/b/c"), 0);
    EXPECT_TRUE(std::filesystem::is_directory("a/b/c"));
    EXPECT_EQ(makeDirectories("a/b/c"), -1);
    EXPECT_EQ(makeDirectories("x/y/"), 0);
    EXPECT_TRUE(std::filesystem::is_directory("x/y"));
    EXPECT_EQ(makeDirectories(""), -1);
    EXPECT_EQ(makeDirectories("a\\b"), 0);
    EXPECT_TRUE(std::filesystem::is_directory("a\\b"));
}

TEST(FileSystem, MakeDirectoriesHandlesPathsLongerThanAnyFixedBuffer) {
    TempDir dir;
    ScopedWorkingDirectory inside(dir.path());
    std::string path;
    for (int level = 0; level < 40; ++level) path += (level ? "/" : "") + std::string(20, char('a' + level % 26));
    ASSERT_GT(path.size(), 800u);
    EXPECT_EQ(makeDirectories(path), 0);
    EXPECT_TRUE(std::filesystem::is_directory(path));
}
