// Background downloads: worker threads fetch queued requests; the main thread delivers them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The numbers reach the log as the "Reason" of a failed download.
enum DownloadStatus : int32_t {
    Queued = 0,
    Done = 1,
    TransferFailed = 3,
    FileMissing = 4,
    DigestMismatch = 5,
    // The download was complete and verified, but could not take the local file's place (a
    // file that may not be replaced, a folder or link standing there).
    NotReplaced = 6,
};

struct DownloadRequest;
struct HttpOptions;
// Called on the main thread; the request is deleted as soon as the callback returns.
using DownloadCallback = void (*)(DownloadRequest* request);
// Tried by the worker before the plain download, with the manager's stall time-out and cancel:
// true when it stored the file under the request's downloadPath, not yet renamed, and set
// receivedMd5 to the digest it took as it wrote it (it may change localPath, downloadPath and
// expectedMd5 together, and drop the finish step, since the file it built is the final one);
// false, with receivedMd5 left empty, lets the plain download go ahead. It also makes the look
// at the local file that verifyExisting asks for (true, with `present` set, when the file
// already has expectedMd5).
// It never logs; it may leave a line for the main thread in the request's note.
using DownloadShortcut = bool (*)(DownloadRequest& request, const HttpOptions& options);

// A cheaper way to the file than the whole download, for the worker to try first.
struct DownloadShortcutPlan {
    DownloadShortcut attempt = nullptr;
    // The plain file's address, the local file it rebuilds from (and replaces) and the digest
    // that file must get.
    std::string url;
    std::string localPath;
    std::string md5;
};

// Work on an arrived file that must not hold up the main thread (unpacking it, for one): run by
// the worker, outside every lock, once the file took its local path's place. It reports what it
// did in the request's `finishing` for the success callback to log. `stopping` is raised when
// the manager stops: the step then gives up soon and leaves things as a kill would.
using FinishStep = std::function<void(DownloadRequest& request, const std::atomic<bool>& stopping)>;

// What a finish step did, in the words of the log: its lines in order, and the reason the run
// must end (empty when it succeeded).
struct FinishOutcome {
    std::vector<std::string> lines;
    std::string failure;
    // The file the step wrote and verified, and its digest, for the record of verified files.
    std::string verifiedPath;
    std::string verifiedMd5;
};

struct DownloadRequest {
    std::string url;
    // The file the download is for, relative to the working directory.
    std::string localPath;
    // Where the response body goes until it is verified: localPath with the download suffix.
    std::string downloadPath;
    // Look at the local file before fetching: when it already has expectedMd5 (the worker
    // hashes it), nothing is fetched or replaced and `present` is set.
    bool verifyExisting = false;
    bool present = false;
    DownloadCallback onSuccess = nullptr;
    DownloadCallback onFailure = nullptr;
    int32_t status = Queued;
    // Response size limit copied from the manager when queued; 0 or less is no limit.
    int64_t maxBytes = 0;
    // Digest the downloaded file must have (lowercase hexadecimal), or empty for no check.
    std::string expectedMd5;
    // For a request with expectedMd5, the digest of what arrived: the whole body in
    // downloadPath, taken by the worker as it was written (from the first byte also when a
    // transfer resumed), so the check reads nothing a second time. Empty until then, and for a
    // request without a digest to check; compared with expectedMd5 and logged when it differs.
    std::string receivedMd5;
    // Asks every cache on the way for a fresh copy and starts from the first byte, never from
    // what an earlier attempt left (the manifest, its signature, a file fetched once more).
    bool fresh = false;
    // Written by the worker, read at delivery: one line per redirect, resume and retry, in order.
    std::vector<std::string> events;
    // Written by the worker when the transfer failed: the server's status line, the socket error
    // or the time-out of the last attempt.
    std::string failure;
    // Tried first by the worker when its attempt is set.
    DownloadShortcutPlan shortcut;
    // Written by the worker, read by the callbacks on the main thread: what the shortcut did,
    // as a line for the log (with its line feed), or empty.
    std::string note;
    // Run by the worker after a successful transfer (see FinishStep); none when empty.
    FinishStep finishStep;
    // Written by finishStep, read by the success callback.
    FinishOutcome finishing;
};

struct ProxySettings;

// Further attempts after a transfer's first one fails.
constexpr int kTransferRetries = 3;
// The longest Retry-After honoured; a server asking for more gets the usual wait.
constexpr int64_t kMaxRetryAfterSeconds = 30;
// The wait in milliseconds before retry `retry` (0 for the first) when the first waits `baseMs`,
// or the server's `retryAfterSeconds` (-1: none) when that is at most kMaxRetryAfterSeconds.
int64_t retryDelayMs(int retry, int baseMs, int64_t retryAfterSeconds);

// Locks: pendingLock guards the queue, finishedLock the handled requests. The order is always
// finishedLock before pendingLock (callbacks run under finishedLock and may enqueue); a worker
// never holds both.
class DownloadManager {
public:
    // Starts the socket library and makes g_downloadManager point here.
    DownloadManager();
    // Main thread. Clears g_downloadManager first, then stops: every worker is woken out of any
    // connect or receive, or out of a finish step, and joined before this returns (no worker
    // touches the manager afterwards), a request a worker was handling is dropped without a
    // callback (its partial file kept for a resume when the request has a digest, else
    // removed; a finish step cut short leaves what a kill would), then every request
    // still queued (status Queued, in queue order) and every one handled but undelivered (with
    // its own status) goes to its onFailure. May run inside
    // a callback of deliverFinished, which then returns as soon as that callback does.
    ~DownloadManager();
    DownloadManager(const DownloadManager&) = delete;
    DownloadManager& operator=(const DownloadManager&) = delete;

    // Main thread: limit for requests queued afterwards; 0 (the start) is none.
    void setMaxBytes(int64_t maxBytes);
    // The limit requests queued now get.
    int64_t maxBytes() const;
    // Main thread: a connect, send or receive that makes no progress for this long fails the
    // transfer (TransferFailed). 30 seconds unless changed; transfers started later see it.
    void setStallTimeout(int milliseconds);
    // Main thread: the wait before the first retry of a failed transfer; each further one waits
    // twice as long. 1 second unless changed; tests shorten it.
    void setRetryDelay(int milliseconds);
    // Main thread, before start: the proxy the workers use (none unless set).
    void setProxy(const ProxySettings& proxy);
    // Main thread, once: starts the worker threads (SDL threads); a thread that cannot be
    // started is skipped. False when not one worker runs (none asked for, no thread could be
    // started, or the manager's locks could not be created): queued requests would then never
    // finish. A second call starts nothing and gives the first one's answer.
    bool start(int workerCount);
    // Main thread. Creates the local path's directories and reads no file. Nothing in the folder
    // is deleted or replaced here: the worker writes the body to localPath + ".part", checks it
    // against expectedMd5 and only then renames it over localPath; then it runs `finishStep`.
    // With verifyExisting, a local regular file whose digest already is the (non-empty)
    // expectedMd5 is kept and nothing is fetched (the worker hashes it). False when refused, and
    // from the failure callbacks that the destructor runs.
    //
    // A worker retries a transfer that failed for a reason that may pass (see HttpResult) up to
    // kTransferRetries more times, after the retry delay, twice it and four times it, or after
    // the server's Retry-After when it asks for at most 30 seconds; a stop ends the wait at
    // once. A request with an expected digest and not `fresh` continues what an earlier attempt
    // (or run) left in localPath + ".part"; a `fresh` one removes that first. With a shortcut,
    // the worker tries the shortcut first; it builds its file under that file's download name,
    // and the delivery renames it like any download.
    bool enqueue(const std::string& url, const std::string& localPath, DownloadCallback onSuccess,
                 DownloadCallback onFailure, bool verifyExisting, const std::string& expectedMd5,
                 bool fresh = false, FinishStep finishStep = nullptr,
                 const DownloadShortcutPlan& shortcut = DownloadShortcutPlan());
    // Main thread, once per main-loop iteration: calls the callback of each request the workers
    // handled, in the order they finished, with finishedLock held (callbacks may enqueue, or
    // destroy the manager; they must not call deliverFinished). By then the worker has verified
    // the download against its expectedMd5 (a mismatch removed it: DigestMismatch, its digest
    // in receivedMd5), renamed it over its local path (NotReplaced when that failed, the
    // download removed) and run its finish step: no file is read here.
    void deliverFinished();
    // Main thread: waits up to `timeoutMs` until at least `count` handled requests wait for
    // delivery; true when they do. The updater polls with deliverFinished instead; tests and
    // benchmarks use this to avoid sleeping.
    bool waitForFinished(size_t count, int timeoutMs);
    // Main thread: removes every request still waiting for a worker and returns copies of them
    // in queue order, without a callback. With a manager that was never started this shows
    // what a caller queued without anything being fetched (the fuzz targets use it).
    std::vector<DownloadRequest> takePending();

    // The lists, locks and workers; shared with the worker threads, defined in the source file.
    struct Impl;

private:
    Impl* impl_;
};

// The one manager of the process; written on the main thread only.
extern std::atomic<DownloadManager*> g_downloadManager;
