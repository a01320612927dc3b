// The progress window: tiled background, a bar of one-pixel columns, the title on top, and the
// colour animation of the bar. Main thread only; the screen reads the run state, never writes it.
#pragma once

#include <cstdint>

#include "ui/pixels.h"

struct SDL_Surface;

// Hue last applied to the progress picture, in [0, 1].
extern double g_hue;
// SDL_GetTicks time after which the next hue step may happen.
extern uint32_t g_nextHueTick;

// Draws the whole window into g_screen from the three pictures (each may be null: its layer is
// left out) and the run state, then flips it; always true. While downloading it steps the bar's
// hue at most once per 50 ms; after a successful update it draws the full bar in hue 0.294.
// g_screen must be the video surface.
bool drawFrame();

// Copies the rectangle (sourceX, sourceY, width, height) of `picture` to (x, y) of
// `destination` with SDL's blit; a width or height of 0 stands for the picture's own. True
// when SDL reports success; false for a null picture or destination.
bool blitRegion(SDL_Surface* picture, SDL_Surface* destination, int32_t x, int32_t y, int32_t sourceX,
                int32_t sourceY, int32_t width, int32_t height);

// Steps g_hue by 0.01 (back to 0.0 once it passes 1.0) and recolours g_progressImage with it.
void advanceHue();

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
