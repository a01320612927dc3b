// The progress window: tiled background, a bar of one-pixel columns, the title on top.
// Main thread only.
#pragma once

#include <cstdint>

struct SDL_Surface;

// Hue last applied to the progress picture, in [0, 1].
extern double g_hue;
// SDL_GetTicks time after which the next hue step may happen.
extern uint32_t g_nextHueTick;

// Draws the whole window from the run state and flips it; always true.
bool drawFrame();
