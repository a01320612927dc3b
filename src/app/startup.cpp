// Configuration and assets, loaded once at start-up.
#include "app/startup.h"

#include <SDL.h>

#include "app/lifecycle.h"
#include "app/outcome.h"
#include "ui/progress_screen.h"
#include "update/run_state.h"
#include "util/file_system.h"
#include "util/strings.h"

SDL_Surface* g_bgImage = nullptr;
SDL_Surface* g_progressImage = nullptr;
SDL_Surface* g_titleImage = nullptr;

namespace {

const char* const kConfigPath = "assets/updater/update.cfg";
const char* const kVersionQuery = "?ver=0.3.0";

SDL_Surface* loadPicture(const char* path) {
    // The loader closes the stream (and copes with a null one when the file is missing).
    return SDL_LoadBMP_RW(SDL_RWFromFile(path, "rb"), 1);
}

}  // namespace

void loadConfig() {
    std::string content;
    if (!readWholeFile(content, kConfigPath)) fatalError("assets/updater/update.cfg missing.");
    // Every editor ends the file with a line break; inside the request line it would break the
    // request (and let a configuration smuggle in header lines).
    trimWhitespace(content);
    // An address that has a query already ("manifest.txt?channel=beta") gets the version behind '&'.
    ManifestUrl = content.find('?') == std::string::npos ? content + kVersionQuery
                                                         : content + "&" + (kVersionQuery + 1);
}

bool initApplication() {
    g_screen = nullptr;
    g_hue = 0.0;
    g_nextHueTick = 0;
    FilesFetched = 0;
    FilesToFetch = 0;

    loadConfig();
    if (!initVideo()) return false;
    placeWindow();

    g_bgImage = loadPicture("assets/updater/bg.bmp");
    g_progressImage = loadPicture("assets/updater/progress.bmp");
    g_titleImage = loadPicture("assets/updater/title.bmp");
    return true;
}
