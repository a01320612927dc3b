// Draws the updater's default pictures (bg.bmp, progress.bmp, title.bmp) into a folder.
// Usage: kib-make-pictures OUTPUT_FOLDER   (the repository keeps its output in assets/updater)
//
// The pictures are 24-bit bitmaps: the bar's colour animation recolours the progress picture
// pixel by pixel, which a palette would quantise to its nearest entries.
#include <SDL.h>

#include <cstdio>
#include <string>

#include "ui/pixels.h"
#include "ui/progress_screen.h"

namespace {

// The window's layout, as the progress screen draws it: the bar's trough sits behind rows 26
// to 41 and columns 6 to 293, so its border lies one pixel outside that.
constexpr int kBackgroundWidth = 21;
constexpr int kBackgroundHeight = 50;
constexpr int kTroughTop = 25;
constexpr int kTroughBottom = 42;
constexpr int kLeftTroughBorderX = 5;
constexpr int kRightTroughBorderX = 15;

const Colour kPanelTop(44, 54, 82, 255);
const Colour kPanelBottom(20, 24, 38, 255);
const Colour kPanelLight(96, 110, 150, 255);
const Colour kPanelShadow(8, 10, 16, 255);
const Colour kHatch(54, 66, 98, 255);
const Colour kTrough(10, 12, 18, 255);
const Colour kTroughBorder(70, 82, 118, 255);
const Colour kLetter(236, 238, 246, 255);
const Colour kLetterShadow(6, 8, 12, 255);

SDL_Surface* newPicture(int width, int height) {
    // Blue in the lowest byte: the byte order of a 24-bit Windows bitmap.
    return SDL_CreateRGBSurface(SDL_SWSURFACE, width, height, 24, 0xFF0000, 0x00FF00, 0x0000FF, 0);
}

void put(SDL_Surface* picture, int x, int y, const Colour& colour) {
    writePixel(picture, x, y, colour.r, colour.g, colour.b, colour.a);
}

Colour blend(const Colour& from, const Colour& to, double t) {
    auto mix = [t](uint8_t a, uint8_t b) { return uint8_t(a + (b - a) * t + 0.5); };
    return Colour(mix(from.r, to.r), mix(from.g, to.g), mix(from.b, to.b), 255);
}

// The panel's vertical gradient, the same in the background and behind the title's letters,
// so that the title reads as text on the window.
Colour panelAt(int y) { return blend(kPanelTop, kPanelBottom, y / double(kBackgroundHeight - 1)); }

// Columns 0 to 6 are the left end, 7 to 13 the middle piece tiled across the window, 14 to 20
// the right end.
SDL_Surface* drawBackground() {
    SDL_Surface* picture = newPicture(kBackgroundWidth, kBackgroundHeight);
    for (int y = 0; y < kBackgroundHeight; ++y) {
        for (int x = 0; x < kBackgroundWidth; ++x) {
            Colour colour = panelAt(y);
            // A faint diagonal hatch above the bar shows the tiling at work.
            if (x >= 7 && x <= 13 && y >= 2 && y < kTroughTop - 2 && (x + y) % 7 == 0) colour = kHatch;
            const bool inTroughRows = y >= kTroughTop && y <= kTroughBottom;
            if (inTroughRows && x >= kLeftTroughBorderX && x <= kRightTroughBorderX) {
                const bool border = y == kTroughTop || y == kTroughBottom || x == kLeftTroughBorderX ||
                                    x == kRightTroughBorderX;
                colour = border ? kTroughBorder : kTrough;
            }
            if (y == 0 || x == 0) colour = kPanelLight;
            if (y == kBackgroundHeight - 1 || x == kBackgroundWidth - 1) colour = kPanelShadow;
            put(picture, x, y, colour);
        }
    }
    return picture;
}

// A saturated red with a highlight near the top: the animation keeps each pixel's saturation
// and lightness and only turns its hue, so the shading survives every colour of the cycle.
SDL_Surface* drawProgress() {
    const int width = 3;
    const int height = 16;
    SDL_Surface* picture = newPicture(width, height);
    for (int y = 0; y < height; ++y) {
        const double distanceFromHighlight = (y - 4) / double(height);
        const double lightness = 0.66 - 0.9 * distanceFromHighlight * distanceFromHighlight - 0.012 * y;
        Colour colour(0, 0, 0, 255);
        hslToRgb(0.0, 0.85, lightness, colour);
        for (int x = 0; x < width; ++x) put(picture, x, y, colour);
    }
    return picture;
}

// A 5 by 9 pixel font (7 rows above the baseline, 2 for descenders) for the letters the
// title needs.
struct Glyph {
    char letter;
    const char* rows[9];
};

const Glyph kFont[] = {
    {'k', {"#....", "#....", "#..#.", "#.#..", "##...", "#.#..", "#..#.", ".....", "....."}},
    {'i', {"..#..", ".....", ".##..", "..#..", "..#..", "..#..", ".###.", ".....", "....."}},
    {'b', {"#....", "#....", "####.", "#...#", "#...#", "#...#", "####.", ".....", "....."}},
    {'U', {"#...#", "#...#", "#...#", "#...#", "#...#", "#...#", ".###.", ".....", "....."}},
    {'p', {".....", ".....", "####.", "#...#", "#...#", "#...#", "####.", "#....", "#...."}},
    {'d', {"....#", "....#", ".####", "#...#", "#...#", "#...#", ".####", ".....", "....."}},
    {'a', {".....", ".....", ".###.", "....#", ".####", "#...#", ".####", ".....", "....."}},
    {'t', {".#...", ".#...", "###..", ".#...", ".#...", ".#..#", "..##.", ".....", "....."}},
    {'e', {".....", ".....", ".###.", "#...#", "#####", "#....", ".###.", ".....", "....."}},
    {'r', {".....", ".....", "#.##.", "##..#", "#....", "#....", "#....", ".....", "....."}},
};

const Glyph* glyphFor(char letter) {
    for (const Glyph& glyph : kFont)
        if (glyph.letter == letter) return &glyph;
    return nullptr;
}

constexpr int kScale = 2;
constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 9;
constexpr int kLetterGap = 2;
constexpr int kSpaceAdvance = 8;
constexpr int kTitleMargin = 8;
constexpr int kTitleTop = 2;

int textWidth(const std::string& text) {
    int width = 0;
    for (char letter : text) width += letter == ' ' ? kSpaceAdvance : kGlyphWidth * kScale + kLetterGap;
    return width - kLetterGap;
}

void drawLetter(SDL_Surface* picture, const Glyph& glyph, int left, int top, const Colour& colour) {
    for (int row = 0; row < kGlyphHeight; ++row)
        for (int column = 0; column < kGlyphWidth; ++column)
            if (glyph.rows[row][column] == '#')
                for (int dy = 0; dy < kScale; ++dy)
                    for (int dx = 0; dx < kScale; ++dx)
                        put(picture, left + column * kScale + dx, top + row * kScale + dy, colour);
}

// "kib Updater" in light letters with a drop shadow on the panel's own gradient. The title is
// drawn opaque at the window's top-left corner, so it stays above the bar (rows 26 and below).
SDL_Surface* drawTitle() {
    const std::string text = "kib Updater";
    const int width = textWidth(text) + 2 * kTitleMargin;
    const int height = kTitleTop + kGlyphHeight * kScale + 2;
    SDL_Surface* picture = newPicture(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) put(picture, x, y, y == 0 || x == 0 ? kPanelLight : panelAt(y));
    for (const Colour* colour : {&kLetterShadow, &kLetter}) {
        const int offset = colour == &kLetterShadow ? 1 : 0;
        int left = kTitleMargin;
        for (char letter : text) {
            if (const Glyph* glyph = glyphFor(letter)) {
                drawLetter(picture, *glyph, left + offset, kTitleTop + offset, *colour);
                left += kGlyphWidth * kScale + kLetterGap;
            } else {
                left += kSpaceAdvance;
            }
        }
    }
    return picture;
}

bool save(SDL_Surface* picture, const std::string& path) {
    const bool saved = picture && SDL_SaveBMP(picture, path.c_str()) == 0;
    if (!saved) std::fprintf(stderr, "kib-make-pictures: cannot write %s: %s\n", path.c_str(), SDL_GetError());
    if (picture) SDL_FreeSurface(picture);
    return saved;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kib-make-pictures OUTPUT_FOLDER\n");
        return 2;
    }
    const std::string folder = argv[1];
    bool saved = save(drawBackground(), folder + "/bg.bmp");
    saved = save(drawProgress(), folder + "/progress.bmp") && saved;
    saved = save(drawTitle(), folder + "/title.bmp") && saved;
    return saved ? 0 : 1;
}
