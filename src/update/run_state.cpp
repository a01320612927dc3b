// Storage of the run state.
#include "update/run_state.h"

int32_t UpdatePhase = Idle;
int32_t FilesToFetch = 0;
int32_t FilesFetched = 0;
std::string ManifestUrl;
