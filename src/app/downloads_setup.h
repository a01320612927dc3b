// How the updater's download manager is set up before it starts.
#pragma once

class DownloadManager;

// The five workers of every run.
constexpr int kDownloadWorkers = 5;

// Applies KIB_STALL_TIMEOUT_MS and KIB_RETRY_DELAY_MS from the environment (tests shorten the
// waits with them) and the system's proxy settings. Main thread, before the manager starts.
void configureDownloads(DownloadManager& downloads);
