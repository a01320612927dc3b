// Starting the game as a real child process, and the ShellExecute-style result codes.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "support/temp_dir.h"

namespace {

// Waits up to five seconds for the started game to leave its mark.
std::string waitForMark(const TempDir& dir, const std::string& name) {
    for (int i = 0; i < 500 && !dir.exists(name); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // The mark's writer may still be busy with it.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return dir.read(name);
}

mode_t modeOf(const std::string& path) {
    struct stat info {};
    stat(path.c_str(), &info);
    return info.st_mode;
}

}  // namespace

TEST(LaunchGame, StartsAFileWithoutExecutePermissionFromTheWorkingDirectory) {
    TempDir dir;
    ScopedWorkingDirectory inside(dir.path());
    // A descriptor of ours that is not close-on-exec, like a socket or the log.
    const int ours = open(dir.file("ours").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(ours, 3);
    const std::string fd = std::to_string(ours);
    dir.write("kib.exe",
              "#!/bin/sh\n"
              "echo chatter\n"
              "out=$(readlink /proc/$$/fd/1)\n"
              "{ echo \"$0 $#\"; echo \"$out\"; [ -e /proc/$$/fd/" + fd + " ] && echo leaked; pwd; } > mark.tmp\n"
              "mv mark.tmp mark\n");
    chmod(dir.file("kib.exe").c_str(), 0644);

    EXPECT_GT(platformLaunchGame("kib.exe"), 32);
    close(ours);
    // Started by its full path in the folder.
    EXPECT_EQ(waitForMark(dir, "mark"), dir.path() + "/kib.exe 0\n/dev/null\n" + dir.path() + "\n");
    EXPECT_EQ(modeOf(dir.file("kib.exe")) & 0777, mode_t(0744));
}

TEST(LaunchGame, ReportsFailuresWithShellExecuteCodes) {
    TempDir dir;
    ScopedWorkingDirectory inside(dir.path());
    EXPECT_EQ(platformLaunchGame("kib.exe"), 2);

    // A script without "#!" is no program the kernel can start; it must not be run by a shell.
    dir.write("kib.exe", "echo ran > mark\n");
    EXPECT_EQ(platformLaunchGame("kib.exe"), 11);
    // A Windows executable, as the release may well hold.
    dir.write("kib.exe", std::string("MZ\x90\0\3\0\0\0", 8) + patternBytes(200));
    EXPECT_EQ(platformLaunchGame("kib.exe"), 11);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(dir.exists("mark"));

    // Not a regular file: left alone, and refused by exec.
    unlink("kib.exe");
    mkdir("kib.exe", 0755);
    EXPECT_EQ(platformLaunchGame("kib.exe"), 5);
    EXPECT_EQ(modeOf(dir.file("kib.exe")) & 0777, mode_t(0755));
}

TEST(LaunchGame, NeverSearchesThePath) {
    TempDir dir;
    ScopedWorkingDirectory inside(dir.path());
    // "sh" exists on PATH, not here.
    EXPECT_EQ(platformLaunchGame("sh"), 2);
}
