// One update run, from the manifest request to its outcome: the object the main loop drives.
// It queues downloads, takes them back, compares, stages the new release and switches to it as
// a whole, and sets its outcome; it never shows anything or ends the process. One thread (the
// main loop's).
#pragma once

#include <memory>
#include <string>

#include "net/download_manager.h"
#include "update/run_state.h"

struct Plan;

class UpdateRun {
public:
    // Fetches through `downloads`, which must outlive the run; `manifestUrl` is the configured
    // address with the version query. The record of verified files, the staging folder, the
    // switch's journal and the folder's key are the updater's own files of the working
    // directory (own_files.h).
    UpdateRun(DownloadManager& downloads, std::string manifestUrl);
    ~UpdateRun();
    UpdateRun(const UpdateRun&) = delete;
    UpdateRun& operator=(const UpdateRun&) = delete;

    // Removes the old files an earlier switch left; then, when an earlier run was stopped while
    // it put a release in place, finishes that first (advance does it, without the network);
    // otherwise removes an old manifest copy and queues the manifest: ManifestRequested (logging
    // first, when no key stands in the folder, that the run is unsigned). A copy that cannot be
    // removed fails the run ("Could not get manifest").
    void start();
    // One request the manager handed back: finished, or untaken when it stopped. Moves the run
    // on (fetches the signature, starts the comparison, gives missing presence-only files their
    // signed digests, stages a file, begins the switch once every file is staged) or fails it.
    // Ignored once the run has ended.
    void deliver(DownloadRequest& request);
    // Goes on with work that waits for no download, a slice of about 10 ms: the switch an
    // earlier run left, the comparison and the queueing of its plan, the switch to the staged
    // release. Nothing of the player's is changed before every file of the release is staged;
    // then the switch puts the whole release in place and removes the files it no longer lists
    // that an earlier release installed and nobody changed since.
    void advance();
    // The player stopped the updater: any hashing ends at once and nothing more is queued.
    // Requests the manager hands back afterwards are still delivered. A switch under way is left
    // to the next start, which finishes it.
    void cancel();

    const RunState& state() const { return state_; }
    // Failed, Updated or UpToDate.
    bool ended() const { return state_.UpdatePhase > Downloading; }
    // Why the run failed, for the player: "Could not get manifest", "Could not download x", ...
    const std::string& failure() const { return failure_; }
    // The switch waits for a file another program holds: the share of its patience left, from
    // 1 down to 0; 0 when it does not wait.
    double waitLeft() const;
    // Once the run ended Updated or UpToDate: writes the record of what it verified, so that
    // the next start trusts it.
    void saveRecord();

    struct Parts;

private:
    void fail(const std::string& failure);
    void requestManifest();
    void manifestArrived(DownloadRequest& request);
    void signatureArrived(DownloadRequest& request);
    void presenceDigestsArrived(DownloadRequest& request);
    void compareFetchedManifest();
    void queuePlan();
    void stagePlan(const Plan& plan);
    void beginSwitch();
    void switchStep();

    DownloadManager& downloads_;
    std::string manifestUrl_;
    RunState state_;
    std::string failure_;
    bool signatureRequired_ = false;
    bool cancelled_ = false;
    std::unique_ptr<Parts> parts_;
};
