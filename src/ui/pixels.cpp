// Pixel access on SDL surfaces: address arithmetic and the four pixel sizes.
#include "ui/pixels.h"

#include <SDL.h>

#include <cstring>

namespace {

const uint8_t* pixelAddress(const SDL_Surface* surface, int32_t x, int32_t y) {
    return static_cast<const uint8_t*>(surface->pixels) + y * surface->pitch +
           x * surface->format->BytesPerPixel;
}

uint8_t* pixelAddress(SDL_Surface* surface, int32_t x, int32_t y) {
    return static_cast<uint8_t*>(surface->pixels) + y * surface->pitch + x * surface->format->BytesPerPixel;
}

bool insideClip(const SDL_Rect& clip, int32_t x, int32_t y) {
    return int32_t(clip.x) <= x && x < int32_t(clip.x) + int32_t(clip.w) && int32_t(clip.y) <= y &&
           y < int32_t(clip.y) + int32_t(clip.h);
}

// A 3-byte pixel keeps each component in the byte at offset shift / 8. A component whose
// offset lies past the pixel (an alpha shift of 24 on a 24-bit format) has no byte of its own:
// writing it would spill into the next pixel or past the end of the pixel memory.
void storeComponent(uint8_t* pixel, uint32_t mapped, uint8_t shift) {
    const unsigned offset = shift / 8;
    if (offset < 3) pixel[offset] = uint8_t(mapped >> shift);
}

}  // namespace

uint32_t readPixelValue(const SDL_Surface* surface, int32_t x, int32_t y) {
    if (!surface) return 0;
    if (x >= surface->w || y >= surface->h || x < 0 || y < 0) return 0;
    const uint8_t* pixel = pixelAddress(surface, x, y);
    switch (surface->format->BytesPerPixel) {
    case 1:
        return *pixel;
    case 2: {
        uint16_t value;
        std::memcpy(&value, pixel, sizeof value);
        return value;
    }
    case 3:
        return uint32_t(pixel[0]) | uint32_t(pixel[1]) << 8 | uint32_t(pixel[2]) << 16;
    case 4: {
        uint32_t value;
        std::memcpy(&value, pixel, sizeof value);
        return value;
    }
    default:
        return 0;
    }
}

Colour getPixelColour(const SDL_Surface* surface, int32_t x, int32_t y) {
    Colour colour(0, 0, 0, 255);
    if (!surface) return colour;
    SDL_GetRGBA(readPixelValue(surface, x, y), surface->format, &colour.r, &colour.g, &colour.b, &colour.a);
    return colour;
}

int writePixel(SDL_Surface* surface, int32_t x, int32_t y, uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
    if (!surface) return 0;
    if (!insideClip(surface->clip_rect, x, y)) return 0;
    const SDL_PixelFormat* format = surface->format;
    const uint32_t mapped = SDL_MapRGBA(surface->format, r, g, b, a);
    uint8_t* pixel = pixelAddress(surface, x, y);
    switch (format->BytesPerPixel) {
    case 1:
        *pixel = uint8_t(mapped);
        break;
    case 2: {
        const uint16_t value = uint16_t(mapped);
        std::memcpy(pixel, &value, sizeof value);
        break;
    }
    case 3:
        storeComponent(pixel, mapped, format->Rshift);
        storeComponent(pixel, mapped, format->Gshift);
        storeComponent(pixel, mapped, format->Bshift);
        storeComponent(pixel, mapped, format->Ashift);
        break;
    case 4:
        std::memcpy(pixel, &mapped, sizeof mapped);
        break;
    default:
        break;
    }
    return 1;
}

int setPixelColour(SDL_Surface* surface, int32_t x, int32_t y, uint32_t packedColour) {
    return writePixel(surface, x, y, uint8_t(packedColour), uint8_t(packedColour >> 8),
                      uint8_t(packedColour >> 16), uint8_t(packedColour >> 24));
}
