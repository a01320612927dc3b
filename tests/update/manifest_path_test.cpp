// The rule for manifest paths: nothing a manifest names may reach outside the game's folder, on
// any system the one manifest serves.
#include "update/manifest_path.h"

#include <gtest/gtest.h>

TEST(ManifestPath, AcceptsRelativeNamesAtAnyDepth) {
    for (const char* path : {"kib.exe", "data/levels/1.pak", ".hidden", "a..b/c..", "./c.txt", "x.gz", "d/",
                             "console.txt", "com10", "lpt0.dat", "nul_file", "auxiliary/x"})
        EXPECT_TRUE(isSafeManifestPath(path)) << path;
}

TEST(ManifestPath, RefusesWhatLeavesTheFolderOnAnySystem) {
    for (const std::string path : {"", "/abs", "//server/share/x", "..", "../x", "a/../../x", "a/..",
                                   // Windows: drive letters, backslashes and named streams.
                                   "c:/windows/x", "C:x", "a/c:", "kib.exe:stream", "a\\..\\..\\x", "\\x",
                                   "\\\\server\\share\\x",
                                   // Windows devices, in any folder, case and extension.
                                   "con", "NUL.txt", "data/Aux.pak", "prn/x", "com1", "LPT9.log", "con .txt",
                                   "conout$"})
        EXPECT_FALSE(isSafeManifestPath(path)) << path;
    EXPECT_FALSE(isSafeManifestPath(std::string("x\0y", 3)));
}
