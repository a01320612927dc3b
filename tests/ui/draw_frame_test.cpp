// Whole frames drawn into the dummy video driver's software screen, for each phase of the run,
// compared pixel by pixel with the layout the pictures should give.
#include "ui/progress_screen.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/sdl_surface.h"
#include "support/window_layout.h"
#include "update/run_state.h"

namespace {

std::string describe(const Colour& c) {
    return "(" + std::to_string(c.r) + ", " + std::to_string(c.g) + ", " + std::to_string(c.b) + ")";
}

bool sameRgb(const Colour& a, const Colour& b) { return a.r == b.r && a.g == b.g && a.b == b.b; }

SurfacePtr loadPicture(const char* name) {
    return SurfacePtr(SDL_LoadBMP((std::string(KIB_SOURCE_DIR "/assets/updater/") + name).c_str()));
}

SurfacePtr copyOf(SDL_Surface* picture) {
    return SurfacePtr(SDL_ConvertSurface(picture, picture->format, picture->flags));
}

Colour recoloured(Colour colour, double hue) {
    const Hsl hsl = rgbToHsl(colour);
    hslToRgb(hue, hsl.s, hsl.l, colour);
    return colour;
}

// Runs on screens of 16, 24 and 32 bits per pixel: the depth of the desktop decides which the
// updater gets.
class DrawFrame : public ::testing::TestWithParam<int> {
protected:
    HueAnimation hue_;
    void SetUp() override {
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
        screen_ = SDL_SetVideoMode(kWindowWidth, kWindowHeight, GetParam(), SDL_SWSURFACE);
        ASSERT_TRUE(screen_) << SDL_GetError();
        ASSERT_EQ(screen_->format->BitsPerPixel, GetParam());
        background_ = loadPicture("bg.bmp");
        bar_ = loadPicture("progress.bmp");
        title_ = loadPicture("title.bmp");
        ASSERT_TRUE(background_ && bar_ && title_) << SDL_GetError();
        originalBar_ = copyOf(bar_.get());
        pictures_.background = background_.get();
        pictures_.progress = bar_.get();
        pictures_.title = title_.get();
        hue_ = HueAnimation();
        // The first hue step needs a clock later than 0, as any real run has by then.
        SDL_Delay(2);
    }

    void TearDown() override {
        pictures_ = ScreenPictures();
        background_.reset();
        bar_.reset();
        title_.reset();
        originalBar_.reset();
        SDL_Quit();
        screen_ = nullptr;
    }

    void drawPhase(int32_t phase, int32_t fetched, int32_t toFetch, double waitLeft = 0.0) {
        ScreenProgress progress;
        progress.downloading = phase == Downloading;
        progress.updated = phase == Updated;
        progress.filesFetched = fetched;
        progress.filesToFetch = toFetch;
        progress.waitLeft = waitLeft;
        drawFrame(screen_, pictures_, progress, hue_);
    }

    // The colour as the screen holds it.
    Colour onScreen(const Colour& colour) const {
        Colour stored(0, 0, 0, 255);
        SDL_GetRGB(SDL_MapRGB(screen_->format, colour.r, colour.g, colour.b), screen_->format, &stored.r,
                   &stored.g, &stored.b);
        return stored;
    }

    // What the window must show at (x, y) when the bar's columns `bar` are drawn.
    Colour expectedAt(int x, int y, const std::vector<bool>& bar) const {
        switch (layerAt(x, y, kFullBar, pictures_.title)) {
        case WindowLayer::Title: return getPixelColour(pictures_.title, x, y);
        case WindowLayer::Bar:
            if (bar[size_t(x - kBarLeft)]) return getPixelColour(pictures_.progress, 1, y - kBarTop);
            return getPixelColour(pictures_.background, backgroundColumnAt(x), y);
        default: return getPixelColour(pictures_.background, backgroundColumnAt(x), y);
        }
    }

    void expectWindow(int barLength) const {
        std::vector<bool> bar(kFullBar, false);
        for (int i = 0; i < barLength; ++i) bar[size_t(i)] = true;
        expectWindow(bar);
    }

    // Every pixel of the window against the layout; reports the first few differences.
    void expectWindow(const std::vector<bool>& bar) const {
        int differences = 0;
        for (int y = 0; y < kWindowHeight; ++y) {
            for (int x = 0; x < kWindowWidth; ++x) {
                const Colour expected = onScreen(expectedAt(x, y, bar));
                const Colour actual = getPixelColour(screen_, x, y);
                if (sameRgb(actual, expected)) continue;
                if (++differences <= 5)
                    ADD_FAILURE() << "pixel (" << x << ", " << y << ") is " << describe(actual) << ", expected "
                                  << describe(expected);
            }
        }
        EXPECT_EQ(differences, 0);
    }

    bool barUnchanged() const {
        for (int y = 0; y < kBarRows; ++y)
            for (int x = 0; x < pictures_.progress->w; ++x)
                if (readPixelValue(pictures_.progress, x, y) != readPixelValue(originalBar_.get(), x, y)) return false;
        return true;
    }

    // True when every row of the bar's source column holds the original bar turned to `hue`.
    bool barHasHue(double hue) const {
        for (int y = 0; y < kBarRows; ++y)
            if (!sameRgb(getPixelColour(pictures_.progress, 1, y), recoloured(getPixelColour(originalBar_.get(), 1, y), hue)))
                return false;
        return true;
    }

    SDL_Surface* screen_ = nullptr;
    ScreenPictures pictures_;
    SurfacePtr background_, bar_, title_, originalBar_;
};

TEST_P(DrawFrame, NoBarBeforeTheManifestArrives) {
    for (int32_t phase : {Idle, ManifestRequested}) {
        drawPhase(phase, 0, 0);
        expectWindow(0);
    }
    EXPECT_EQ(hue_.hue, 0.0);
    EXPECT_TRUE(barUnchanged());
}

TEST_P(DrawFrame, DownloadingDrawsItsShareOfTheBarAndStepsTheHueAtOnce) {
    const Uint32 before = SDL_GetTicks();
    drawPhase(Downloading, 3, 7);
    const Uint32 after = SDL_GetTicks();
    expectWindow(123);  // 288 * 3 / 7 = 123.4
    EXPECT_NEAR(hue_.hue, 0.01, 1e-12);
    EXPECT_TRUE(barHasHue(0.01));
    EXPECT_GE(hue_.nextHueTick, before + 50);
    EXPECT_LE(hue_.nextHueTick, after + 50);
    const Colour barPixel = getPixelColour(screen_, 100, 30);
    EXPECT_TRUE(sameRgb(barPixel, onScreen(getPixelColour(pictures_.progress, 1, 4))));

    drawPhase(Downloading, 0, 7);
    expectWindow(0);
    drawPhase(Downloading, 6, 7);
    expectWindow(246);
}

// A wait drains at the bar's end, every other column of the part not yet filled (of the whole
// bar once it is full): the window never looks frozen while a server or a file is waited for.
TEST_P(DrawFrame, AWaitShowsAsDotsThatDrainAtTheBarsEnd) {
    const struct {
        int32_t phase, fetched, toFetch;
        double waitLeft;
        int solid;
        // The dotted columns end at the bar's end and cover this many columns.
        int dotted;
    } cases[] = {
        {Downloading, 1, 4, 1.0, 72, 216},
        {Downloading, 1, 4, 0.5, 72, 108},
        {ManifestRequested, 0, 0, 0.25, 0, 72},
        {Downloading, 4, 4, 0.25, 288, 72},
        {Downloading, 1, 4, 0.0, 72, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.phase) + " " + std::to_string(c.waitLeft));
        drawPhase(c.phase, c.fetched, c.toFetch, c.waitLeft);
        std::vector<bool> bar(kFullBar, false);
        for (int i = 0; i < c.solid; ++i) bar[size_t(i)] = true;
        for (int i = 0; i < c.dotted; i += 2) bar[size_t(kFullBar - 1 - i)] = true;
        expectWindow(bar);
    }
}

TEST_P(DrawFrame, HueStepsOnlyOnceTheNextTickHasPassedAndOncePerFrame) {
    drawPhase(Downloading, 1, 2);
    ASSERT_NEAR(hue_.hue, 0.01, 1e-12);
    hue_.nextHueTick = SDL_GetTicks() + 100000;
    drawPhase(Downloading, 1, 2);
    EXPECT_NEAR(hue_.hue, 0.01, 1e-12);
    EXPECT_TRUE(barHasHue(0.01));
    // A frame long after the last step: one step, however long the gap.
    hue_.nextHueTick = 0;
    drawPhase(Downloading, 1, 2);
    EXPECT_NEAR(hue_.hue, 0.02, 1e-12);
    // The real clock: no step within 50 ms, then one.
    drawPhase(Downloading, 1, 2);
    EXPECT_NEAR(hue_.hue, 0.02, 1e-12);
    SDL_Delay(60);
    drawPhase(Downloading, 1, 2);
    EXPECT_NEAR(hue_.hue, 0.03, 1e-12);
    expectWindow(144);
}

TEST_P(DrawFrame, DownloadingWithNothingQueuedDrawsNoBar) {
    drawPhase(Downloading, 0, 0);
    expectWindow(0);
    EXPECT_EQ(hue_.hue, 0.0);
    EXPECT_TRUE(barUnchanged());
}

TEST_P(DrawFrame, UpdatedDrawsTheFullBarInItsFixedHue) {
    drawPhase(Updated, 3, 3);
    expectWindow(kFullBar);
    EXPECT_TRUE(barHasHue(0.294));
    const Colour lastColumn = getPixelColour(screen_, 293, 30);
    EXPECT_TRUE(sameRgb(lastColumn, onScreen(recoloured(getPixelColour(originalBar_.get(), 1, 4), 0.294))))
        << describe(lastColumn);
}

TEST_P(DrawFrame, UpToDateCoversAnEarlierBarWithTheBackground) {
    drawPhase(Downloading, 5, 7);
    drawPhase(UpToDate, 0, 0);
    expectWindow(0);
}

TEST_P(DrawFrame, TitleHidesThePartOfTheBarItOverlaps) {
    // Three bytes like a bitmap file: a surface with an alpha channel would be blended.
    SurfacePtr tallTitle = makeSurface(3, 300, 30);
    SDL_FillRect(tallTitle.get(), nullptr, SDL_MapRGB(tallTitle->format, 10, 200, 30));
    pictures_.title = tallTitle.get();
    drawPhase(Updated, 4, 4);
    expectWindow(kFullBar);
    EXPECT_TRUE(sameRgb(getPixelColour(screen_, 100, 29), onScreen(Colour(10, 200, 30, 255))));
    EXPECT_TRUE(sameRgb(getPixelColour(screen_, 100, 30), onScreen(getPixelColour(pictures_.progress, 1, 4))));
}

TEST_P(DrawFrame, MissingPicturesLeaveTheirLayerOut) {
    pictures_.progress = nullptr;
    drawPhase(Downloading, 3, 7);
    EXPECT_EQ(hue_.hue, 0.0);
    pictures_.progress = bar_.get();
    expectWindow(0);

    // Nothing else clears the window: without a background the longer bar stays visible.
    pictures_.background = nullptr;
    pictures_.title = nullptr;
    drawPhase(Downloading, 3, 7);
    drawPhase(Downloading, 1, 7);
    const Colour bar = onScreen(getPixelColour(pictures_.progress, 1, 4));
    EXPECT_TRUE(sameRgb(getPixelColour(screen_, kBarLeft + 100, 30), bar));
    EXPECT_FALSE(sameRgb(getPixelColour(screen_, kBarLeft + 130, 30), bar));
}

INSTANTIATE_TEST_SUITE_P(ScreenDepths, DrawFrame, ::testing::Values(16, 24, 32),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::to_string(info.param) + "BitScreen";
                         });

}  // namespace
