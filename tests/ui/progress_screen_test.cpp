// The bar's colour arithmetic: known answers, recolouring real surfaces of each pixel size,
// and the hue's cycle.
#include "ui/progress_screen.h"

#include <gtest/gtest.h>

#include <string>

#include "support/sdl_surface.h"

namespace {

std::string describe(const Colour& c) {
    return "(" + std::to_string(c.r) + ", " + std::to_string(c.g) + ", " + std::to_string(c.b) + ", " +
           std::to_string(c.a) + ")";
}

// The colour as `surface` stores it: quantised to 5-6-5, or the nearest palette entry.
Colour asStoredIn(const SDL_Surface* surface, const Colour& colour) {
    const Uint32 mapped = SDL_MapRGBA(surface->format, colour.r, colour.g, colour.b, colour.a);
    Colour stored(0, 0, 0, 0);
    SDL_GetRGBA(mapped, surface->format, &stored.r, &stored.g, &stored.b, &stored.a);
    return stored;
}

#define EXPECT_COLOUR(actual, expected)                                                              \
    EXPECT_EQ(describe(actual), describe(expected))

Colour recoloured(const Colour& colour, double hue) {
    Colour result = colour;
    const Hsl hsl = rgbToHsl(colour);
    hslToRgb(hue, hsl.s, hsl.l, result);
    return result;
}

TEST(ColourArithmetic, KnownAnswers) {
    EXPECT_COLOUR(recoloured(Colour(255, 0, 0, 255), 0.01), Colour(255, 15, 0, 255));
    EXPECT_COLOUR(recoloured(Colour(255, 0, 0, 255), 0.294), Colour(60, 255, 0, 255));
    EXPECT_COLOUR(recoloured(Colour(255, 0, 0, 255), 0.5), Colour(0, 255, 255, 255));
    // A dark, half-saturated blue turned to green keeps how dark and how grey it was.
    const Hsl blue = rgbToHsl(Colour(40, 40, 120, 255));
    EXPECT_NEAR(blue.h, 2.0 / 3.0, 1e-9);
    EXPECT_NEAR(blue.s, 0.5, 1e-9);
    EXPECT_NEAR(blue.l, 80 / 255.0, 1e-9);
    EXPECT_COLOUR(recoloured(Colour(40, 40, 120, 255), 1.0 / 3.0), Colour(40, 120, 40, 255));
    // The alpha byte is not hslToRgb's business.
    EXPECT_COLOUR(recoloured(Colour(255, 0, 0, 77), 0.01), Colour(255, 15, 0, 77));
    // Six sextants: a hue of exactly 1.0 falls past the last one and gives the grey.
    EXPECT_COLOUR(recoloured(Colour(255, 0, 0, 255), 1.0), Colour(127, 127, 127, 255));
    for (const Colour& neutral : {Colour(0, 0, 0, 255), Colour(255, 255, 255, 255), Colour(128, 128, 128, 255)}) {
        const Hsl hsl = rgbToHsl(neutral);
        EXPECT_EQ(hsl.h, 0.0);
        EXPECT_EQ(hsl.s, 0.0);
        EXPECT_COLOUR(recoloured(neutral, 0.37), neutral);
    }
}

class RecolourBySize : public ::testing::TestWithParam<int> {};

TEST_P(RecolourBySize, RedTakesTheHueWhileGreysBlackAndWhiteStay) {
    SurfacePtr surface = makeSurface(GetParam(), 4, 2);
    ASSERT_TRUE(surface);
    const Colour red(255, 0, 0, 255);
    const Colour neutrals[] = {Colour(0, 0, 0, 255), Colour(255, 255, 255, 255), Colour(128, 128, 128, 255)};
    for (double hue : {0.01, 0.294}) {
        setPixelColour(surface.get(), 0, 0, red.packed());
        for (int i = 0; i < 3; ++i) setPixelColour(surface.get(), 1 + i, 1, neutrals[i].packed());
        uint32_t neutralValues[3];
        for (int i = 0; i < 3; ++i) neutralValues[i] = readPixelValue(surface.get(), 1 + i, 1);

        recolourSurface(surface.get(), hue);

        const Colour expected = hue == 0.01 ? Colour(255, 15, 0, 255) : Colour(60, 255, 0, 255);
        EXPECT_COLOUR(getPixelColour(surface.get(), 0, 0), asStoredIn(surface.get(), expected)) << hue;
        for (int i = 0; i < 3; ++i) {
            // 5-6-5 has no exact mid grey: 128 is stored with a touch of green, a colour of its own.
            const Colour stored = asStoredIn(surface.get(), neutrals[i]);
            if (stored.r != stored.g || stored.g != stored.b) continue;
            EXPECT_EQ(readPixelValue(surface.get(), 1 + i, 1), neutralValues[i]) << describe(neutrals[i]);
        }
    }
}

TEST_P(RecolourBySize, HueAboveOneCountsAsZero) {
    SurfacePtr surface = makeSurface(GetParam(), 1, 1);
    setPixelColour(surface.get(), 0, 0, Colour(0, 0, 255, 255).packed());
    recolourSurface(surface.get(), 1.5);
    EXPECT_COLOUR(getPixelColour(surface.get(), 0, 0), asStoredIn(surface.get(), Colour(255, 0, 0, 255)));
}

INSTANTIATE_TEST_SUITE_P(AllPixelSizes, RecolourBySize, ::testing::Values(1, 2, 3, 4),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::to_string(info.param) + "BytesPerPixel";
                         });

TEST(Recolour, KeepsEachPixelsAlpha) {
    SurfacePtr surface = makeSurface(4, 2, 1);
    setPixelColour(surface.get(), 0, 0, Colour(255, 0, 0, 77).packed());
    setPixelColour(surface.get(), 1, 0, Colour(200, 200, 200, 0).packed());
    recolourSurface(surface.get(), 0.01);
    EXPECT_COLOUR(getPixelColour(surface.get(), 0, 0), Colour(255, 15, 0, 77));
    EXPECT_COLOUR(getPixelColour(surface.get(), 1, 0), Colour(200, 200, 200, 0));
}

class AdvanceHue : public ::testing::Test {
protected:
    HueAnimation hue_;
    void SetUp() override {
        picture_ = makeSurface(4, 2, 1);
        setPixelColour(picture_.get(), 0, 0, Colour(255, 0, 0, 255).packed());
        setPixelColour(picture_.get(), 1, 0, Colour(100, 100, 100, 255).packed());
        hue_ = HueAnimation();
    }

    SurfacePtr picture_;
};

TEST_F(AdvanceHue, StepsByOneHundredthAndWrapsAfterAHundredSteps) {
    advanceHue(picture_.get(), hue_);
    EXPECT_NEAR(hue_.hue, 0.01, 1e-12);
    EXPECT_COLOUR(getPixelColour(picture_.get(), 0, 0), Colour(255, 15, 0, 255));
    for (int step = 2; step <= 99; ++step) advanceHue(picture_.get(), hue_);
    EXPECT_NEAR(hue_.hue, 0.99, 1e-9);
    EXPECT_COLOUR(getPixelColour(picture_.get(), 0, 0), Colour(255, 0, 15, 255));
    advanceHue(picture_.get(), hue_);
    EXPECT_EQ(hue_.hue, 0.0);
    EXPECT_COLOUR(getPixelColour(picture_.get(), 0, 0), Colour(255, 0, 0, 255));
    EXPECT_COLOUR(getPixelColour(picture_.get(), 1, 0), Colour(100, 100, 100, 255));
    advanceHue(picture_.get(), hue_);
    EXPECT_NEAR(hue_.hue, 0.01, 1e-12);
}

// Each step starts from the previous step's truncated bytes; over a long download the bar must
// not fade or lose its shading.
TEST_F(AdvanceHue, TheDefaultBarKeepsItsShadingThroughManyCycles) {
    SurfacePtr bar(SDL_LoadBMP(KIB_SOURCE_DIR "/assets/updater/progress.bmp"));
    ASSERT_TRUE(bar) << SDL_GetError();
    SurfacePtr original(SDL_ConvertSurface(bar.get(), bar->format, bar->flags));
    for (int step = 0; step < 3000; ++step) advanceHue(bar.get(), hue_);
    EXPECT_EQ(hue_.hue, 0.0);
    for (int y = 0; y < bar->h; ++y) {
        const Hsl before = rgbToHsl(getPixelColour(original.get(), 1, y));
        const Hsl after = rgbToHsl(getPixelColour(bar.get(), 1, y));
        EXPECT_NEAR(after.l, before.l, 0.03) << y;
        EXPECT_NEAR(after.s, before.s, 0.06) << y;
    }
}

}  // namespace
