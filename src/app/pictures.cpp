// The progress screen's pictures.
#include "app/pictures.h"

#include <SDL.h>

#include <string>

#include "util/file_system.h"

SDL_Surface* g_bgImage = nullptr;
SDL_Surface* g_progressImage = nullptr;
SDL_Surface* g_titleImage = nullptr;

namespace {

// Far more than a picture of a 300 by 50 window takes.
constexpr size_t kMaxPictureBytes = 16 << 20;

SDL_Surface* load(const char* path) {
    // Read through the platform's file API, which follows no link; the loader frees the stream.
    std::string bytes;
    if (!readWholeFile(bytes, path, kMaxPictureBytes) || bytes.empty() || bytes.size() > kMaxPictureBytes)
        return nullptr;
    return SDL_LoadBMP_RW(SDL_RWFromConstMem(bytes.data(), int(bytes.size())), 1);
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
