// Queueing the files a run must fetch, and finishing each one when it arrives.
#include "update/transfers.h"

#include <cstdio>

#include "update/delta_update.h"
#include "update/local_digests.h"
#include "update/unpack.h"
#include "util/strings.h"

namespace {

std::string filePrefix(const std::string& localPath) { return "\t\t" + localPath + ": "; }

// The worker's step for a ".gz" queued with `unpackedMd5`.
FinishStep unpackStep(const std::string& unpackedMd5, bool unverified) {
    return [unpackedMd5, unverified](DownloadRequest& request, const std::atomic<bool>& stopping) {
        request.finishing = unpackArrived(request.localPath, unpackedMd5, unverified, &stopping);
    };
}

}  // namespace

DownloadRequest fileRequest(const PlannedFetch& file) {
    DownloadRequest request;
    request.url = file.url;
    request.localPath = file.localPath;
    request.expectedMd5 = file.expectedMd5;
    const bool gz = hasGzipSuffix(file.localPath);
    if (gz) request.finishStep = unpackStep(file.unpackedMd5, file.expectedMd5.empty());
    // A large local copy may hold most of the new version's blocks. A ".gz" line names the
    // plain file beside it, which a server with a block map also serves.
    const bool compressed = !file.unpackedMd5.empty() && gz;
    const std::string plainUrl = compressed && hasGzipSuffix(file.url) ? withoutGzipSuffix(file.url) : file.url;
    request.shortcut = compressed ? deltaPlanFor(plainUrl, withoutGzipSuffix(file.localPath), file.unpackedMd5)
                                  : deltaPlanFor(file.url, file.localPath, file.expectedMd5);
    // Only a ".gz" may stand complete from an interrupted run; any other local copy the
    // comparison has just found stale, and reading it again would only cost time.
    request.verifyExisting = gz;
    return request;
}

void logTransferNotes(const DownloadRequest& request, const std::string& prefix) {
    for (const std::string& event : request.events) std::printf("%s%s\n", prefix.c_str(), event.c_str());
    if (request.status != Done && !request.failure.empty())
        std::printf("%s%s\n", prefix.c_str(), request.failure.c_str());
}

FileTransfers::FileTransfers(DownloadManager& downloads, RunState& state, LocalDigests& digests)
    : downloads_(downloads), state_(state), digests_(digests) {}

std::string FileTransfers::queue(const Plan& plan, int32_t tag) {
    for (const PlannedFetch& file : plan.fetches) {
        // Counted first, so that the total is right even if this request is refused.
        ++state_.FilesToFetch;
        DownloadRequest request = fileRequest(file);
        request.userData = tag;
        if (downloads_.enqueue(std::move(request))) continue;
        std::printf("\t\tFailed to get %s. Reason: Queue Failed\n", file.localPath.c_str());
        return "Could not queue " + file.localPath;
    }
    return "";
}

std::string FileTransfers::arrived(DownloadRequest& request) {
    return request.status == Done ? finished(request) : failed(request);
}

std::string FileTransfers::finished(DownloadRequest& request) {
    // A shortcut (a delta update) made the plain file itself, whichever line named it.
    const std::string& path = request.byShortcut ? request.finishing.verifiedPath : request.localPath;
    logTransferNotes(request, filePrefix(request.localPath));
    std::printf("\t\tFinished %s\n", path.c_str());
    std::printf("%s", request.note.c_str());
    ++state_.FilesFetched;
    if (request.byShortcut || !hasGzipSuffix(path)) {
        // The worker has checked the file against this digest; a ".gz" is noted once unpacked.
        digests_.noteVerified(path, request.byShortcut ? request.finishing.verifiedMd5 : request.expectedMd5);
        std::printf("\t\t\t%s not compressed\n", path.c_str());
    } else {
        for (const std::string& line : request.finishing.lines) std::printf("%s\n", line.c_str());
        if (!request.finishing.failure.empty()) return request.finishing.failure;
        digests_.noteVerified(request.finishing.verifiedPath, request.finishing.verifiedMd5);
    }
    if (state_.FilesFetched == state_.FilesToFetch) state_.UpdatePhase = Updated;
    return "";
}

std::string FileTransfers::failed(DownloadRequest& request) {
    const std::string localPath = request.localPath;
    std::printf("%s", request.note.c_str());
    logTransferNotes(request, filePrefix(localPath));
    if (request.status == DigestMismatch) {
        // The download itself is already removed: the player's file stays as it was, and the
        // second fetch replaces it only once verified.
        std::printf("\t\t%s arrived as %s, not %s\n", localPath.c_str(), request.receivedMd5.c_str(),
                    request.expectedMd5.c_str());
        DownloadRequest again;
        again.url = request.url;
        again.localPath = localPath;
        again.userData = request.userData;
        again.verifyExisting = hasGzipSuffix(localPath);
        again.expectedMd5 = request.expectedMd5;
        again.fresh = true;
        again.finishStep = request.finishStep;
        if (refetched_.insert(localPath).second && downloads_.enqueue(std::move(again))) {
            std::printf("\t\tFetching %s once more, from the start and past any cache\n", localPath.c_str());
            return "";
        }
    }
    std::printf("\t\tFailed to get %s. Reason: %i\n", localPath.c_str(), int(request.status));
    return "Could not download " + localPath;
}
