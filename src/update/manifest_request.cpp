// The first step of the run: fetching the manifest and handing it to the comparison.
#include "update/manifest_request.h"

#include <cstdio>

#include "net/download_manager.h"
#include "update/failure_sink.h"
#include "update/manifest.h"
#include "update/run_state.h"
#include "update/transfers.h"

namespace {

// The manifest's notes are run-level lines.
const char* const kManifestNotePrefix = "Manifest: ";

}  // namespace

void requestManifest() {
    UpdatePhase = ManifestRequested;
    // No expected digest: the manager deletes any old copy, so the manifest is always fresh;
    // `fresh` asks the caches on the way for the same (a republished release keeps its address).
    // The manager accepts every request from its construction on, so the result is not needed.
    if (DownloadManager* manager = g_downloadManager.load())
        manager->enqueue(ManifestUrl, kManifestCopyPath, onManifestDownloaded, onManifestFailed, true, "", true);
}

void onManifestDownloaded(DownloadRequest* request) {
    logTransferNotes(*request, kManifestNotePrefix);
    std::printf("Manifest obtained. Parsing.\n");
    UpdatePhase = Downloading;
    if (parseManifest()) return;
    std::printf("\tError while parsing manifest\n");
    reportFailure("Invalid manifest format");
}

void onManifestFailed(DownloadRequest* request) {
    logTransferNotes(*request, kManifestNotePrefix);
    std::printf("Failed to download manifest. Reason: %i\n", int(request->status));
    reportFailure("Could not get manifest");
}
