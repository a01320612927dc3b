// The start-up order, the main loop and its frame, and the shutdown.
#include "app/lifecycle.h"

#include <SDL.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "app/downloads_setup.h"
#include "app/outcome.h"
#include "app/pictures.h"
#include "app/startup.h"
#include "net/download_manager.h"
#include "platform/platform.h"
#include "ui/progress_screen.h"
#include "update/own_files.h"
#include "update/update_run.h"
#include "util/file_system.h"

SDL_Surface* g_screen = nullptr;

namespace {

constexpr int kWindowWidth = 300;
constexpr int kWindowHeight = 50;
// A software surface in a window without frame or title bar.
constexpr Uint32 kVideoFlags = SDL_HWPALETTE | SDL_NOFRAME;
constexpr Uint32 kFramePauseMs = 10;
// The log reaches its file at least this often while the window is open: a kill loses no more.
constexpr auto kLogFlushInterval = std::chrono::milliseconds(200);

// Starts SDL video and opens the 300 by 50 borderless window; false (and a "!" log line) when
// SDL or the video mode cannot be started.
bool initVideo() {
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        std::printf("!SDL_Init: %s\n", SDL_GetError());
        return false;
    }
    g_screen = SDL_SetVideoMode(kWindowWidth, kWindowHeight, 0, kVideoFlags);
    if (!g_screen) {
        std::printf("!g_screen: %s\n", SDL_GetError());
        return false;
    }
    SDL_EnableKeyRepeat(500, 30);
    SDL_ShowCursor(SDL_DISABLE);
    SDL_WM_SetCaption("kib Updater", nullptr);
    return true;
}

// Moves the window to the screen's top-left corner; leaves it when the query fails.
void placeWindow() { platformPlaceWindow(); }

// Drains the event queue; false on Escape or a quit event.
bool pollEvents() {
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        if (event.type == SDL_KEYDOWN && event.key.keysym.sym == SDLK_ESCAPE) return false;
        if (event.type == SDL_QUIT) return false;
    }
    return true;
}

// The share of the longest wait before a retry still to come, 0 when no worker waits.
double retryWaitLeft(const DownloadManager& downloads) {
    const auto now = std::chrono::steady_clock::now();
    double left = 0.0;
    for (const RetryWait& wait : downloads.retryWaits()) {
        const double whole = std::chrono::duration<double>(wait.ends - wait.began).count();
        const double toCome = std::chrono::duration<double>(wait.ends - now).count();
        if (whole > 0 && toCome > 0) left = std::max(left, toCome / whole);
    }
    return left;
}

// The run state as the screen draws it.
ScreenProgress progressOf(const UpdateRun& run, const DownloadManager& downloads) {
    const RunState& state = run.state();
    ScreenProgress progress;
    progress.waitLeft = std::max(run.waitLeft(), retryWaitLeft(downloads));
    progress.downloading = state.UpdatePhase == Downloading;
    progress.updated = state.UpdatePhase == Updated;
    progress.filesFetched = state.FilesFetched;
    progress.filesToFetch = state.FilesToFetch;
    return progress;
}

// From here on every printf of the program goes to the log, which each start truncates. The
// log is made anew, without following a link: a link someone put in its place stays, and the
// lines then stay on standard output rather than go through it. Lines are gathered in blocks
// (a system call per line cost more than the whole check of a game of small files) and flushed
// by time in the main loop, before every box and launch, and on the way out.
void openLog() {
    if (platformRedirectOutput(stdout, kLogPath)) platformWriteInBlocks(stdout);
}

// Flushes the log once kLogFlushInterval has passed since the last time.
void keepLogCurrent(std::chrono::steady_clock::time_point& lastFlush) {
    const auto now = std::chrono::steady_clock::now();
    if (now - lastFlush < kLogFlushInterval) return;
    std::fflush(stdout);
    lastFlush = now;
}

// Hands the run every request the workers finished since the last frame, in the order they
// finished.
void deliverFinished(DownloadManager& downloads, UpdateRun& run) {
    for (DownloadRequest& request : downloads.takeFinished()) run.deliver(request);
}

// The main loop, one frame per iteration: events, finished downloads, the run's next step, the
// window, a 10 ms pause. False when the player quit; true once the run has ended (a successful
// end after the frame that shows the final bar).
bool runMainLoop(DownloadManager& downloads, UpdateRun& run) {
    HueAnimation hue;
    auto lastFlush = std::chrono::steady_clock::time_point();
    for (;;) {
        keepLogCurrent(lastFlush);
        if (!pollEvents()) return false;
        deliverFinished(downloads, run);
        run.advance();
        if (run.state().UpdatePhase == Failed) return true;
        drawFrame(g_screen, screenPictures(), progressOf(run, downloads), hue);
        if (run.ended()) return true;
        SDL_Delay(kFramePauseMs);
    }
}

// The window goes at once: the pictures, then SDL. Safe to call again.
void closeWindow() {
    freePictures();
    SDL_Quit();
    g_screen = nullptr;
}

// The one way out: the window, then the workers (each leaves what it was doing; what they still
// held is dropped as a kill would drop it).
int shutDown(DownloadManager& downloads) {
    closeWindow();
    downloads.stop();
    std::fflush(stdout);
    return 0;
}

// What the player is told of a run that ended, or was stopped with requests still queued.
void reportOutcome(UpdateRun& run) {
    if (run.state().UpdatePhase == Failed)
        showFatalError(run.failure());
    else if (run.ended())
        finishRun(run);
}

}  // namespace

int runApplication() {
    makeDirectories(kLogFolder);
    // One updater per folder: a second one (a double click) would race the first for the same
    // files. It touches nothing, not even the first one's log.
    if (platformLockFile(kLockPath) == PlatformLockResult::Busy) {
        showMessage("Already running!", "Another kib Updater is already updating this folder.");
        return 0;
    }
    openLog();

    DownloadManager downloads;
    configureDownloads(downloads);
    if (!downloads.start(kDownloadWorkers)) {
        // Without a worker nothing queued would ever finish and the window would wait forever.
        std::printf("!Download workers: not one could be started\n");
        showFatalError("Could not start the downloads");
        return shutDown(downloads);
    }
    std::string manifestUrl;
    if (!loadConfig(manifestUrl)) {
        // Before any window exists.
        showFatalError("assets/updater/update.cfg missing.");
        return shutDown(downloads);
    }
    // What was logged so far is on the disk before the window's library takes over the signals.
    std::fflush(stdout);
    if (!initVideo()) return shutDown(downloads);
    placeWindow();
    loadPictures();

    UpdateRun run(downloads, manifestUrl);
    run.start();
    if (!run.ended() && !runMainLoop(downloads, run)) {
        // The player quit. The window goes first, so that it goes at once; requests still queued
        // or not yet delivered end the run as failures (the box then names the first).
        closeWindow();
        run.cancel();
        for (DownloadRequest& request : downloads.stop()) run.deliver(request);
    }
    reportOutcome(run);
    return shutDown(downloads);
}
