// The few operations that differ between operating systems. One source file per platform
// implements all of them; CMake picks it, so no other file needs to know the platform.
#pragma once

#include <string>

// Socket library start-up and clean-up for the process (Windows Sockets; nothing on POSIX).
void platformStartSockets();
void platformStopSockets();

// Shows a modal box with a warning icon and one OK button, on top of other windows, and
// returns when the user has closed it. A box that cannot be shown is no error.
void platformShowMessage(const std::string& caption, const std::string& text);

// Moves the SDL window to the screen's top-left corner, 300 by 50, raised and shown. Leaves it
// where it is when SDL's window-manager query fails (as with the dummy video driver).
void platformPlaceWindow();

// Starts `file` from the working directory without waiting for it. Returns a value above 32 on
// success, otherwise the failure code Windows' ShellExecute gives (2 file not found, 5 access
// denied, 8 out of memory, 11 not a program this system can run, ...).
int platformLaunchGame(const std::string& file);
