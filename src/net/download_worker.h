// A download worker's loop (the manager's own; see download_manager.h for what it promises).
#pragma once

#include "net/download_shared.h"

// Runs on the worker's thread until the manager stops: takes the oldest waiting request (and,
// while the worker's connection carries several requests at once, the next few, sending them
// ahead), fetches, verifies and finishes each outside every lock, and appends it to the
// finished list. On a stop it drops the request it was handling, as a kill would, and puts back
// into the queue what it took and did not handle.
void runWorker(DownloadManager::Impl& manager, WorkerSlot& slot);
