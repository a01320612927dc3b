// The kib Updater's entry point. It takes no arguments but --version: everything is relative to
// the game's folder, the working directory.
//
// SDL.h renames main to SDL_main where SDL brings its own entry point (Windows), so this
// signature must stay the one SDL declares.
#include <SDL.h>

#include <cstdio>
#include <cstring>

#include "app/lifecycle.h"

int main(int argc, char* argv[]) {
    // For packagers and support; any other argument is ignored, as it always was.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("kib-updater %s\n", KIB_VERSION);
        return 0;
    }
    // Standard output is reopened onto the log before anything else is done.
    return runApplication();
}
