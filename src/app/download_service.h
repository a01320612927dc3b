// The process's one download manager: created and started at start-up, owned here, and
// destroyed by the shutdown. Main thread only; g_downloadManager is the non-owning handle the
// rest of the program uses.
#pragma once

// Creates the manager (which makes g_downloadManager point at it), applies KIB_STALL_TIMEOUT_MS
// and KIB_RETRY_DELAY_MS from the environment and the system's proxy settings, and starts the
// five workers.
// False when no worker thread could be started (then no download can ever finish).
bool startDownloadService();
// Destroys the manager: its workers end and every undelivered request reaches its failure
// callback, which may end the process from inside. Safe to re-enter from such a callback: the
// manager is already out of this owner's hands then, and the nested call does nothing.
void stopDownloadService();
