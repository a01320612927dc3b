// The state of an update run as the window and the outcome read it: its phase and its file
// counters.
#pragma once

#include <cstdint>

// The phase numbers are part of the contract: a run has ended on any value above 2.
enum UpdatePhaseValue : int32_t {
    Idle = 0,
    ManifestRequested = 1,
    Downloading = 2,
    Failed = 3,
    Updated = 4,
    UpToDate = 5,
};

struct RunState {
    int32_t UpdatePhase = Idle;
    // Files queued for download in this run.
    int32_t FilesToFetch = 0;
    // Queued files delivered successfully and finished; never exceeds FilesToFetch.
    int32_t FilesFetched = 0;
};
