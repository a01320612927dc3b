// The kib Updater's entry point. It takes no arguments: everything is relative to the game's
// folder, the working directory.
#include <SDL.h>

#include "app/lifecycle.h"

int main(int, char**) {
    runApplication();
}
