// Times drawFrame on the updater's own pictures: microseconds per frame for each phase of the
// run, on SDL's dummy video driver (drawing only) or on the X display in DISPLAY (drawing and
// showing). Usage: draw_frame [pictures-folder] [frames]   (default assets/updater, 20000)
#include <SDL.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ui/progress_screen.h"
#include "update/run_state.h"

namespace {

SDL_Surface* screen = nullptr;
ScreenPictures pictures;

struct Case {
    const char* name;
    int32_t phase;
    int32_t fetched;
    int32_t toFetch;
    // Forces the hue step (a recolouring of the bar picture) into every frame, the worst a
    // frame can cost; the real loop steps at most every 50 ms, once per five frames.
    bool hueStepEveryFrame;
};

double microsecondsPerFrame(const Case& scenario, int frames) {
    HueAnimation hue;
    ScreenProgress progress;
    progress.downloading = scenario.phase == Downloading;
    progress.updated = scenario.phase == Updated;
    progress.filesFetched = scenario.fetched;
    progress.filesToFetch = scenario.toFetch;
    // Five rounds; the median hides a round that another process on the machine disturbed.
    std::vector<double> rounds;
    for (int round = 0; round < 5; ++round) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < frames / 5; ++i) {
            if (scenario.hueStepEveryFrame) hue.nextHueTick = 0;
            drawFrame(screen, pictures, progress, hue);
        }
        const std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - start;
        rounds.push_back(spent.count() / (frames / 5));
    }
    std::sort(rounds.begin(), rounds.end());
    return rounds[2];
}

SDL_Surface* load(const std::string& folder, const char* name) {
    SDL_Surface* picture = SDL_LoadBMP((folder + "/" + name).c_str());
    if (!picture) {
        std::fprintf(stderr, "draw_frame: cannot load %s/%s: %s\n", folder.c_str(), name, SDL_GetError());
        std::exit(1);
    }
    return picture;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string folder = argc > 1 ? argv[1] : "assets/updater";
    const int frames = argc > 2 ? std::max(5, std::atoi(argv[2])) : 20000;
    const char* display = std::getenv("DISPLAY");
    const bool headless = !display || !*display;
    if (headless) setenv("SDL_VIDEODRIVER", "dummy", 0);
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        std::fprintf(stderr, "draw_frame: SDL_Init: %s\n", SDL_GetError());
        return 1;
    }
    // The updater's own video mode: the desktop's depth, a software surface without a frame.
    // The dummy driver has no desktop and would pick 8 bits; desktops today have 32.
    screen = SDL_SetVideoMode(300, 50, headless ? 32 : 0, SDL_HWPALETTE | SDL_NOFRAME);
    if (!screen) {
        std::fprintf(stderr, "draw_frame: SDL_SetVideoMode: %s\n", SDL_GetError());
        return 1;
    }
    pictures.background = load(folder, "bg.bmp");
    pictures.progress = load(folder, "progress.bmp");
    pictures.title = load(folder, "title.bmp");
    char driver[32] = "?";
    SDL_VideoDriverName(driver, sizeof driver);
    std::printf("video driver %s, screen %d bits per pixel, %d frames per case\n", driver,
                screen->format->BitsPerPixel, frames);

    const Case cases[] = {
        {"waiting for the manifest (no bar)", ManifestRequested, 0, 0, false},
        {"downloading 3 of 7 (123 columns)", Downloading, 3, 7, false},
        {"downloading 3 of 7, hue step every frame", Downloading, 3, 7, true},
        {"updated (288 columns, recoloured)", Updated, 7, 7, false},
    };
    double worst = 0;
    for (const Case& scenario : cases) {
        const double micros = microsecondsPerFrame(scenario, frames);
        worst = std::max(worst, micros);
        std::printf("%-44s %8.2f us per drawFrame\n", scenario.name, micros);
    }
    std::printf("worst case %.2f us = %.1f%% of the loop's 10 ms pause\n", worst, worst / 100.0);

    SDL_FreeSurface(pictures.background);
    SDL_FreeSurface(pictures.progress);
    SDL_FreeSurface(pictures.title);
    SDL_Quit();
    return 0;
}
