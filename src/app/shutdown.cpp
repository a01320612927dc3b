// The single shutdown path.
#include "app/shutdown.h"

#include <SDL.h>

#include <cstdlib>

#include "app/download_service.h"
#include "app/pictures.h"

void shutdownAndExit() {
    // The manager's failure callbacks raise a fatal error that re-enters here; that nested
    // call skips the manager, which is already being destroyed.
    stopDownloadService();
    freePictures();
    SDL_Quit();
    std::exit(0);
}
