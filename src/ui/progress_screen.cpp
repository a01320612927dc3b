// The progress screen drawn every frame, and the hue animation of its bar.
#include "ui/progress_screen.h"

#include <SDL.h>

namespace {

// Copies the rectangle (sourceX, sourceY, width, height) of `picture` to (x, y) of
// `destination` with SDL's blit; a width or height of 0 stands for the picture's own. True
// when SDL reports success; false for a null picture or destination.
bool blitRegion(SDL_Surface* picture, SDL_Surface* destination, int32_t x, int32_t y, int32_t sourceX,
                int32_t sourceY, int32_t width, int32_t height) {
    if (!picture || !destination) return false;
    SDL_Rect source;
    source.x = Sint16(sourceX);
    source.y = Sint16(sourceY);
    source.w = Uint16(width == 0 ? picture->w : width);
    source.h = Uint16(height == 0 ? picture->h : height);
    SDL_Rect target;
    target.x = Sint16(x);
    target.y = Sint16(y);
    target.w = source.w;
    target.h = source.h;
    return SDL_BlitSurface(picture, &source, destination, &target) == 0;
}

// The background picture: three 7-pixel pieces, the middle one repeated across the window.
constexpr int32_t kPieceWidth = 7;
constexpr int32_t kBackgroundHeight = 50;
constexpr int32_t kLastMiddlePieceX = 292;
constexpr int32_t kRightEndX = 293;

// The bar: one 1 by 16 column of the progress picture per pixel of length.
constexpr int32_t kBarLength = 288;
constexpr int32_t kBarX = 6;
constexpr int32_t kBarY = 26;
constexpr int32_t kBarSourceX = 1;
constexpr int32_t kBarHeight = 16;

constexpr double kHueStep = 0.01;
// Recolouring converts every pixel of the picture twice; doing it every 10 ms frame would be
// wasted work and cycle the colours too fast to look at.
constexpr uint32_t kHueStepIntervalMs = 50;
constexpr double kFinishedHue = 0.294;

void drawBackground(SDL_Surface* background, SDL_Surface* screen) {
    blitRegion(background, screen, 0, 0, 0, 0, kPieceWidth, kBackgroundHeight);
    for (int32_t x = kPieceWidth; x <= kLastMiddlePieceX; x += kPieceWidth)
        blitRegion(background, screen, x, 0, kPieceWidth, 0, kPieceWidth, kBackgroundHeight);
    blitRegion(background, screen, kRightEndX, 0, 2 * kPieceWidth, 0, kPieceWidth, kBackgroundHeight);
}

// The bar's length for this frame; steps or fixes the bar's colour on the way.
int32_t prepareBar(SDL_Surface* bar, const ScreenProgress& progress, HueAnimation& animation) {
    if (progress.filesToFetch > 0 && progress.downloading) {
        // Truncated, so the bar is full only once every file has arrived.
        int32_t length = int32_t(double(kBarLength) * progress.filesFetched / progress.filesToFetch);
        if (length > kBarLength) length = kBarLength;
        if (animation.nextHueTick < SDL_GetTicks()) {
            advanceHue(bar, animation);
            animation.nextHueTick = SDL_GetTicks() + kHueStepIntervalMs;
        }
        return length;
    }
    if (progress.updated) {
        recolourSurface(bar, kFinishedHue);
        return kBarLength;
    }
    return 0;
}

// The wait's dotted columns at the end of the bar, `length` pixels of which show progress.
void drawWait(SDL_Surface* bar, SDL_Surface* screen, int32_t length, double waitLeft) {
    if (waitLeft <= 0.0) return;
    const int32_t span = length < kBarLength ? kBarLength - length : kBarLength;
    const int32_t dots = int32_t(span * (waitLeft > 1.0 ? 1.0 : waitLeft));
    for (int32_t i = 0; i < dots; i += 2)
        blitRegion(bar, screen, kBarX + kBarLength - 1 - i, kBarY, kBarSourceX, 0, 1, kBarHeight);
}

}  // namespace

void drawFrame(SDL_Surface* screen, const ScreenPictures& pictures, const ScreenProgress& progress,
               HueAnimation& animation) {
    if (pictures.background) drawBackground(pictures.background, screen);
    if (pictures.progress) {
        const int32_t length = prepareBar(pictures.progress, progress, animation);
        for (int32_t i = 0; i < length; ++i)
            blitRegion(pictures.progress, screen, kBarX + i, kBarY, kBarSourceX, 0, 1, kBarHeight);
        drawWait(pictures.progress, screen, length, progress.waitLeft);
    }
    // No colour key is set on any picture: the title hides whatever part of the bar it overlaps.
    if (pictures.title) blitRegion(pictures.title, screen, 0, 0, 0, 0, 0, 0);
    SDL_Flip(screen);
}

void advanceHue(SDL_Surface* bar, HueAnimation& animation) {
    animation.hue += kHueStep;
    if (animation.hue > 1.0) animation.hue = 0.0;
    recolourSurface(bar, animation.hue);
}

void recolourSurface(SDL_Surface* surface, double hue) {
    if (!surface) return;
    if (hue > 1.0) hue = 0.0;
    for (int32_t y = 0; y < surface->h; ++y) {
        for (int32_t x = 0; x < surface->w; ++x) {
            Colour colour = getPixelColour(surface, x, y);
            const Hsl hsl = rgbToHsl(colour);
            hslToRgb(hue, hsl.s, hsl.l, colour);
            setPixelColour(surface, x, y, colour.packed());
        }
    }
}

Hsl rgbToHsl(const Colour& colour) {
    const double r = colour.r / 255.0;
    const double g = colour.g / 255.0;
    const double b = colour.b / 255.0;
    Hsl hsl{0.0, 0.0, 0.0};
    double v = r > g ? r : g;
    v = v > b ? v : b;
    double m = r < g ? r : g;
    m = m < b ? m : b;
    hsl.l = (m + v) / 2.0;
    if (hsl.l <= 0.0) return hsl;
    const double vm = v - m;
    if (vm <= 0.0) return hsl;
    hsl.s = hsl.l <= 0.5 ? vm / (v + m) : vm / (2.0 - v - m);
    const double r2 = (v - r) / vm;
    const double g2 = (v - g) / vm;
    const double b2 = (v - b) / vm;
    double h;
    if (r == v)
        h = g == m ? 5.0 + b2 : 1.0 - g2;
    else if (g == v)
        h = b == m ? 1.0 + r2 : 3.0 - b2;
    else
        h = r == m ? 3.0 + g2 : 5.0 - r2;
    hsl.h = h / 6.0;
    return hsl;
}

void hslToRgb(double h, double s, double l, Colour& colour) {
    double red = l;
    double green = l;
    double blue = l;
    const double v = l <= 0.5 ? l * (1.0 + s) : (l + s) - l * s;
    if (v > 0.0) {
        const double m = l + l - v;
        const double sv = (v - m) / v;
        const double h6 = h * 6.0;
        const int sextant = int(h6);
        const double fraction = h6 - sextant;
        const double vsf = v * sv * fraction;
        const double mid1 = m + vsf;
        const double mid2 = v - vsf;
        switch (sextant) {
        case 0: red = v; green = mid1; blue = m; break;
        case 1: red = mid2; green = v; blue = m; break;
        case 2: red = m; green = v; blue = mid1; break;
        case 3: red = m; green = mid2; blue = v; break;
        case 4: red = mid1; green = m; blue = v; break;
        case 5: red = v; green = m; blue = mid2; break;
        default: break;  // a hue of exactly 1.0 keeps the grey
        }
    }
    colour.r = uint8_t(int(255.0 * red));
    colour.g = uint8_t(int(255.0 * green));
    colour.b = uint8_t(int(255.0 * blue));
}
