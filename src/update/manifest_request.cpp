// The first step of the run: fetching the manifest (and its signature, when the game ships a
// key) and handing it to the comparison.
#include "update/manifest_request.h"

#include <cstdio>

#include "net/download_manager.h"
#include "platform/platform.h"
#include "update/failure_sink.h"
#include "update/manifest.h"
#include "update/manifest_trust.h"
#include "update/own_files.h"
#include "update/run_state.h"
#include "update/transfers.h"
#include "util/file_system.h"

namespace {

// The manifest's notes, and its signature's, are run-level lines.
const char* const kManifestNotePrefix = "Manifest: ";
const char* const kSignatureNotePrefix = "Manifest signature: ";

// Decided once per run, when the manifest is requested.
bool g_signatureRequired = false;

// Queues fresh (past every cache: a republished release keeps its address) with a size limit
// of its own, leaving the manager's limit as it was for other requests.
void enqueueCapped(DownloadManager& manager, int64_t maxBytes, const std::string& url, const std::string& localPath,
                   DownloadCallback onSuccess, DownloadCallback onFailure) {
    const int64_t previous = manager.maxBytes();
    manager.setMaxBytes(maxBytes);
    // No expected digest: the download is always fetched anew, and replaces the old copy only
    // once complete.
    manager.enqueue(url, localPath, onSuccess, onFailure, true, "", true);
    manager.setMaxBytes(previous);
}

[[noreturn]] void refuseManifest(const std::string& logLine) {
    std::printf("%s\n", logLine.c_str());
    deleteIfExists(kSignatureCopyPath);
    reportFailure("Could not verify manifest");
}

void parseFetchedManifest() {
    std::printf("Manifest obtained. Parsing.\n");
    UpdatePhase = Downloading;
    if (parseManifest()) return;
    std::printf("\tError while parsing manifest\n");
    reportFailure("Invalid manifest format");
}

void onSignatureDownloaded(DownloadRequest* request) {
    logTransferNotes(*request, kSignatureNotePrefix);
    const TrustCheck check = verifyFetchedManifest();
    if (!check.accepted) refuseManifest(check.logLine);
    std::printf("%s\n", check.logLine.c_str());
    parseFetchedManifest();
}

void onSignatureFailed(DownloadRequest* request) {
    logTransferNotes(*request, kSignatureNotePrefix);
    refuseManifest("Manifest signature missing: " + signatureUrlFor(ManifestUrl) +
                   " could not be fetched. Reason: " + std::to_string(request->status));
}

}  // namespace

void requestManifest() {
    UpdatePhase = ManifestRequested;
    g_signatureRequired = signatureRequired();
    // An old copy that stays (read-only, immutable, a folder or link in its place) would be
    // parsed as if it were the fresh one: the run cannot go on without removing it.
    deleteIfExists(kManifestCopyPath);
    if (platformFileKind(kManifestCopyPath) != PlatformFileKind::Missing) {
        std::printf("Could not remove the old %s\n", kManifestCopyPath);
        reportFailure("Could not get manifest");
    }
    // The manager accepts every request from its construction on, so the result is not needed.
    DownloadManager* manager = g_downloadManager.load();
    if (!manager) return;
    if (g_signatureRequired)
        enqueueCapped(*manager, kSignedManifestMaxBytes, ManifestUrl, kManifestCopyPath, onManifestDownloaded,
                      onManifestFailed);
    else
        // No expected digest: the download is always fetched anew; `fresh` asks the caches on the
        // way for the same (a republished release keeps its address).
        manager->enqueue(ManifestUrl, kManifestCopyPath, onManifestDownloaded, onManifestFailed, true, "", true);
}

void onManifestDownloaded(DownloadRequest* request) {
    logTransferNotes(*request, kManifestNotePrefix);
    if (!g_signatureRequired) {
        parseFetchedManifest();
        return;
    }
    // Nothing of the manifest is acted upon before its signature has been checked.
    std::printf("Manifest obtained. Fetching its signature.\n");
    if (DownloadManager* manager = g_downloadManager.load())
        enqueueCapped(*manager, kSignatureMaxBytes, signatureUrlFor(ManifestUrl), kSignatureCopyPath,
                      onSignatureDownloaded, onSignatureFailed);
}

void onManifestFailed(DownloadRequest* request) {
    logTransferNotes(*request, kManifestNotePrefix);
    std::printf("Failed to download manifest. Reason: %i\n", int(request->status));
    reportFailure("Could not get manifest");
}
