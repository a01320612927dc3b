// Background downloads: worker threads fetch queued requests; the main thread delivers them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The numbers reach the log as the "Reason" of a failed download.
enum DownloadStatus : int32_t {
    Queued = 0,
    Done = 1,
    TransferFailed = 3,
    FileMissing = 4,
    DigestMismatch = 5,
};

struct DownloadRequest;
// Called on the main thread; the request is deleted as soon as the callback returns.
using DownloadCallback = void (*)(DownloadRequest* request);

struct DownloadRequest {
    std::string url;
    // Where the response body goes, relative to the working directory.
    std::string localPath;
    DownloadCallback onSuccess = nullptr;
    DownloadCallback onFailure = nullptr;
    // The caller's tag; never interpreted.
    int32_t userData = 0;
    // Response size limit copied from the manager when queued; 0 or less is no limit.
    int64_t maxBytes = 0;
    int32_t status = Queued;
    // Why the transfer failed, in one line for the log (a refused TLS certificate, say); empty
    // when the status says all there is.
    std::string failureText;
    // Digest the downloaded file must have (lowercase hexadecimal), or empty for no check.
    std::string expectedMd5;
};

// Locks: pendingLock guards the queue, finishedLock the handled requests. The order is always
// finishedLock before pendingLock (callbacks run under finishedLock and may enqueue); a worker
// never holds both.
class DownloadManager {
public:
    // Starts the socket library and makes g_downloadManager point here.
    DownloadManager();
    // Main thread. Clears g_downloadManager first, then stops: every worker is woken out of any
    // connect or receive and joined before this returns (no worker touches the manager
    // afterwards), a request a worker was handling is dropped without a callback (its partial
    // file removed), then every request still queued (status Queued, in queue order) and every
    // one handled but undelivered (with its own status) goes to its onFailure. May run inside
    // a callback of deliverFinished, which then returns as soon as that callback does.
    ~DownloadManager();
    DownloadManager(const DownloadManager&) = delete;
    DownloadManager& operator=(const DownloadManager&) = delete;

    // Limit for requests queued afterwards; 0 is none.
    void setMaxBytes(int64_t maxBytes);
    // Main thread: a connect, send or receive that makes no progress for this long fails the
    // transfer (TransferFailed). 30 seconds unless changed; transfers started later see it.
    void setStallTimeout(int milliseconds);
    // Main thread, once: starts the worker threads (SDL threads); a thread that cannot be
    // started is skipped. Always true.
    bool start(int workerCount);
    // Main thread. Creates the local path's directories; with verifyExisting, deletes an
    // existing local file whose digest differs from expectedMd5. False when refused, and from
    // the failure callbacks that the destructor runs.
    bool enqueue(const std::string& url, const std::string& localPath, int32_t userData,
                 DownloadCallback onSuccess, DownloadCallback onFailure, bool verifyExisting,
                 bool force, const std::string& expectedMd5);
    // Main thread, once per main-loop iteration: verifies digests and calls each finished
    // request's callback, with finishedLock held (callbacks may enqueue, or destroy the
    // manager; they must not call deliverFinished).
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
