// The manifest tool refuses exactly the paths and addresses the updater could not fetch back.
#include "manifest/path_rules.h"

#include <gtest/gtest.h>

#include "update/manifest_path.h"

TEST(ManifestPathProblem, AcceptsOrdinaryNestedNames) {
    for (const char* path : {"kib.exe", "data/levels/1.pak", ".hidden/a", "a..b/c..d", "x.gz", "ünï/cödé.txt",
                             "a-b_c+d=e,f;g!h'(i)&j"}) {
        EXPECT_EQ(manifestPathProblem(path), "") << path;
        EXPECT_TRUE(isSafeManifestPath(path)) << path;
    }
}

TEST(ManifestPathProblem, RefusesWhatTheManifestOrTheAddressWouldChange) {
    for (const char* path : {"", "my file.txt", "tab\there", "line\nfeed", "c:/x", "a:b", "x<y", "dir\\file",
                             "../up", "a/../b", "a/..", "what?.txt", "100%.txt", "#1", "/abs", "manifest.txt",
                             "logs/updater.log", "del\x7f", "Manifest.txt/x", "logs/updater.lock", "a.part",
                             "b.unpacking", "manifest.txt.minisig", "manifest.txt.presence.md5",
                             "manifest.txt.presence.md5.minisig", "assets/updater/update.trust",
                             "assets/updater/update.trust.part", "assets/updater/verified.txt",
                             "Assets/Updater/Verified.txt.new", "data/level.pak.kib-blocks", "dir./file", "file.",
                             "./file", "assets/updater/verified.txt.", "UPDATE~1.TRU", "COM\xC2\xB9.txt"}) {
        EXPECT_NE(manifestPathProblem(path), "") << path;
    }
    // Only the root names are the updater's own.
    EXPECT_EQ(manifestPathProblem("data/manifest.txt"), "");
    EXPECT_EQ(manifestPathProblem("logs/other.log"), "");
}

TEST(ManifestPathProblem, EveryPathTheUpdaterRefusesIsRefusedHereToo) {
    for (const char* path : {"", "/a", "a\\b", "c:x", "..", "a/../b", "a/..", "a./b", "PROGRA~1", "lpt\xC2\xB2"}) {
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

TEST(ManifestPathWarning, NamesThatSomePlayersOrServersCannotHandle) {
    struct Case {
        const char* path;
        // A word the warning must hold, or null for no warning.
        const char* says;
    };
    const Case cases[] = {
        {"kib.exe", nullptr},           {"data/levels.pak", nullptr},      {"ünï/cödé.txt", nullptr},
        {".hidden/a", nullptr},         {"a.b.c", nullptr},                {"include/x.incl", nullptr},
        {"data/.htaccess", "Apache"},   {".htpasswd", "Apache"},           {".ht/readme", nullptr},
        {"scripts/setup.inc", "lighttpd"}, {"notes.txt~", "lighttpd"},     {"a~/b", nullptr},
        {"say \"hi\".txt", "Windows"},  {"star*.txt", "Windows"},          {"pipe|dream", "Windows"},
        {"a>b", "Windows"},
    };
    for (const Case& c : cases) {
        const std::string warning = manifestPathWarning(c.path);
        if (c.says) EXPECT_NE(warning.find(c.says), std::string::npos) << c.path << ": " << warning;
        else EXPECT_EQ(warning, "") << c.path;
    }
    EXPECT_NE(caseClashWarning("Data/Readme.txt", "data/README.TXT"), "");
    EXPECT_EQ(caseClashWarning("data/readme.txt", "data/readme.txt"), "");
    EXPECT_EQ(caseClashWarning("data/readme.txt", "data/readme.txt2"), "");
    EXPECT_EQ(caseClashWarning("data/reaDme.txt", "data/reaXme.txt"), "");
    // Letters beyond ASCII as Windows compares them: "É" is "é", the dotless "ı" is no "I".
    EXPECT_NE(caseClashWarning("data/\xC3\x89mile.txt", "data/\xC3\xA9MILE.txt"), "");
    EXPECT_EQ(caseClashWarning("d\xC4\xB1sk.txt", "DISK.txt"), "");
}
