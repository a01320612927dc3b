// The kib Updater's entry point. It takes no arguments: everything is relative to the game's
// folder, the working directory.
//
// SDL.h renames main to SDL_main where SDL brings its own entry point (Windows), so this
// signature must stay the one SDL declares.
#include <SDL.h>

#include "app/lifecycle.h"

int main(int, char*[]) {
    // Standard output is reopened onto the log before anything else is done.
    runApplication();
}
