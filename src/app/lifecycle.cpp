// Start-up, the main loop and the single shutdown path.
#include "app/lifecycle.h"

#include <SDL.h>

#include <cstdio>
#include <cstdlib>

#include "app/outcome.h"
#include "app/startup.h"
#include "net/download_manager.h"
#include "net/proxy.h"
#include "platform/platform.h"
#include "ui/progress_screen.h"
#include "update/manifest_request.h"
#include "update/run_state.h"
#include "util/file_system.h"

SDL_Surface* g_screen = nullptr;

namespace {

constexpr int kWorkerThreads = 5;
constexpr int kWindowWidth = 300;
constexpr int kWindowHeight = 50;
// A software surface in a window without frame or title bar.
constexpr Uint32 kVideoFlags = SDL_HWPALETTE | SDL_NOFRAME;
// Shortens the wait for a server that stopped sending (tests use it to stay fast); the
// manager's own 30 seconds hold otherwise.
const char* const kStallTimeoutVariable = "KIB_STALL_TIMEOUT_MS";
// Shortens the wait before a retry (tests use it to stay fast); 1, 2 and 4 seconds otherwise.
const char* const kRetryDelayVariable = "KIB_RETRY_DELAY_MS";

// A variable's milliseconds, or -1 when it is unset or no number in 0..3600000.
long millisecondsFrom(const char* variable) {
    const char* value = std::getenv(variable);
    if (!value) return -1;
    char* end = nullptr;
    const long milliseconds = std::strtol(value, &end, 10);
    if (end != value && *end == '\0' && milliseconds >= 0 && milliseconds <= 3600000) return milliseconds;
    return -1;
}

void applyTestTimings(DownloadManager& manager) {
    const long stall = millisecondsFrom(kStallTimeoutVariable);
    if (stall > 0) manager.setStallTimeout(int(stall));
    const long retry = millisecondsFrom(kRetryDelayVariable);
    if (retry >= 0) manager.setRetryDelay(int(retry));
}

}  // namespace

void runApplication() {
    makeDirectories("logs");
    // From here on every printf of the program goes to the log, which each start truncates.
    if (std::freopen("logs/updater.log", "w", stdout)) platformWriteByLine(stdout);

    DownloadManager* manager = new DownloadManager();
    manager->setMaxBytes(0);
    applyTestTimings(*manager);
    manager->setProxy(proxySettingsFromSystem());
    manager->start(kWorkerThreads);

    if (initApplication()) {
        requestManifest();
        while (runFrame()) {
        }
    }
    shutdownAndExit();
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
    while (SDL_PollEvent(&event)) {
        if (event.type == SDL_KEYDOWN && event.key.keysym.sym == SDLK_ESCAPE) return false;
        if (event.type == SDL_QUIT) return false;
    }
    return true;
}

bool runFrame() {
    if (!pollEvents()) return false;
    g_downloadManager.load()->deliverFinished();
    drawFrame();
    // The frame just drawn already shows the final bar; the outcome box comes after it.
    if (UpdatePhase > Failed) finishRun();
    SDL_Delay(10);
    return true;
}

void shutdownAndExit() {
    // The destructor clears g_downloadManager before it hands undelivered requests to their
    // failure callbacks; the fatal error those raise re-enters here and skips this step.
    if (DownloadManager* manager = g_downloadManager.load()) delete manager;
    for (SDL_Surface** picture : {&g_bgImage, &g_progressImage, &g_titleImage}) {
        if (*picture) SDL_FreeSurface(*picture);
        *picture = nullptr;
    }
    SDL_Quit();
    std::exit(0);
}
