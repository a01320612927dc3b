// The manifest tool refuses exactly the paths and addresses the updater could not fetch back.
#include "manifest/path_rules.h"

#include <gtest/gtest.h>

#include "update/manifest_path.h"

TEST(ManifestPathProblem, AcceptsOrdinaryNestedNames) {
    for (const char* path : {"kib.exe", "data/levels/1.pak", ".hidden/a", "a..b/c..", "x.gz", "ünï/cödé.txt",
                             "a-b_c+d=e,f;g!h'(i)&j"}) {
        EXPECT_EQ(manifestPathProblem(path), "") << path;
        EXPECT_TRUE(isSafeManifestPath(path)) << path;
    }
}

TEST(ManifestPathProblem, RefusesWhatTheManifestOrTheAddressWouldChange) {
    for (const char* path : {"", "my file.txt", "tab\there", "line\nfeed", "c:/x", "a:b", "x<y", "dir\\file",
                             "../up", "a/../b", "a/..", "what?.txt", "100%.txt", "#1", "/abs", "manifest.txt",
                             "logs/updater.log", "del\x7f"}) {
        EXPECT_NE(manifestPathProblem(path), "") << path;
    }
    // Only the root names are the updater's own.
    EXPECT_EQ(manifestPathProblem("data/manifest.txt"), "");
    EXPECT_EQ(manifestPathProblem("logs/other.log"), "");
}

TEST(ManifestPathProblem, EveryPathTheUpdaterRefusesIsRefusedHereToo) {
    for (const char* path : {"", "/a", "a\\b", "c:x", "..", "a/../b", "a/.."}) {
        ASSERT_FALSE(isSafeManifestPath(path)) << path;
        EXPECT_NE(manifestPathProblem(path), "") << path;
    }
}

TEST(NormaliseBaseAddress, AddsTheFinalSlashAndKeepsAPort) {
    std::string problem;
    std::string address = "http://127.0.0.1:8080/game";
    ASSERT_TRUE(normaliseBaseAddress(address, problem)) << problem;
    EXPECT_EQ(address, "http://127.0.0.1:8080/game/");
    address = "http://updates.example.com";
    ASSERT_TRUE(normaliseBaseAddress(address, problem));
    EXPECT_EQ(address, "http://updates.example.com/");
    address = "http://h/a/b/";
    ASSERT_TRUE(normaliseBaseAddress(address, problem));
    EXPECT_EQ(address, "http://h/a/b/");
    address = "https://updates.example.com:8443/game";
    ASSERT_TRUE(normaliseBaseAddress(address, problem)) << problem;
    EXPECT_EQ(address, "https://updates.example.com:8443/game/");
}

TEST(NormaliseBaseAddress, RefusesWhatTheUpdaterCannotFetch) {
    for (const char* text : {"https://", "https:///path", "ftp://h/", "h/path/", "http:///path", "http://", "http://h/a b/",
                             "http://h/?x=1", "http://h/#top", ""}) {
        std::string address = text;
        std::string problem;
        EXPECT_FALSE(normaliseBaseAddress(address, problem)) << text;
        EXPECT_NE(problem, "") << text;
    }
}
