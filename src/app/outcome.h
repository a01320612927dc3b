// How a run ends for the player: the fatal-error box, or the outcome box and the start of the
// game. Main thread only; nothing here ends the process.
#pragma once

#include <string>

class UpdateRun;

// Deletes "manifest.txt" and shows "Oh no! Problems!" with `failure` followed by the advice and
// the help address. Returns when the player has closed the box.
void showFatalError(const std::string& failure);
// For a run that ended Updated or UpToDate: deletes "manifest.txt", writes the record of
// verified files, shows "Done!" or "Up to date!", starts "kib.exe", and shows "Error!" with the
// code when that failed.
void finishRun(UpdateRun& run);
// A modal warning box with one OK button; returns when the user has closed it.
void showMessage(const std::string& caption, const std::string& text);
