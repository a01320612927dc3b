// Setting up the download manager from the environment.
#include "app/downloads_setup.h"

#include <cstdlib>

#include "net/download_manager.h"
#include "net/proxy.h"

namespace {

// Shortens the wait for a server that stopped sending (tests use it to stay fast); the
// manager's own 30 seconds hold otherwise.
const char* const kStallTimeoutVariable = "KIB_STALL_TIMEOUT_MS";
// Shortens the wait before a retry (tests use it to stay fast); 1, 2 and 4 seconds otherwise.
const char* const kRetryDelayVariable = "KIB_RETRY_DELAY_MS";

// A variable's milliseconds, or -1 when it is unset or no number in 0..3600000.
long millisecondsFrom(const char* variable) {
    const char* value = std::getenv(variable);
    if (!value) return -1;
    char* end = nullptr;
    const long milliseconds = std::strtol(value, &end, 10);
    if (end != value && *end == '\0' && milliseconds >= 0 && milliseconds <= 3600000) return milliseconds;
    return -1;
}

}  // namespace

void configureDownloads(DownloadManager& downloads) {
    const long stall = millisecondsFrom(kStallTimeoutVariable);
    if (stall > 0) downloads.setStallTimeout(int(stall));
    const long retry = millisecondsFrom(kRetryDelayVariable);
    if (retry >= 0) downloads.setRetryDelay(int(retry));
    downloads.setProxy(proxySettingsFromSystem());
}
