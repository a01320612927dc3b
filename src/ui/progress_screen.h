// The progress window: tiled background, a bar of one-pixel columns, the title on top, and the
// colour animation of the bar. Main thread only; the screen draws what it is handed, and the
// animation's state is its caller's.
#pragma once

#include <cstdint>

#include "ui/pixels.h"

struct SDL_Surface;

// The bar's colour animation, kept by whoever draws the frames; as made, it is at hue 0 with the
// next step due at once, as at the start of a run.
struct HueAnimation {
    // Hue last applied to the progress picture, in [0, 1].
    double hue = 0.0;
    // SDL_GetTicks time after which the next hue step may happen.
    uint32_t nextHueTick = 0;
};

// The pictures a frame is drawn from; each may be null, and its layer is then left out. The
// screen recolours `progress` in place but owns none of them.
struct ScreenPictures {
    SDL_Surface* background = nullptr;
    SDL_Surface* progress = nullptr;
    SDL_Surface* title = nullptr;
};

// What the bar shows.
struct ScreenProgress {
    // Files are arriving: the bar's share is filesFetched / filesToFetch and its hue cycles.
    bool downloading = false;
    // The update succeeded: the full bar in its fixed hue.
    bool updated = false;
    int32_t filesFetched = 0;
    int32_t filesToFetch = 0;
    // While the run waits (for a server before it tries again, for a file another program
    // holds), the share of the wait still to come, from 1 down to 0; 0 when nothing waits.
    double waitLeft = 0.0;
};

// Draws the whole window into `screen` (the video surface) from the pictures and the progress,
// then flips it. While downloading it steps the bar's hue (`animation`) at most once per 50 ms;
// after a successful update it draws the full bar in hue 0.294. A wait shows at the bar's end,
// as every other column of its free part (of the whole bar when none is free) over the share
// of it that `waitLeft` gives, so that the player sees it drain rather than a frozen window.
void drawFrame(SDL_Surface* screen, const ScreenPictures& pictures, const ScreenProgress& progress,
               HueAnimation& animation);

// Steps the hue by 0.01 (back to 0.0 once it passes 1.0) and recolours `bar` (may be null) with it.
void advanceHue(SDL_Surface* bar, HueAnimation& animation);

// Gives every pixel of `surface` the hue `hue` (0.0 when above 1.0), keeping its saturation,
// lightness and alpha. Overwrites the pixels in place; does not lock the surface.
void recolourSurface(SDL_Surface* surface, double hue);

// Hue, saturation and lightness, each in [0, 1].
struct Hsl {
    double h;
    double s;
    double l;
};

// The colour's red, green and blue as hue, saturation and lightness. Grey, black and white
// have hue and saturation 0.
Hsl rgbToHsl(const Colour& colour);

// Sets the red, green and blue bytes of `colour` from hue, saturation and lightness; leaves its
// alpha. A hue of exactly 1.0 gives the grey of the lightness.
void hslToRgb(double h, double s, double l, Colour& colour);
