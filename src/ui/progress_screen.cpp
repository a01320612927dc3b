// Placeholder until the progress screen lands: shows an empty window.
#include "ui/progress_screen.h"

#include <SDL.h>

#include "app/lifecycle.h"

double g_hue = 0.0;
uint32_t g_nextHueTick = 0;

bool drawFrame() {
    if (g_screen) SDL_Flip(g_screen);
    return true;
}
