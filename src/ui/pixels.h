// Reading and writing single pixels of SDL surfaces of 1, 2, 3 or 4 bytes per pixel.
// None of these lock the surface: they are meant for plain software surfaces such as pictures
// loaded from files. Call them from the thread that owns the surface (the main thread here).
#pragma once

#include <cstdint>

struct SDL_Surface;

// A colour as four bytes; a = 255 is opaque.
struct Colour {
    uint8_t r;
    uint8_t g;
    uint8_t b;
    uint8_t a;

    Colour(uint8_t red, uint8_t green, uint8_t blue, uint8_t alpha) : r(red), g(green), b(blue), a(alpha) {}

    // r + g * 2^8 + b * 2^16 + a * 2^24: the form setPixelColour takes.
    uint32_t packed() const {
        return uint32_t(r) | uint32_t(g) << 8 | uint32_t(b) << 16 | uint32_t(a) << 24;
    }
};

// The raw pixel value at (x, y) in the surface's own format; 0 outside the surface (its size is
// the bound, not the clip rectangle), for a null surface, or for a pixel size other than 1 to 4
// bytes.
uint32_t readPixelValue(const SDL_Surface* surface, int32_t x, int32_t y);

// The pixel at (x, y) as a colour. Opaque black for a null surface; outside the surface, the
// colour that the raw value 0 stands for in the surface's format.
Colour getPixelColour(const SDL_Surface* surface, int32_t x, int32_t y);

// Replaces the pixel at (x, y) with the colour mapped into the surface's format (nearest
// palette entry on a 1-byte surface); never blends. 1 when the pixel lies inside the clip
// rectangle, 0 (and nothing touched) outside it or for a null surface. A pixel size other than
// 1 to 4 bytes stores nothing but still counts as inside.
int writePixel(SDL_Surface* surface, int32_t x, int32_t y, uint8_t r, uint8_t g, uint8_t b, uint8_t a);

// writePixel with the colour given packed (see Colour::packed).
int setPixelColour(SDL_Surface* surface, int32_t x, int32_t y, uint32_t packedColour);
