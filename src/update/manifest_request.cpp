// Placeholder until the update engine lands: the run starts and waits.
#include "update/manifest_request.h"

#include "update/run_state.h"

void requestManifest() { UpdatePhase = ManifestRequested; }
void onManifestDownloaded(DownloadRequest*) {}
void onManifestFailed(DownloadRequest*) {}
