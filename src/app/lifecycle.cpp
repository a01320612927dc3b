// The start-up order, the main loop and its frame.
#include "app/lifecycle.h"

#include <SDL.h>

#include <cstdio>

#include "app/download_service.h"
#include "app/outcome.h"
#include "app/pictures.h"
#include "app/shutdown.h"
#include "app/startup.h"
#include "net/download_manager.h"
#include "platform/platform.h"
#include "ui/progress_screen.h"
#include "update/failure_sink.h"
#include "update/local_digests.h"
#include "update/manifest_request.h"
#include "update/own_files.h"
#include "update/run_state.h"
#include "update/transfers.h"
#include "util/file_system.h"

SDL_Surface* g_screen = nullptr;

namespace {

constexpr int kWindowWidth = 300;
constexpr int kWindowHeight = 50;
// A software surface in a window without frame or title bar.
constexpr Uint32 kVideoFlags = SDL_HWPALETTE | SDL_NOFRAME;

// The run state as the screen draws it.
ScreenProgress currentProgress() {
    ScreenProgress progress;
    progress.downloading = UpdatePhase == Downloading;
    progress.updated = UpdatePhase == Updated;
    progress.filesFetched = FilesFetched;
    progress.filesToFetch = FilesToFetch;
    return progress;
}

// Set once the player pressed Escape or closed the window; every later poll answers the same.
bool quitAsked = false;

// While the comparison waits for files being hashed, the window still redraws and answers.
bool answerWhileHashing() {
    if (!pollEvents()) return false;
    drawFrame(g_screen, screenPictures(), currentProgress());
    return true;
}

}  // namespace

void runApplication() {
    makeDirectories(kLogFolder);
    // One updater per folder: a second one (a double click) would race the first for the same
    // files. It touches nothing, not even the first one's log.
    if (platformLockFile(kLockPath) == PlatformLockResult::Busy) {
        showMessage("Already running!", "Another kib Updater is already updating this folder.");
        std::exit(0);
    }
    // From here on every printf of the program goes to the log, which each start truncates.
    // The log is made anew first, without following a link: a link someone put in its place
    // stays, and the lines then stay on standard output rather than go through it.
    if (std::FILE* log = platformOpenFile(kLogPath, PlatformOpenMode::Write)) {
        std::fclose(log);
        if (std::freopen(kLogPath, "w", stdout)) platformWriteByLine(stdout);
    }

    // The update engine's failures end the run through the fatal-error box.
    setFailureSink(fatalError);
    if (!startDownloadService()) {
        // Without a worker nothing queued would ever finish and the window would wait forever.
        std::printf("!SDL_CreateThread: %s\n", SDL_GetError());
        fatalError("Could not start the downloads");
    }

    if (initApplication()) {
        setHashingWaitHook(answerWhileHashing);
        requestManifest();
        while (runFrame()) {
        }
    }
    shutdownAndExit();
}

bool initApplication() {
    g_screen = nullptr;
    quitAsked = false;
    resetHue();
    resetTransfers();
    FilesFetched = 0;
    FilesToFetch = 0;

    loadConfig();
    if (!initVideo()) return false;
    placeWindow();
    loadPictures();
    return true;
}

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

void placeWindow() { platformPlaceWindow(); }

bool pollEvents() {
    SDL_Event event;
    while (!quitAsked && SDL_PollEvent(&event)) {
        if (event.type == SDL_KEYDOWN && event.key.keysym.sym == SDLK_ESCAPE) quitAsked = true;
        if (event.type == SDL_QUIT) quitAsked = true;
    }
    return !quitAsked;
}

bool runFrame() {
    if (!pollEvents()) return false;
    g_downloadManager.load()->deliverFinished();
    drawFrame(g_screen, screenPictures(), currentProgress());
    // The frame just drawn already shows the final bar; the outcome box comes after it.
    if (UpdatePhase > Failed) finishRun();
    SDL_Delay(10);
    return true;
}
