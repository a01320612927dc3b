// Ownership of the download manager.
#include "app/download_service.h"

#include <cstdlib>
#include <memory>

#include "net/download_manager.h"
#include "net/proxy.h"

namespace {

constexpr int kWorkerThreads = 5;
// Shortens the wait for a server that stopped sending (tests use it to stay fast); the
// manager's own 30 seconds hold otherwise.
const char* const kStallTimeoutVariable = "KIB_STALL_TIMEOUT_MS";
// Shortens the wait before a retry (tests use it to stay fast); 1, 2 and 4 seconds otherwise.
const char* const kRetryDelayVariable = "KIB_RETRY_DELAY_MS";

std::unique_ptr<DownloadManager> ownedManager;

// A variable's milliseconds, or -1 when it is unset or no number in 0..3600000.
long millisecondsFrom(const char* variable) {
    const char* value = std::getenv(variable);
    if (!value) return -1;
    char* end = nullptr;
    const long milliseconds = std::strtol(value, &end, 10);
    if (end != value && *end == '\0' && milliseconds >= 0 && milliseconds <= 3600000) return milliseconds;
    return -1;
}

void applyTestTimings(DownloadManager& manager) {
    const long stall = millisecondsFrom(kStallTimeoutVariable);
    if (stall > 0) manager.setStallTimeout(int(stall));
    const long retry = millisecondsFrom(kRetryDelayVariable);
    if (retry >= 0) manager.setRetryDelay(int(retry));
}

}  // namespace

bool startDownloadService() {
    ownedManager.reset(new DownloadManager());
    applyTestTimings(*ownedManager);
    ownedManager->setProxy(proxySettingsFromSystem());
    return ownedManager->start(kWorkerThreads);
}

void stopDownloadService() {
    // reset() lets go of the pointer before it deletes the manager, so a nested call from one
    // of the failure callbacks the destructor runs finds nothing left to stop.
    ownedManager.reset();
}
