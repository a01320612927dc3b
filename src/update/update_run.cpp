// The update run: an earlier switch, manifest, signature, comparison, staging, switch, outcome.
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
#include "update/presence_digests.h"
#include "update/release_switch.h"
#include "update/staging.h"
#include "update/transfers.h"
#include "util/file_system.h"

namespace {

// What each request the run sends is for; files carry their index in the plan (0 and up).
enum RequestTag : int32_t { kManifestTag = -1, kSignatureTag = -2, kPresenceDigestsTag = -3 };

// The manifest's notes, and its signature's, are run-level lines.
const char* const kManifestNotePrefix = "Manifest: ";
const char* const kSignatureNotePrefix = "Manifest signature: ";

// One slice of work per frame: short enough that the window answers, long enough that a large
// manifest whose files are all trusted is compared (or a large release switched) in a few frames.
constexpr std::chrono::milliseconds kSlice(10);

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
    ReleaseSwitch releaseSwitch;
    PresenceDigests presenceDigests;
    // Where the run stands beyond its phase.
    enum class Stage { Idle, FinishingEarlierSwitch, Fetching, Comparing, Staging, Switching } stage = Stage::Idle;
};

UpdateRun::UpdateRun(DownloadManager& downloads, std::string manifestUrl)
    : downloads_(downloads), manifestUrl_(std::move(manifestUrl)), parts_(new Parts(*this)) {}

UpdateRun::~UpdateRun() = default;

void UpdateRun::fail(const std::string& failure) {
    if (ended()) return;
    state_.UpdatePhase = Failed;
    failure_ = failure;
    parts_->stage = Parts::Stage::Idle;
}

void UpdateRun::start() {
    ReleaseSwitch::removeLeftovers();
    // An earlier run stopped in the middle of a switch: the folder holds parts of two releases
    // until it is finished, so it comes before anything else.
    if (parts_->releaseSwitch.resume()) {
        state_.UpdatePhase = ManifestRequested;
        parts_->stage = Parts::Stage::FinishingEarlierSwitch;
        return;
    }
    requestManifest();
}

void UpdateRun::requestManifest() {
    state_.UpdatePhase = ManifestRequested;
    parts_->stage = Parts::Stage::Fetching;
    // Decided once per run: with a key in the folder, nothing unsigned is acted upon.
    signatureRequired_ = signatureRequired();
    if (!signatureRequired_) std::printf("No %s: the manifest's signature is not checked\n", kPublicKeyPath);
    // An old copy that stays (read-only, immutable, a folder or link in its place) would be
    // parsed as if it were the fresh one: the run cannot go on without removing it.
    deleteIfExists(kManifestCopyPath);
    if (platformFileKind(kManifestCopyPath) != PlatformFileKind::Missing) {
        std::printf("Could not remove the old %s\n", kManifestCopyPath);
        return fail("Could not get manifest");
    }
    DownloadRequest request = manifestRequest(manifestUrl_);
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
    case kPresenceDigestsTag:
        return presenceDigestsArrived(request);
    default:
        break;
    }
    const std::string failure = parts_->transfers.arrived(request);
    if (!failure.empty()) return fail(failure);
    if (parts_->stage == Parts::Stage::Staging && parts_->transfers.allStaged() && !cancelled_) beginSwitch();
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
                                 ? verifyFetchedManifest(manifestUrl_)
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

void UpdateRun::presenceDigestsArrived(DownloadRequest& request) {
    if (!parts_->presenceDigests.arrived(request)) return;
    Plan plan = parts_->comparison.plan();
    const std::string failure = parts_->presenceDigests.apply(plan);
    if (!failure.empty()) return fail(failure);
    stagePlan(plan);
}

void UpdateRun::compareFetchedManifest() {
    std::printf("Manifest obtained. Parsing.\n");
    state_.UpdatePhase = Downloading;
    std::string manifest;
    bool begun = false;
    try {
        begun = readManifestCopy(manifest) && parts_->comparison.begin(std::move(manifest));
    } catch (const std::bad_alloc&) {
        // Within the size limit, yet more than this machine can hold.
        std::printf("\tManifest too large for the memory available\n");
    }
    if (!begun) {
        std::printf("\tError while parsing manifest\n");
        return fail("Invalid manifest format");
    }
    parts_->stage = Parts::Stage::Comparing;
    if (cancelled_) cancel();
}

void UpdateRun::advance() {
    if (ended() || cancelled_) return;
    switch (parts_->stage) {
    case Parts::Stage::FinishingEarlierSwitch:
    case Parts::Stage::Switching:
        return switchStep();
    case Parts::Stage::Comparing:
        if (parts_->comparison.step(kSlice)) queuePlan();
        return;
    default:
        return;
    }
}

void UpdateRun::queuePlan() {
    const Plan& plan = parts_->comparison.plan();
    if (!plan.refusedPath.empty()) return fail("Could not download " + plan.refusedPath);
    parts_->stage = Parts::Stage::Staging;
    // With a key, nothing unsigned is installed: a presence-only file's first copy waits for
    // its digest from the signed list.
    if (signatureRequired_ && plansUncheckedFetch(plan)) {
        if (!parts_->presenceDigests.request(downloads_, manifestUrl_, kPresenceDigestsTag))
            fail("Could not verify manifest");
        return;
    }
    stagePlan(plan);
}

void UpdateRun::stagePlan(const Plan& plan) {
    std::vector<std::string> staged;
    for (const PlannedFetch& file : plan.fetches) staged.push_back(file.finalPath());
    if (!listStagedFiles(staged)) {
        std::printf("Could not write %s\n", kStagedListPath);
        return fail("Could not download " + plan.fetches.front().localPath);
    }
    const std::string failure = parts_->transfers.queue(plan);
    if (!failure.empty()) return fail(failure);
    // No file can have arrived yet: with nothing queued the release is staged already.
    if (state_.FilesToFetch == 0) beginSwitch();
}

void UpdateRun::beginSwitch() {
    std::vector<SwitchEntry> entries = parts_->transfers.switchEntries();
    for (const std::string& path : parts_->digests.droppedFiles(
             [this](const auto& visit) { parts_->comparison.forEachListedFile(visit); })) {
        SwitchEntry removal;
        removal.path = path;
        entries.push_back(removal);
    }
    if (entries.empty()) {
        // What an earlier, stopped run staged for a release that never came is of no use now.
        removeStagedFiles();
        state_.UpdatePhase = UpToDate;
        return;
    }
    if (!parts_->releaseSwitch.begin(std::move(entries))) return fail(parts_->releaseSwitch.failure());
    parts_->stage = Parts::Stage::Switching;
    switchStep();
}

void UpdateRun::switchStep() {
    switch (parts_->releaseSwitch.step(kSlice)) {
    case ReleaseSwitch::Progress::Working:
        return;
    case ReleaseSwitch::Progress::Failed:
        return fail(parts_->releaseSwitch.failure());
    case ReleaseSwitch::Progress::Done:
        break;
    }
    if (parts_->stage == Parts::Stage::FinishingEarlierSwitch) return requestManifest();
    // In place and verified: the next start trusts them without reading them.
    for (const SwitchEntry& entry : parts_->releaseSwitch.entries())
        if (!entry.staged.empty()) parts_->digests.noteVerified(entry.path, entry.md5, entry.vouch);
    removeStagedFiles();
    state_.UpdatePhase = Updated;
}

void UpdateRun::cancel() {
    cancelled_ = true;
    if (parts_->stage != Parts::Stage::Comparing) return;
    parts_->comparison.stop();
    parts_->stage = Parts::Stage::Idle;
}

double UpdateRun::waitLeft() const {
    return parts_->releaseSwitch.waiting() ? parts_->releaseSwitch.patienceLeft() : 0.0;
}

void UpdateRun::saveRecord() { parts_->digests.save(); }
