// Ownership of the download manager.
#include "app/download_service.h"

#include <cstdlib>
#include <memory>

#include "net/download_manager.h"

namespace {

constexpr int kWorkerThreads = 5;
// Shortens the wait for a server that stopped sending (tests use it to stay fast); the
// manager's own 30 seconds hold otherwise.
const char* const kStallTimeoutVariable = "KIB_STALL_TIMEOUT_MS";

std::unique_ptr<DownloadManager> ownedManager;

void applyStallTimeout(DownloadManager& manager) {
    const char* value = std::getenv(kStallTimeoutVariable);
    if (!value) return;
    char* end = nullptr;
    const long milliseconds = std::strtol(value, &end, 10);
    if (end != value && *end == '\0' && milliseconds > 0 && milliseconds <= 3600000)
        manager.setStallTimeout(int(milliseconds));
}

}  // namespace

bool startDownloadService() {
    ownedManager.reset(new DownloadManager());
    applyStallTimeout(*ownedManager);
    return ownedManager->start(kWorkerThreads);
}

void stopDownloadService() {
    // reset() lets go of the pointer before it deletes the manager, so a nested call from one
    // of the failure callbacks the destructor runs finds nothing left to stop.
    ownedManager.reset();
}
