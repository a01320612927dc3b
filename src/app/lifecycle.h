// The program's spine on the main thread: the start-up order, the main loop and its frame, and
// the one way out.
#pragma once

struct SDL_Surface;

// The window's surface (SDL owns it); null until initVideo succeeds and after the window closes.
extern SDL_Surface* g_screen;

// The whole program: log, download service, start-up, the update run and its main loop, the
// outcome, the shutdown. Returns the process's exit code, which is always 0.
int runApplication();
