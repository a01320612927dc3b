// File transfers of the update run: the download that fetches each planned file, and the
// finishing of each one that arrives (counting it, logging how it was finished, noting it for
// the record of verified files). One thread (the run's).
#pragma once

#include <set>
#include <string>

#include "net/download_manager.h"
#include "update/manifest.h"
#include "update/run_state.h"

class LocalDigests;

// The download that fetches `file`: the manager creates its directories and replaces the local
// copy only with a download that has its expectedMd5 (empty: no check). A ".gz" is unpacked by
// the worker, and its result must have unpackedMd5 when that is not empty; one that an
// interrupted run left complete is used without a transfer. A large stale file may be rebuilt
// from its own blocks (delta update).
DownloadRequest fileRequest(const PlannedFetch& file);

// Logs what the worker met on the way (redirects, resumes, retries), then, for a failed request,
// why it failed: one line each, `prefix` in front.
void logTransferNotes(const DownloadRequest& request, const std::string& prefix);

// The files of one run: queued from its plan, finished as they arrive. Each function that can
// end the run returns the text for the player (empty when the run goes on), after its log lines.
class FileTransfers {
public:
    // `downloads`, `state` and `digests` belong to the run and outlive this.
    FileTransfers(DownloadManager& downloads, RunState& state, LocalDigests& digests);

    // Counts every fetch of `plan` in FilesToFetch and queues it, tagged `tag`. A request the
    // manager refuses logs "Queue Failed" and fails the run with "Could not queue " + path.
    std::string queue(const Plan& plan, int32_t tag);
    // A file request handed back. A success counts the file in FilesFetched, logs how it was
    // finished and notes it for the record; the last one sets the phase to Updated. A file that
    // failed its digest is queued once more, fresh (past every cache, from the first byte; the
    // player's file is still replaced only once that download is verified): a cache may hold
    // an old release, or the file may have changed on the server between a cut and its resume.
    // Otherwise, and the second time, the status is logged as the reason and the run fails
    // with "Could not download " + path.
    std::string arrived(DownloadRequest& request);

private:
    std::string finished(DownloadRequest& request);
    std::string failed(DownloadRequest& request);

    DownloadManager& downloads_;
    RunState& state_;
    LocalDigests& digests_;
    // The paths already fetched once more after failing their digest.
    std::set<std::string> refetched_;
};
