// Ownership of the progress screen's pictures.
#include "app/pictures.h"

#include <SDL.h>

#include <memory>

SDL_Surface* g_bgImage = nullptr;
SDL_Surface* g_progressImage = nullptr;
SDL_Surface* g_titleImage = nullptr;

namespace {

struct FreeSurface {
    void operator()(SDL_Surface* surface) const { SDL_FreeSurface(surface); }
};
using OwnedSurface = std::unique_ptr<SDL_Surface, FreeSurface>;

OwnedSurface ownedBackground;
OwnedSurface ownedProgress;
OwnedSurface ownedTitle;

SDL_Surface* load(OwnedSurface& owner, const char* path) {
    // The loader closes the stream (and copes with a null one when the file is missing).
    owner.reset(SDL_LoadBMP_RW(SDL_RWFromFile(path, "rb"), 1));
    return owner.get();
}

}  // namespace

void loadPictures() {
    g_bgImage = load(ownedBackground, "assets/updater/bg.bmp");
    g_progressImage = load(ownedProgress, "assets/updater/progress.bmp");
    g_titleImage = load(ownedTitle, "assets/updater/title.bmp");
}

void freePictures() {
    g_bgImage = g_progressImage = g_titleImage = nullptr;
    ownedBackground.reset();
    ownedProgress.reset();
    ownedTitle.reset();
}

ScreenPictures screenPictures() {
    ScreenPictures pictures;
    pictures.background = g_bgImage;
    pictures.progress = g_progressImage;
    pictures.title = g_titleImage;
    return pictures;
}
