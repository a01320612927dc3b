// How a run ends: the fatal-error box, or the outcome box and the start of the game.
// Main thread only; both routines end the process.
#pragma once

#include <string>

// Sets the phase to Failed, deletes "manifest.txt", shows "Oh no! Problems!" with `failure`
// followed by the advice and the help address, and shuts down. Logs nothing itself.
[[noreturn]] void fatalError(const std::string& failure);
// Deletes "manifest.txt", shows "Done!" (phase Updated) or "Up to date!", starts "kib.exe",
// shows "Error!" with the code when that failed, and shuts down.
[[noreturn]] void finishRun();
// A modal warning box with one OK button; returns when the user has closed it.
void showMessage(const std::string& caption, const std::string& text);
