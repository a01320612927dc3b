// The program's spine on the main thread: the start-up order, the main loop and its frame.
#pragma once

struct SDL_Surface;

// The window's surface (SDL owns it); null until initVideo succeeds.
extern SDL_Surface* g_screen;

// The whole program: log, download service, start-up, manifest request, main loop, shutdown.
// Never returns.
[[noreturn]] void runApplication();
// Resets the run's counters and the animation, loads the configuration (a missing one is a
// fatal error and never returns), opens and places the window, loads the pictures. False only
// when the video cannot be started.
bool initApplication();
// Starts SDL video and opens the 300 by 50 borderless window; false (and a "!" log line) when
// SDL or the video mode cannot be started.
bool initVideo();
// Moves the window to the screen's top-left corner; leaves it when the query fails.
void placeWindow();
// One main-loop iteration; false when the user asked to quit.
bool runFrame();
// Drains the event queue; false on Escape or a quit event.
bool pollEvents();
