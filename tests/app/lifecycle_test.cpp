// The real updater binary at start-up and shutdown, without an update server.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <thread>

#include "support/process.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"

namespace {

ProcessOptions headless(const TempDir& game) {
    ProcessOptions options;
    options.workingDirectory = game.path();
    options.setEnv = {{"SDL_VIDEODRIVER", "dummy"}};
    options.unsetEnv = {"DISPLAY", "WAYLAND_DISPLAY"};
    options.timeoutMs = 20000;
    return options;
}

// An address nothing listens on.
const char* const kUnusedAddress = "http://127.0.0.1:9/manifest.txt";

}  // namespace

TEST(Lifecycle, MissingConfigurationShowsTheFatalBoxAndLeavesAnEmptyLog) {
    TempDir game;
    game.write("manifest.txt", "left over");
    const ProcessResult result = runProcess({KIB_UPDATER_PATH}, headless(game));
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err.rfind("Oh no! Problems!\nassets/updater/update.cfg missing.\n\nWhoops, it seems something "
                               "broke, so please try to run the updater again.\n\nIf this problem persists, ask "
                               "for help on ", 0),
              0u)
        << result.err;
    EXPECT_TRUE(game.exists("logs/updater.log"));
    EXPECT_EQ(game.read("logs/updater.log"), "");
    EXPECT_FALSE(game.exists("manifest.txt"));
}

TEST(Lifecycle, QuitEventEndsTheRunPromptlyWithExitCodeZero) {
    TempDir game;
    // A peer that never answers, so the run stays waiting for its manifest.
    UnansweredListener server;
    ASSERT_TRUE(server.started());
    game.write("assets/updater/update.cfg",
               "http://127.0.0.1:" + std::to_string(server.port()) + "/manifest.txt\r\n");
    game.write("logs/updater.log", "a previous run's log\n");
    ChildProcess updater({KIB_UPDATER_PATH}, headless(game));
    // Give it time to open the window and enter the main loop.
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    const auto asked = std::chrono::steady_clock::now();
    updater.sendSignal(SIGTERM);  // SDL turns it into a quit event
    const ProcessResult result = updater.wait(20000);
    const auto took = std::chrono::steady_clock::now() - asked;
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exitCode, 0);
    // Half the 30-second stall that would otherwise end the wait; how fast the answer is
    // belongs to the benchmarks, and Valgrind makes every process slow.
    EXPECT_LT(took, std::chrono::seconds(15));
    // The manifest request was in a worker's hands, not waiting: no box.
    EXPECT_EQ(result.err, "");
    // Each start truncates the log.
    EXPECT_EQ(game.read("logs/updater.log").find("a previous run's log"), std::string::npos);
}

TEST(Lifecycle, VideoThatCannotStartIsLoggedAndEndsWithoutAnyBox) {
    TempDir game;
    game.write("assets/updater/update.cfg", kUnusedAddress);
    ProcessOptions options = headless(game);
    options.setEnv = {{"SDL_VIDEODRIVER", "no-such-driver"}};
    const ProcessResult result = runProcess({KIB_UPDATER_PATH}, options);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(game.read("logs/updater.log").rfind("!SDL_Init: ", 0), 0u) << game.read("logs/updater.log");
}
