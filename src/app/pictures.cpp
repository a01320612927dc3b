// The progress screen's pictures.
#include "app/pictures.h"

#include <SDL.h>

SDL_Surface* g_bgImage = nullptr;
SDL_Surface* g_progressImage = nullptr;
SDL_Surface* g_titleImage = nullptr;

namespace {

SDL_Surface* load(const char* path) {
    // The loader closes the stream (and copes with a null one when the file is missing).
    return SDL_LoadBMP_RW(SDL_RWFromFile(path, "rb"), 1);
}

void release(SDL_Surface*& picture) {
    if (picture) SDL_FreeSurface(picture);
    picture = nullptr;
}

}  // namespace

void loadPictures() {
    freePictures();
    g_bgImage = load("assets/updater/bg.bmp");
    g_progressImage = load("assets/updater/progress.bmp");
    g_titleImage = load("assets/updater/title.bmp");
}

void freePictures() {
    release(g_bgImage);
    release(g_progressImage);
    release(g_titleImage);
}

ScreenPictures screenPictures() {
    ScreenPictures pictures;
    pictures.background = g_bgImage;
    pictures.progress = g_progressImage;
    pictures.title = g_titleImage;
    return pictures;
}
