// Pixel access on real SDL surfaces of each pixel size: layout, round trips, bounds and clip.
#include "ui/pixels.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/sdl_surface.h"

namespace {

const uint8_t* bytesOf(const SDL_Surface* surface, int x, int y) {
    return static_cast<const uint8_t*>(surface->pixels) + y * surface->pitch + x * surface->format->BytesPerPixel;
}

void fillBytes(SDL_Surface* surface, uint8_t value) {
    std::memset(surface->pixels, value, size_t(surface->pitch) * surface->h);
}

bool sameColour(const Colour& a, const Colour& b) {
    return a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a;
}

std::string describe(const Colour& c) {
    return "(" + std::to_string(c.r) + ", " + std::to_string(c.g) + ", " + std::to_string(c.b) + ", " +
           std::to_string(c.a) + ")";
}

// A colour each format stores without loss: a palette entry, 5-6-5 extremes, anything else.
Colour exactColourFor(int bytesPerPixel) {
    switch (bytesPerPixel) {
    case 1: return Colour(255, 0, 0, 255);
    case 2: return Colour(255, 0, 255, 255);
    case 3: return Colour(18, 52, 86, 255);
    default: return Colour(18, 52, 86, 120);
    }
}

class PixelsBySize : public ::testing::TestWithParam<int> {};

TEST_P(PixelsBySize, WrittenColourReadsBackAndNeighboursStayUntouched) {
    SurfacePtr surface = makeSurface(GetParam(), 5, 4);
    ASSERT_TRUE(surface);
    ASSERT_EQ(surface->format->BytesPerPixel, GetParam());
    const Colour colour = exactColourFor(GetParam());
    EXPECT_EQ(writePixel(surface.get(), 3, 2, colour.r, colour.g, colour.b, colour.a), 1);
    const Colour read = getPixelColour(surface.get(), 3, 2);
    EXPECT_TRUE(sameColour(read, colour)) << describe(read);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 5; ++x)
            if (x != 3 || y != 2) {
                EXPECT_EQ(readPixelValue(surface.get(), x, y), 0u) << x << "," << y;
            }
}

TEST_P(PixelsBySize, OutsideTheSurfaceReadsZeroAndTheColourOfZero) {
    SurfacePtr surface = makeSurface(GetParam(), 3, 2);
    ASSERT_TRUE(surface);
    fillBytes(surface.get(), 0xAB);
    Colour ofZero(0, 0, 0, 0);
    SDL_GetRGBA(0, surface->format, &ofZero.r, &ofZero.g, &ofZero.b, &ofZero.a);
    for (auto [x, y] : {std::pair{3, 0}, {0, 2}, {-1, 0}, {0, -1}}) {
        EXPECT_EQ(readPixelValue(surface.get(), x, y), 0u) << x << "," << y;
        EXPECT_TRUE(sameColour(getPixelColour(surface.get(), x, y), ofZero)) << x << "," << y;
    }
    EXPECT_NE(readPixelValue(surface.get(), 2, 1), 0u);
}

TEST_P(PixelsBySize, NarrowedClipRectangleRefusesWritesOutsideIt) {
    SurfacePtr surface = makeSurface(GetParam(), 6, 6);
    ASSERT_TRUE(surface);
    SDL_Rect clip{2, 1, 3, 2};  // columns 2 to 4, rows 1 and 2
    SDL_SetClipRect(surface.get(), &clip);
    const Colour colour = exactColourFor(GetParam());
    for (auto [x, y] : {std::pair{1, 1}, {5, 1}, {2, 0}, {2, 3}, {-1, 1}, {6, 1}}) {
        EXPECT_EQ(writePixel(surface.get(), x, y, colour.r, colour.g, colour.b, colour.a), 0) << x << "," << y;
        EXPECT_EQ(setPixelColour(surface.get(), x, y, colour.packed()), 0) << x << "," << y;
    }
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 6; ++x) EXPECT_EQ(readPixelValue(surface.get(), x, y), 0u) << x << "," << y;
    EXPECT_EQ(writePixel(surface.get(), 2, 1, colour.r, colour.g, colour.b, colour.a), 1);
    EXPECT_EQ(setPixelColour(surface.get(), 4, 2, colour.packed()), 1);
    EXPECT_TRUE(sameColour(getPixelColour(surface.get(), 4, 2), colour));
}

INSTANTIATE_TEST_SUITE_P(AllPixelSizes, PixelsBySize, ::testing::Values(1, 2, 3, 4),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::to_string(info.param) + "BytesPerPixel";
                         });

TEST(Pixels, RawValuesFollowEachFormatsLayout) {
    SurfacePtr palette = makeSurface(1, 2, 2);
    writePixel(palette.get(), 1, 1, 0, 0, 255, 255);
    EXPECT_EQ(readPixelValue(palette.get(), 1, 1), 202u);  // the palette's pure blue entry

    SurfacePtr rgb565 = makeSurface(2, 2, 2);
    writePixel(rgb565.get(), 1, 1, 255, 0, 0, 255);
    EXPECT_EQ(readPixelValue(rgb565.get(), 1, 1), 0xF800u);

    SurfacePtr rgb24 = makeSurface(3, 2, 2);
    writePixel(rgb24.get(), 1, 1, 0x11, 0x22, 0x33, 0x44);
    EXPECT_EQ(readPixelValue(rgb24.get(), 1, 1), 0x112233u);
    const uint8_t* bytes = bytesOf(rgb24.get(), 1, 1);
    // Alpha shift 0: the alpha step writes the mapped value's low byte, which is blue's own.
    EXPECT_EQ(bytes[0], 0x33);
    EXPECT_EQ(bytes[1], 0x22);
    EXPECT_EQ(bytes[2], 0x11);

    SurfacePtr rgba = makeSurface(4, 2, 2);
    setPixelColour(rgba.get(), 1, 1, Colour(1, 2, 3, 4).packed());
    EXPECT_EQ(readPixelValue(rgba.get(), 1, 1), 0x04030201u);
}

TEST(Pixels, ReadThenWriteOnFourBytesKeepsTheValue) {
    SurfacePtr surface = makeSurface(4, 2, 1);
    const uint32_t value = 0x80402010;
    std::memcpy(surface->pixels, &value, sizeof value);
    setPixelColour(surface.get(), 0, 0, getPixelColour(surface.get(), 0, 0).packed());
    EXPECT_EQ(readPixelValue(surface.get(), 0, 0), value);
}

TEST(Pixels, ThreeByteFormatWithAlphaShift24StaysInsideItsPixel) {
    SurfacePtr surface(SDL_CreateRGBSurface(SDL_SWSURFACE, 2, 1, 24, 0x0000FF, 0x00FF00, 0xFF0000, 0xFF000000));
    ASSERT_TRUE(surface);
    ASSERT_EQ(surface->format->BytesPerPixel, 3);
    ASSERT_EQ(surface->format->Ashift, 24);
    fillBytes(surface.get(), 0x5A);
    EXPECT_EQ(writePixel(surface.get(), 0, 0, 1, 2, 3, 4), 1);
    const uint8_t* first = bytesOf(surface.get(), 0, 0);
    EXPECT_EQ(first[0], 1);
    EXPECT_EQ(first[1], 2);
    EXPECT_EQ(first[2], 3);
    EXPECT_EQ(readPixelValue(surface.get(), 1, 0), 0x5A5A5Au);
}

TEST(Pixels, NullSurfaceReadsOpaqueBlackAndRefusesWrites) {
    EXPECT_TRUE(sameColour(getPixelColour(nullptr, 0, 0), Colour(0, 0, 0, 255)));
    EXPECT_EQ(readPixelValue(nullptr, 0, 0), 0u);
    EXPECT_EQ(writePixel(nullptr, 0, 0, 1, 2, 3, 4), 0);
    EXPECT_EQ(setPixelColour(nullptr, 0, 0, 0xFFFFFFFF), 0);
}

}  // namespace
