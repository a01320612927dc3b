// The program's one way out. Main thread only.
#pragma once

// Stops the download service (undelivered requests reach their failure callbacks), frees the
// pictures, quits SDL and exits with code 0. Safe to re-enter from one of those callbacks.
[[noreturn]] void shutdownAndExit();
