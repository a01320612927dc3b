// File transfers of the update run: the request that stages each planned file, and the
// finishing of each one that arrives (counting it and logging how it was staged). One thread
// (the run's).
#pragma once

#include <string>
#include <set>
#include <vector>

#include "net/download_manager.h"
#include "update/manifest.h"
#include "update/release_switch.h"
#include "update/run_state.h"

class LocalDigests;

// The request that stages `file` in its staged name (update/staging.h), verified: taken from
// what an earlier run staged, copied from `copyFrom` (a file of the folder that holds its bytes;
// may be empty), rebuilt from a large local copy (delta update), or downloaded (a ".gz" then
// unpacked by the worker, checked against the unpacked digest when the line gives one). Nothing
// of the game's folder is written.
DownloadRequest fileRequest(const PlannedFetch& file, const std::string& copyFrom = "");

// Logs what the worker met on the way (redirects, resumes, retries), then, for a failed request,
// why it failed: one line each, `prefix` in front.
void logTransferNotes(const DownloadRequest& request, const std::string& prefix);

// The files of one run: queued from its plan, staged as they arrive. Each function that can end
// the run returns the text for the player (empty when the run goes on), after its log lines.
class FileTransfers {
public:
    // `downloads`, `state` and `digests` belong to the run and outlive this.
    FileTransfers(DownloadManager& downloads, RunState& state, LocalDigests& digests);

    // Counts every fetch of `plan` in FilesToFetch and queues its request. A request the
    // manager refuses logs "Queue Failed" and fails the run with "Could not queue " + path.
    std::string queue(const Plan& plan);
    // A file request handed back. A success counts the file in FilesFetched and logs how it was
    // staged. A file that failed its digest is queued once more, fresh (past every cache, from
    // the first byte): a cache may hold an old release, or the file may have changed on the
    // server between a cut and its resume. Otherwise, and the second time, the status is logged
    // as the reason and the run fails with "Could not download " + path.
    std::string arrived(DownloadRequest& request);
    // Every file is staged.
    bool allStaged() const { return staged_.size() == files_.size(); }
    // The staged files, in the plan's order, as the switch puts them in place.
    std::vector<SwitchEntry> switchEntries() const;

private:
    std::string finished(DownloadRequest& request, const PlannedFetch& file);
    std::string failed(DownloadRequest& request, const PlannedFetch& file);

    DownloadManager& downloads_;
    RunState& state_;
    LocalDigests& digests_;
    // The plan's fetches; a request's userData is its index here.
    std::vector<PlannedFetch> files_;
    // Per staged fetch: its index, its digest for the record (empty: none) and the stamp its
    // verifier vouched for.
    struct Staged {
        size_t index;
        std::string md5;
        FileVouch vouch;
    };
    std::vector<Staged> staged_;
    // The paths already fetched once more after failing their digest.
    std::set<std::string> refetched_;
};
