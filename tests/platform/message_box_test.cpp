// The message box on a desktop: shown with a dialog program, and the updater waits for it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "support/process.h"
#include "support/temp_dir.h"
#include "support/xvfb.h"

namespace {

bool stillRunning(pid_t pid) {
    // A child that has ended but is not yet reaped shows as a zombie ("Z").
    const std::string stat = readFileBytes("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

}  // namespace

TEST(MessageBox, OnADesktopTheUpdaterWaitsUntilTheBoxIsClosed) {
    XvfbDisplay display;
    ASSERT_TRUE(display.started()) << display.error();
    TempDir game;
    // Only xmessage on PATH, so the test does not depend on which dialog programs are installed.
    TempDir bin;
    std::filesystem::create_symlink("/usr/bin/xmessage", bin.file("xmessage"));

    ProcessOptions options;
    options.workingDirectory = game.path();
    options.setEnv = {{"DISPLAY", display.name()}, {"PATH", bin.path()}, {"SDL_VIDEODRIVER", "dummy"}};
    options.unsetEnv = {"WAYLAND_DISPLAY"};
    options.timeoutMs = 20000;
    ChildProcess updater({KIB_UPDATER_PATH}, options);

    const std::string caption = "Oh no! Problems!";
    ASSERT_TRUE(waitUntil([&] { return windowByName(display, caption).found; }, 10000))
        << "no box on the display; stderr: " << updater.errorSoFar();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(stillRunning(updater.pid())) << "the updater went on while its box was open";

    display.run({"xdotool", "search", "--name", caption, "windowkill"});
    const ProcessResult result = updater.wait(10000);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err.rfind(caption + "\nassets/updater/update.cfg missing.\n", 0), 0u) << result.err;
}
