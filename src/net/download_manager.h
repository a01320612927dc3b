// Background downloads: worker threads fetch queued requests and hand them back, finished, to
// whoever owns the manager; nothing is called back.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "util/file_vouch.h"

// The numbers reach the log as the "Reason" of a failed download.
enum DownloadStatus : int32_t {
    Queued = 0,
    Done = 1,
    TransferFailed = 3,
    FileMissing = 4,
    DigestMismatch = 5,
    // The download was complete and verified, but could not take the local file's place (a
    // file that may not be replaced, a folder or link standing there) or reach the disk.
    NotReplaced = 6,
};

struct DownloadRequest;
struct HttpOptions;

// Tried by the worker before the plain download, with the manager's stall time-out and cancel.
// True when it produced the file the request is for by a way of its own: then it has verified
// the result, put it in its place and described it in the request's `finishing` (the plain
// download, the rename and the finish step are skipped). It also makes the look at the local
// file that verifyExisting asks for (true, with `present` set, when the file already has
// expectedMd5). False lets the plain download go ahead. It never logs; it may leave a line for
// the log in the request's note.
using DownloadShortcut = bool (*)(DownloadRequest& request, const HttpOptions& options);

// A cheaper way to the file than the whole download, for the worker to try first.
struct DownloadShortcutPlan {
    DownloadShortcut attempt = nullptr;
    // The plain file's address (a delta fetches its map and ranges there); empty: no delta.
    std::string url;
    // The local file a delta rebuilds from.
    std::string localPath;
    // Where the verified result goes, and the digest it must have.
    std::string resultPath;
    std::string md5;
    // A file of the folder that already holds `md5`: copied instead of fetched.
    std::string copyFrom;
};

// Work on an arrived file that must not hold up the main thread (unpacking it, for one): run by
// the worker, outside every lock, once the file took its local path's place. It reports what it
// did in the request's `finishing`. `stopping` is raised when the manager stops: the step then
// gives up soon and leaves things as a kill would.
using FinishStep = std::function<void(DownloadRequest& request, const std::atomic<bool>& stopping)>;

// What a finish step (or a shortcut) did, in the words of the log: its lines in order, and the
// reason the run must end (empty when it succeeded).
struct FinishOutcome {
    std::vector<std::string> lines;
    std::string failure;
    // The file the step wrote and verified, its digest and the stamp the step vouched for, for
    // the record of verified files.
    std::string verifiedPath;
    std::string verifiedMd5;
    FileVouch verifiedVouch;
    // The step failed because the disk is full.
    bool diskFull = false;
};

// One download: what the caller asks for, then what the worker found. The caller fills the
// first group and hands the request to enqueue; the manager hands it back when it is done.
struct DownloadRequest {
    // ---- Asked for.
    std::string url;
    // The file the download is for, relative to the working directory.
    std::string localPath;
    // The caller's tag, to tell its requests apart when they come back; never interpreted here.
    int32_t userData = 0;
    // Look at the local file before fetching: when it already has expectedMd5 (the worker
    // hashes it), nothing is fetched or replaced and `present` is set. Needs expectedMd5.
    bool verifyExisting = false;
    // Digest the downloaded file must have (lowercase hexadecimal), or empty for no check.
    std::string expectedMd5;
    // Response size limit; 0 or less is no limit. It bounds what arrives and what is written
    // (decoded) alike.
    int64_t maxBytes = 0;
    // When above 0, the body may write at most this many times the length its server announced
    // (see HttpOptions::maxBytesPerAnnouncedByte); 0: no such bound.
    int64_t maxBytesPerAnnouncedByte = 0;
    // ... but never below this (see HttpOptions::announcedBoundFloor).
    int64_t announcedBoundFloor = 0;
    // Asks every cache on the way for a fresh copy and starts from the first byte, never from
    // what an earlier attempt left (the manifest, its signature, a file fetched once more).
    bool fresh = false;
    // Tried first by the worker when its attempt is set.
    DownloadShortcutPlan shortcut;
    // Run by the worker after a successful transfer (see FinishStep); none when empty.
    FinishStep finishStep;

    // ---- Found by the worker.
    // Where the response body goes until it is verified: localPath with the download suffix.
    std::string downloadPath;
    DownloadStatus status = Queued;
    // The local file already had expectedMd5: nothing was fetched or replaced.
    bool present = false;
    // The shortcut produced the file; `finishing` says which file and with which digest.
    bool byShortcut = false;
    // For a request with expectedMd5, the digest of what arrived: the whole body in
    // downloadPath, taken by the worker as it was written (from the first byte also when a
    // transfer resumed), so the check reads nothing a second time. Empty until then, and for a
    // request without a digest to check; compared with expectedMd5 and logged when it differs.
    std::string receivedMd5;
    // One line per redirect, resume and retry, in order.
    std::vector<std::string> events;
    // When the transfer failed: the server's status line, the socket error or the time-out of
    // the last attempt.
    std::string failure;
    // The file did not fit on the disk; how many more bytes it needed, as far as known.
    bool diskFull = false;
    int64_t bytesMissing = 0;
    // What the shortcut did, as a line for the log (with its line feed), or empty.
    std::string note;
    // Written by finishStep or the shortcut.
    FinishOutcome finishing;
    // Written by the worker that renamed the verified download into place: the stamp it has
    // there, for the record of verified files (see file_vouch.h).
    FileVouch vouch;
};

struct ProxySettings;

// Further attempts after a transfer's first one fails.
constexpr int kTransferRetries = 3;
// The longest Retry-After honoured; a server asking for more gets the usual wait.
constexpr int64_t kMaxRetryAfterSeconds = 30;
// The wait in milliseconds before retry `retry` (0 for the first) when the first waits `baseMs`,
// or the server's `retryAfterSeconds` (-1: none) when that is at most kMaxRetryAfterSeconds.
int64_t retryDelayMs(int retry, int baseMs, int64_t retryAfterSeconds);

// A worker waiting before another attempt at a failed transfer.
struct RetryWait {
    // When the wait began and when the next attempt starts.
    std::chrono::steady_clock::time_point began;
    std::chrono::steady_clock::time_point ends;
};

// Owned by whoever starts it, and used from that one thread (the owner's): the workers only
// ever touch the queue and the finished list, under their locks. Requests come back in the
// order the workers finished them, through takeFinished or stop; none is ever lost.
class DownloadManager {
public:
    // Starts the socket library.
    DownloadManager();
    // Stops (as stop does, dropping what it would hand back) and ends the socket library.
    ~DownloadManager();
    DownloadManager(const DownloadManager&) = delete;
    DownloadManager& operator=(const DownloadManager&) = delete;

    // A connect, send or receive that makes no progress for this long fails the transfer
    // (TransferFailed). 30 seconds unless changed; transfers started later see it.
    void setStallTimeout(int milliseconds);
    // The wait before the first retry of a failed transfer; each further one waits twice as
    // long. 1 second unless changed; tests shorten it.
    void setRetryDelay(int milliseconds);
    // Before start: the proxy the workers use (none unless set).
    void setProxy(const ProxySettings& proxy);
    // Once: starts the worker threads; a thread that cannot be started is skipped. False when
    // not one worker runs (none asked for, or no thread could be started): queued requests
    // would then never finish. A second call starts nothing and gives the first one's answer.
    bool start(int workerCount);
    // Queues `request` (its first group of fields). Creates the local path's directories and
    // reads no file. Nothing in the folder is deleted or replaced here: the worker writes the
    // body to localPath + ".part", checks it against expectedMd5, flushes it to the disk and only
    // then renames it over localPath; then it runs `finishStep`. With verifyExisting, a local
    // regular file whose digest already is expectedMd5 is kept and nothing is fetched (the worker
    // hashes it). False, and the request dropped, once the manager stops.
    //
    // A worker whose connection carries several requests at once (HTTP/1.1 pipelining) takes
    // the following requests that have an expected digest and no delta shortcut, up to what
    // it carries and a fair share of the queue, looks at their local files (a request settled
    // that way is finished at once) and sends them ahead behind the one it fetches: they are
    // fetched and finished one after another, in queue order. An answer read behind another
    // whose digest is wrong is fetched once more one request at a time, and that server is
    // asked so for the rest of the manager's life, as is one that breaks a pipeline.
    //
    // A worker retries a transfer that failed for a reason that may pass (see HttpResult) up to
    // kTransferRetries more times, after the retry delay, twice it and four times it, or after
    // the server's Retry-After when it asks for at most 30 seconds; a stop ends the wait at
    // once. A request with an expected digest and not `fresh` continues what an earlier attempt
    // (or run) left in localPath + ".part"; a `fresh` one removes that first. With a shortcut,
    // the worker tries the shortcut first. A request whose handling (transfer, check, finish
    // step) runs out of memory fails alone: TransferFailed, with the failure "not enough
    // memory for this file".
    bool enqueue(DownloadRequest request);
    // Every request the workers have finished since the last call, in the order they finished.
    // By then the worker has verified the download against its expectedMd5 (a mismatch removed
    // it: DigestMismatch, its digest in receivedMd5), renamed it over its local path
    // (NotReplaced when that failed, the download removed) and run its finish step: nothing is
    // left to read or write.
    std::vector<DownloadRequest> takeFinished();
    // Waits up to `timeoutMs` until at least `count` finished requests wait to be taken; true
    // when they do. The updater polls with takeFinished instead; tests and benchmarks use this
    // to avoid sleeping.
    bool waitForFinished(size_t count, int timeoutMs);
    // The waits of the workers now waiting before a retry, in the order of the workers; empty
    // when none waits. Takes no lock (each worker publishes its own wait atomically), so it may
    // be asked every frame, also from another thread than the owner's between start and stop.
    std::vector<RetryWait> retryWaits() const;
    // Ends the workers: each is woken out of any connect or receive, or out of a finish step,
    // and joined before this returns. A request a worker was handling is dropped (its partial
    // file kept for a resume when the request has a digest, else removed; a finish step cut
    // short leaves what a kill would). Returns the requests nobody took: those still queued
    // (status Queued, in queue order; those a worker took ahead of their turn and had not
    // handled among them), then those finished and not taken (with their own status). Later
    // calls return nothing; enqueue refuses from the first on.
    std::vector<DownloadRequest> stop();

    // The lists, locks and workers; shared with the worker threads, defined in the source file.
    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};
