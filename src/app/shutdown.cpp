// The single shutdown path.
#include "app/shutdown.h"

#include <SDL.h>

#include <cstdlib>

#include "app/download_service.h"
#include "app/pictures.h"

void shutdownAndExit() {
    // The window goes first, so a player who stops the updater sees it go at once; the workers
    // then leave what they were doing (removing a large half-unpacked file takes a moment).
    freePictures();
    SDL_Quit();
    // The manager's failure callbacks raise a fatal error that re-enters here; that nested
    // call skips the manager, which is already being destroyed.
    stopDownloadService();
    std::exit(0);
}
