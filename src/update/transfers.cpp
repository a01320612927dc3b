// Queueing the files a run must stage, and finishing each one when it arrives.
#include "update/transfers.h"

#include <algorithm>
#include <cstdio>

#include "net/download_name.h"
#include "platform/platform.h"
#include "update/delta_update.h"
#include "update/local_digests.h"
#include "update/staging.h"
#include "update/unpack.h"
#include "util/file_system.h"
#include "util/strings.h"

namespace {

const char* const kGame = "kib.exe";

std::string filePrefix(const std::string& localPath) { return "\t\t" + localPath + ": "; }

// What the player is told when the release does not fit: that the disk is full, and how much
// more the update needs when that is known.
std::string diskFullFailure(int64_t bytesMissing) {
    if (bytesMissing <= 0) return "Not enough free space on the disk for the update";
    const int64_t mebibytes = (bytesMissing + (int64_t(1) << 20) - 1) >> 20;
    return "Not enough free space on the disk: the update needs at least " + std::to_string(mebibytes) + " MB more";
}

// What an earlier run of an updater that wrote its downloads beside the files left there (a
// download cut short, or a verified ".gz" not yet unpacked) moves to where this run continues it.
void adoptEarlierDownload(const std::string& earlier, const std::string& staged) {
    if (platformFileKind(earlier) != PlatformFileKind::Regular || platformFileKind(staged) != PlatformFileKind::Missing)
        return;
    makeDirectories(directoryOf(staged));
    platformRenameFile(earlier, staged);
}

// The worker's step for a staged ".gz": unpacked into the staged file.
FinishStep unpackStep(const std::string& shownPath, const std::string& staged, const std::string& unpackedMd5,
                      bool unverified) {
    return [=](DownloadRequest& request, const std::atomic<bool>& stopping) {
        request.finishing = unpackArrived(request.localPath, staged, shownPath, unpackedMd5, unverified, &stopping);
    };
}

}  // namespace

DownloadRequest fileRequest(const PlannedFetch& file, const std::string& copyFrom) {
    const std::string target = file.finalPath();
    const std::string staged = stagedName(target);
    const bool gz = hasGzipSuffix(file.localPath);
    DownloadRequest request;
    request.url = file.url;
    request.localPath = gz ? stagedGzipName(target) : staged;
    request.expectedMd5 = file.expectedMd5;
    // A server compressing on the fly may send much less than it means, but not a file of ever
    // more bytes: no file unpacks to more than a ".gz" may.
    request.maxBytesPerAnnouncedByte = kUnpackRatio;
    request.announcedBoundFloor = kUnpackFloor;
    // A ".gz" an interrupted run left verified is unpacked without a transfer.
    request.verifyExisting = gz;
    if (gz) request.finishStep = unpackStep(file.localPath, staged, file.unpackedMd5, file.expectedMd5.empty());
    // A large local copy may hold most of the new version's blocks. A ".gz" line names the
    // plain file beside it, which a server with a block map also serves.
    const bool compressed = gz && !file.unpackedMd5.empty();
    const std::string plainUrl = compressed && hasGzipSuffix(file.url) ? withoutGzipSuffix(file.url) : file.url;
    request.shortcut = deltaPlanFor(plainUrl, target, file.finalMd5());
    request.shortcut.attempt = stageByShortcut;
    request.shortcut.resultPath = staged;
    request.shortcut.md5 = file.finalMd5();
    request.shortcut.copyFrom = copyFrom;
    return request;
}

void logTransferNotes(const DownloadRequest& request, const std::string& prefix) {
    for (const std::string& event : request.events) std::printf("%s%s\n", prefix.c_str(), event.c_str());
    if (request.status != Done && !request.failure.empty())
        std::printf("%s%s\n", prefix.c_str(), request.failure.c_str());
}

FileTransfers::FileTransfers(DownloadManager& downloads, RunState& state, LocalDigests& digests)
    : downloads_(downloads), state_(state), digests_(digests) {}

std::string FileTransfers::queue(const Plan& plan) {
    files_ = plan.fetches;
    for (size_t i = 0; i < files_.size(); ++i) {
        const PlannedFetch& file = files_[i];
        // Counted first, so that the total is right even if this request is refused.
        ++state_.FilesToFetch;
        const std::string& md5 = file.finalMd5();
        DownloadRequest request = fileRequest(file, md5.empty() ? std::string() : digests_.fileHolding(md5));
        request.userData = int32_t(i);
        adoptEarlierDownload(downloadName(file.localPath), downloadName(request.localPath));
        if (hasGzipSuffix(file.localPath)) adoptEarlierDownload(file.localPath, request.localPath);
        if (downloads_.enqueue(std::move(request))) continue;
        std::printf("\t\tFailed to get %s. Reason: Queue Failed\n", file.localPath.c_str());
        return "Could not queue " + file.localPath;
    }
    return "";
}

std::string FileTransfers::arrived(DownloadRequest& request) {
    if (request.userData < 0 || size_t(request.userData) >= files_.size()) return "";
    const PlannedFetch& file = files_[size_t(request.userData)];
    return request.status == Done ? finished(request, file) : failed(request, file);
}

std::string FileTransfers::finished(DownloadRequest& request, const PlannedFetch& file) {
    // What a shortcut made (a delta update, a copy, an earlier run's staging) is the file itself,
    // whichever line named it.
    const std::string shown = request.byShortcut ? file.finalPath() : file.localPath;
    logTransferNotes(request, filePrefix(shown));
    std::printf("\t\tFinished %s\n", shown.c_str());
    std::printf("%s", request.note.c_str());
    ++state_.FilesFetched;
    if (request.byShortcut || !hasGzipSuffix(shown)) {
        std::printf("\t\t\t%s not compressed\n", shown.c_str());
    } else {
        for (const std::string& line : request.finishing.lines) std::printf("%s\n", line.c_str());
        if (request.finishing.diskFull) return diskFullFailure(0);
        if (!request.finishing.failure.empty()) return request.finishing.failure;
    }
    // The worker checked the staged file against this digest (a presence line gives none), and
    // stamped it where it put it: a download as it arrived, anything else as its step made it.
    const bool downloaded = !request.byShortcut && !hasGzipSuffix(file.localPath);
    staged_.push_back({size_t(request.userData), file.finalMd5(),
                       downloaded ? request.vouch : request.finishing.verifiedVouch});
    return "";
}

std::string FileTransfers::failed(DownloadRequest& request, const PlannedFetch& file) {
    const std::string& localPath = file.localPath;
    std::printf("%s", request.note.c_str());
    logTransferNotes(request, filePrefix(localPath));
    if (request.status == DigestMismatch) {
        // The download itself is already removed, and nothing of the player's was touched.
        std::printf("\t\t%s arrived as %s, not %s\n", localPath.c_str(), request.receivedMd5.c_str(),
                    request.expectedMd5.c_str());
        DownloadRequest again = fileRequest(file);
        again.userData = request.userData;
        again.fresh = true;
        // Fetched, not rebuilt or copied: what went wrong was the download.
        again.shortcut = DownloadShortcutPlan();
        if (refetched_.insert(localPath).second && downloads_.enqueue(std::move(again))) {
            std::printf("\t\tFetching %s once more, from the start and past any cache\n", localPath.c_str());
            return "";
        }
    }
    std::printf("\t\tFailed to get %s. Reason: %i\n", localPath.c_str(), int(request.status));
    if (request.diskFull) return diskFullFailure(request.bytesMissing);
    return "Could not download " + localPath;
}

std::vector<SwitchEntry> FileTransfers::switchEntries() const {
    std::vector<Staged> ordered = staged_;
    std::sort(ordered.begin(), ordered.end(), [](const Staged& a, const Staged& b) { return a.index < b.index; });
    std::vector<SwitchEntry> entries;
    for (const Staged& staged : ordered) {
        SwitchEntry entry;
        entry.path = files_[staged.index].finalPath();
        entry.staged = stagedName(entry.path);
        entry.md5 = staged.md5;
        entry.vouch = staged.vouch;
        // A program keeps its run permission; the game and the updater itself get it.
        entry.executable = platformIsExecutable(entry.path) || platformIsThisProgram(entry.path) || entry.path == kGame;
        entries.push_back(entry);
    }
    return entries;
}
