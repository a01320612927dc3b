// The update run: manifest, signature, comparison, files, outcome.
#include "update/update_run.h"

#include <cstdio>
#include <new>

#include "net/url.h"
#include "platform/platform.h"
#include "update/local_digests.h"
#include "update/manifest.h"
#include "update/manifest_request.h"
#include "update/manifest_trust.h"
#include "update/own_files.h"
#include "update/transfers.h"
#include "util/file_system.h"

namespace {

// What each request the run sends is for; files carry kFileTag.
enum RequestTag : int32_t { kManifestTag = 1, kSignatureTag = 2, kFileTag = 3 };

// The manifest's notes, and its signature's, are run-level lines.
const char* const kManifestNotePrefix = "Manifest: ";
const char* const kSignatureNotePrefix = "Manifest signature: ";

// One slice of the comparison: short enough that the window answers, long enough that a large
// manifest whose files are all trusted is compared in a few frames.
constexpr std::chrono::milliseconds kComparisonSlice(10);

}  // namespace

// What the run owns beside its state.
struct UpdateRun::Parts {
    explicit Parts(UpdateRun& run)
        : digests(kVerifiedFilesPath, kVerifiedFilesTemporaryPath),
          comparison(digests),
          transfers(run.downloads_, run.state_, digests) {}
    LocalDigests digests;
    ManifestComparison comparison;
    FileTransfers transfers;
    // A comparison has begun and its plan is not queued yet.
    bool comparing = false;
};

UpdateRun::UpdateRun(DownloadManager& downloads, std::string manifestUrl)
    : downloads_(downloads), manifestUrl_(std::move(manifestUrl)), parts_(new Parts(*this)) {}

UpdateRun::~UpdateRun() = default;

void UpdateRun::fail(const std::string& failure) {
    if (ended()) return;
    state_.UpdatePhase = Failed;
    failure_ = failure;
    parts_->comparing = false;
}

void UpdateRun::start() {
    state_.UpdatePhase = ManifestRequested;
    // Decided once per run: with a key in the folder, nothing unsigned is acted upon.
    signatureRequired_ = signatureRequired();
    // An old copy that stays (read-only, immutable, a folder or link in its place) would be
    // parsed as if it were the fresh one: the run cannot go on without removing it.
    deleteIfExists(kManifestCopyPath);
    if (platformFileKind(kManifestCopyPath) != PlatformFileKind::Missing) {
        std::printf("Could not remove the old %s\n", kManifestCopyPath);
        return fail("Could not get manifest");
    }
    DownloadRequest request = manifestRequest(manifestUrl_, signatureRequired_);
    request.userData = kManifestTag;
    downloads_.enqueue(std::move(request));
}

void UpdateRun::deliver(DownloadRequest& request) {
    if (ended()) return;
    switch (request.userData) {
    case kManifestTag:
        return manifestArrived(request);
    case kSignatureTag:
        return signatureArrived(request);
    default: {
        const std::string failure = parts_->transfers.arrived(request);
        if (!failure.empty()) fail(failure);
        return;
    }
    }
}

void UpdateRun::manifestArrived(DownloadRequest& request) {
    logTransferNotes(request, kManifestNotePrefix);
    if (request.status != Done) {
        std::printf("Failed to download manifest. Reason: %i\n", int(request.status));
        return fail("Could not get manifest");
    }
    if (!signatureRequired_) return compareFetchedManifest();
    // Nothing of the manifest is acted upon before its signature has been checked.
    std::printf("Manifest obtained. Fetching its signature.\n");
    DownloadRequest signature = signatureRequest(manifestUrl_);
    signature.userData = kSignatureTag;
    if (!downloads_.enqueue(std::move(signature))) fail("Could not verify manifest");
}

void UpdateRun::signatureArrived(DownloadRequest& request) {
    logTransferNotes(request, kSignatureNotePrefix);
    const TrustCheck check = request.status == Done
                                 ? verifyFetchedManifest()
                                 : TrustCheck{false,
                                              "Manifest signature missing: " +
                                                  withoutCredentials(signatureUrlFor(manifestUrl_)) +
                                                  " could not be fetched. Reason: " + std::to_string(request.status),
                                              0};
    std::printf("%s\n", check.logLine.c_str());
    if (check.accepted) return compareFetchedManifest();
    deleteIfExists(kSignatureCopyPath);
    fail("Could not verify manifest");
}

void UpdateRun::compareFetchedManifest() {
    std::printf("Manifest obtained. Parsing.\n");
    state_.UpdatePhase = Downloading;
    std::string manifest;
    bool begun = false;
    try {
        begun = readManifestCopy(manifest) && parts_->comparison.begin(manifest);
    } catch (const std::bad_alloc&) {
        // Within the size limit, yet more than this machine can hold.
        std::printf("\tManifest too large for the memory available\n");
    }
    if (!begun) {
        std::printf("\tError while parsing manifest\n");
        return fail("Invalid manifest format");
    }
    parts_->comparing = true;
    if (cancelled_) cancel();
}

void UpdateRun::advance() {
    if (ended() || cancelled_ || !parts_->comparing) return;
    if (!parts_->comparison.step(kComparisonSlice)) return;
    parts_->comparing = false;
    queuePlan();
}

void UpdateRun::queuePlan() {
    const Plan& plan = parts_->comparison.plan();
    if (!plan.refusedPath.empty()) return fail("Could not download " + plan.refusedPath);
    const std::string failure = parts_->transfers.queue(plan, kFileTag);
    if (!failure.empty()) return fail(failure);
    // No file can have arrived yet: the counters are final, and nothing queued means up to date.
    if (state_.FilesToFetch == 0) state_.UpdatePhase = UpToDate;
}

void UpdateRun::cancel() {
    cancelled_ = true;
    if (!parts_->comparing) return;
    parts_->comparison.stop();
    parts_->comparing = false;
}

void UpdateRun::saveRecord() { parts_->digests.save(); }
