// The start-up initialisation: run state, configuration, window and the three pictures.
#pragma once

struct SDL_Surface;

// The pictures of the progress screen; each null when its file is missing or unreadable.
extern SDL_Surface* g_bgImage;
extern SDL_Surface* g_progressImage;
extern SDL_Surface* g_titleImage;

// Resets the run's counters and the animation, loads the configuration (a missing one is a
// fatal error and never returns), opens and places the window, loads the pictures. False only
// when the video cannot be started.
bool initApplication();
// Fills ManifestUrl from "assets/updater/update.cfg": its content trimmed at both ends, then
// "?ver=0.3.0", or "&ver=0.3.0" when the address has a query of its own. A missing file ends the
// program with a fatal error.
void loadConfig();
