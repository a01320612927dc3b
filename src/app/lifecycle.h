// The program's spine on the main thread: start-up, the main loop and the one way out.
#pragma once

struct SDL_Surface;

// The window's surface; null until initVideo succeeds.
extern SDL_Surface* g_screen;

// The whole program: log, download service, start-up, manifest request, main loop, shutdown.
// Never returns.
[[noreturn]] void runApplication();
// Starts SDL video and opens the 300 by 50 borderless window; false (and a "!" log line) when
// SDL or the video mode cannot be started.
bool initVideo();
// Moves the window to the screen's top-left corner; leaves it when the query fails.
void placeWindow();
// One main-loop iteration; false when the user asked to quit.
bool runFrame();
// Drains the event queue; false on Escape or a quit event.
bool pollEvents();
// Stops the download service (undelivered requests reach their failure callbacks), frees the
// pictures, quits SDL and exits with code 0. Safe to re-enter from one of those callbacks.
[[noreturn]] void shutdownAndExit();
