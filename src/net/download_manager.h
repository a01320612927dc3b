// Background downloads: worker threads fetch queued requests; the main thread delivers them.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

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
    // Digest the downloaded file must have (lowercase hexadecimal), or empty for no check.
    std::string expectedMd5;
};

class DownloadManager {
public:
    // Starts the socket library and makes g_downloadManager point here.
    DownloadManager();
    // Clears g_downloadManager first, then stop(): every request still queued or finished but
    // undelivered goes to its onFailure. May run inside a callback of deliverFinished.
    ~DownloadManager();

    // Limit for requests queued afterwards; 0 is none.
    void setMaxBytes(int64_t maxBytes);
    // Starts the worker threads; always true.
    bool start(int workerCount);
    // Main thread. Creates the local path's directories; with verifyExisting, deletes an
    // existing local file whose digest differs from expectedMd5. False when refused.
    bool enqueue(const std::string& url, const std::string& localPath, int32_t userData,
                 DownloadCallback onSuccess, DownloadCallback onFailure, bool verifyExisting,
                 bool force, const std::string& expectedMd5);
    // Main thread, once per main-loop iteration: verifies digests and calls each finished
    // request's callback, with finishedLock held (callbacks may enqueue).
    void deliverFinished();

private:
    struct Impl;
    Impl* impl_;
};

// The one manager of the process; written on the main thread only.
extern std::atomic<DownloadManager*> g_downloadManager;
