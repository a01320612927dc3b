// The rule for manifest paths: nothing a manifest names may reach outside the game's folder, on
// any system the one manifest serves.
#include "update/manifest_path.h"

#include <gtest/gtest.h>

TEST(ManifestPath, AcceptsRelativeNamesAtAnyDepth) {
    for (const char* path : {"kib.exe", "data/levels/1.pak", ".hidden", "a..b/c..d", "x.gz", "d/", "console.txt",
                             "com10", "lpt0.dat", "nul_file", "auxiliary/x", "com\xC2\xB9x", "notes~", "a~/b",
                             "x~1y", "~.txt", "v1.0~beta"})
        EXPECT_TRUE(isSafeManifestPath(path)) << path;
}

TEST(ManifestPath, RefusesWhatLeavesTheFolderOnAnySystem) {
    for (const std::string path : {"", "/abs", "//server/share/x", "..", "../x", "a/../../x", "a/..",
                                   // Windows: drive letters, backslashes and named streams.
                                   "c:/windows/x", "C:x", "a/c:", "kib.exe:stream", "a\\..\\..\\x", "\\x",
                                   "\\\\server\\share\\x",
                                   // Windows devices, in any folder, case and extension.
                                   "con", "NUL.txt", "data/Aux.pak", "prn/x", "com1", "LPT9.log", "con .txt",
                                   "conout$", "COM\xC2\xB9", "lpt\xC2\xB2.txt", "data/Com\xC2\xB3.pak",
                                   // Windows: names it drops a trailing dot or space from, or
                                   // reads as a short 8.3 name of some other file.
                                   "assets/updater/verified.txt.", "x.pak.part.", "a..b/c..", "./c.txt",
                                   "data./x", "name ", "dir /x", "UPDATE~1.TRU", "data/PROGRA~12/x", "x~1"})
        EXPECT_FALSE(isSafeManifestPath(path)) << path;
    EXPECT_FALSE(isSafeManifestPath(std::string("x\0y", 3)));
}
