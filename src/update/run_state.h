// The state of the one update run per process: its phase, its file counters, its address.
// Touched on the main thread only, so no lock guards it.
#pragma once

#include <cstdint>
#include <string>

// The phase numbers are part of the contract: the main loop ends the run on any value above 3.
enum UpdatePhaseValue : int32_t {
    Idle = 0,
    ManifestRequested = 1,
    Downloading = 2,
    Failed = 3,
    Updated = 4,
    UpToDate = 5,
};

extern int32_t UpdatePhase;
// Files queued for download in this run.
extern int32_t FilesToFetch;
// Queued files delivered successfully and finished; never exceeds FilesToFetch.
extern int32_t FilesFetched;
// The manifest's address: the trimmed content of the configuration plus "?ver=0.3.0" (or "&ver=0.3.0"
// when it has a query already).
extern std::string ManifestUrl;
