// The three pictures of the progress screen: loaded once at start-up, owned here until the
// window closes. Main thread only.
#pragma once

#include "ui/progress_screen.h"

struct SDL_Surface;

// Non-owning handles to the loaded pictures; each null when its file is missing or unreadable,
// and null again after freePictures.
extern SDL_Surface* g_bgImage;
extern SDL_Surface* g_progressImage;
extern SDL_Surface* g_titleImage;

// Loads "assets/updater/bg.bmp", "progress.bmp" and "title.bmp" (replacing any loaded before).
void loadPictures();
// Frees the pictures; must run before SDL_Quit.
void freePictures();
// The handles, as the screen takes them.
ScreenPictures screenPictures();
