// Real SDL software surfaces for the drawing tests, freed when they go out of scope.
#pragma once

#include <SDL.h>

#include <memory>

struct SurfaceFree {
    void operator()(SDL_Surface* surface) const { SDL_FreeSurface(surface); }
};
using SurfacePtr = std::unique_ptr<SDL_Surface, SurfaceFree>;

// A zeroed surface of 1 (palette of gradually brighter greys, entry 0 black), 2 (5-6-5), 3
// (bytes blue, green, red in memory) or 4 (bytes r, g, b, a in memory) bytes per pixel.
inline SurfacePtr makeSurface(int bytesPerPixel, int width, int height) {
    SDL_Surface* surface = nullptr;
    switch (bytesPerPixel) {
    case 1: {
        surface = SDL_CreateRGBSurface(SDL_SWSURFACE, width, height, 8, 0, 0, 0, 0);
        SDL_Color palette[256];
        for (int i = 0; i < 256; ++i) palette[i] = SDL_Color{Uint8(i), Uint8(i), Uint8(i), 0};
        // A few saturated entries, so that colours are not all grey.
        palette[200] = SDL_Color{255, 0, 0, 0};
        palette[201] = SDL_Color{0, 255, 0, 0};
        palette[202] = SDL_Color{0, 0, 255, 0};
        if (surface) SDL_SetColors(surface, palette, 0, 256);
        break;
    }
    case 2:
        surface = SDL_CreateRGBSurface(SDL_SWSURFACE, width, height, 16, 0xF800, 0x07E0, 0x001F, 0);
        break;
    case 3:
        surface = SDL_CreateRGBSurface(SDL_SWSURFACE, width, height, 24, 0xFF0000, 0x00FF00, 0x0000FF, 0);
        break;
    case 4:
        surface = SDL_CreateRGBSurface(SDL_SWSURFACE, width, height, 32, 0x000000FF, 0x0000FF00, 0x00FF0000,
                                       0xFF000000);
        break;
    default:
        break;
    }
    return SurfacePtr(surface);
}
