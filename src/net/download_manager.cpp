// Background downloads: worker threads fetch queued requests and hand them back finished.
#include "net/download_manager.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "net/download_name.h"
#include "net/http_client.h"
#include "net/proxy.h"
#include "platform/platform.h"
#include "util/file_system.h"
#include "util/md5.h"

namespace {

constexpr int kDefaultStallTimeoutMs = 30000;
constexpr int kDefaultRetryDelayMs = 1000;

using OwnedRequest = std::unique_ptr<DownloadRequest>;

}  // namespace

struct WorkerSlot {
    std::thread thread;
    // The connection this worker keeps open between its requests to one server (worker only).
    KeptConnection kept;
    // While the worker waits before another attempt: when the wait began and when it ends, in
    // the steady clock's ticks; 0 when it does not wait. Written by the worker, read by anyone.
    std::atomic<int64_t> waitBegan{0};
    std::atomic<int64_t> waitEnds{0};
};

struct DownloadManager::Impl {
    std::vector<std::unique_ptr<WorkerSlot>> workers;
    // Locks: pendingLock guards the queue, finishedLock the handled requests; nobody holds both.
    std::mutex pendingLock;
    // Waiting for a worker, first in first out.
    std::deque<OwnedRequest> pending;
    // Signalled when a request is queued or the manager stops.
    std::condition_variable pendingChanged;
    std::mutex finishedLock;
    // Handled and not taken yet, in the order the workers finished.
    std::deque<OwnedRequest> finished;
    // Signalled when a request is appended to `finished`.
    std::condition_variable finishedChanged;
    // Wakes every worker out of its connect or receive when the manager stops.
    PlatformCancel* cancel = nullptr;
    // Set once, by stop, before the workers are woken; read by every thread.
    std::atomic<bool> stopping{false};
    std::atomic<int> stallTimeoutMs{kDefaultStallTimeoutMs};
    std::atomic<int> retryDelayMs{kDefaultRetryDelayMs};
    // Written before the workers start, read-only afterwards.
    ProxySettings proxy;
    // The owner's thread only.
    bool started = false;
    bool stopped = false;
};

namespace {

// Sleeps `milliseconds`; false as soon as the manager stops.
bool waitUnlessStopped(int64_t milliseconds, DownloadManager::Impl& manager) {
    std::unique_lock<std::mutex> hold(manager.pendingLock);
    return !manager.pendingChanged.wait_for(hold, std::chrono::milliseconds(milliseconds),
                                            [&] { return manager.stopping.load(); });
}

using SteadyClock = std::chrono::steady_clock;

// Waits `milliseconds` before another attempt, showing the wait in the slot; false as soon as
// the manager stops.
bool waitBeforeRetry(int64_t milliseconds, DownloadManager::Impl& manager, WorkerSlot& slot) {
    const SteadyClock::time_point now = SteadyClock::now();
    slot.waitEnds = (now + std::chrono::milliseconds(milliseconds)).time_since_epoch().count();
    slot.waitBegan = now.time_since_epoch().count();
    const bool waited = waitUnlessStopped(milliseconds, manager);
    slot.waitBegan = 0;
    slot.waitEnds = 0;
    return waited;
}

// Outside every lock: the request belongs to this worker alone while it handles it.
void handleRequest(DownloadRequest& request, DownloadManager::Impl& manager, WorkerSlot& slot) {
    KeptConnection& kept = slot.kept;
    // A local copy that is already right needs no transfer (a shortcut looks for itself).
    request.present = request.verifyExisting && !request.expectedMd5.empty() && !request.shortcut.attempt &&
                      md5OfFile(request.localPath) == request.expectedMd5;
    if (request.present) {
        request.status = Done;
        return;
    }
    HttpOptions options;
    options.stallTimeoutMs = manager.stallTimeoutMs.load();
    options.cancel = manager.cancel;
    options.proxy = &manager.proxy;
    // Before the body digest is asked for: the shortcut's own fetches (its map) are not the file.
    if (request.shortcut.attempt && request.shortcut.attempt(request, options)) {
        request.status = Done;
        request.byShortcut = !request.present;
        return;
    }
    // Hashed as it arrives: the check at delivery then needs no second read of the file. Only
    // the attempt that stores the whole body sets it, and only a file with a digest to check
    // is hashed at all.
    if (!request.expectedMd5.empty()) options.bodyMd5 = &request.receivedMd5;
    options.noCache = request.fresh;
    // Without a digest nothing would tell a resumed file that changed on the server meanwhile.
    options.resume = !request.fresh && !request.expectedMd5.empty();
    options.keep = &kept;
    options.maxBytesPerAnnouncedByte = request.maxBytesPerAnnouncedByte;
    options.announcedBoundFloor = request.announcedBoundFloor;
    options.needsRoom = true;
    if (request.fresh) platformRemoveFile(request.downloadPath);
    for (int retry = 0;; ++retry) {
        HttpResult result;
        // Files have no size limit (the digest, checked at delivery, decides whether the file is
        // the right one); the manifest and its signature, read whole, have one.
        const bool stored = httpGet(request.url, request.downloadPath, request.maxBytes, options, &result);
        request.events.insert(request.events.end(), result.events.begin(), result.events.end());
        if (stored) {
            // A server that closed without answering stored nothing, whatever a resume left.
            const bool arrived = result.failure.empty() &&
                                 platformFileKind(request.downloadPath) == PlatformFileKind::Regular;
            request.status = arrived ? Done : FileMissing;
            if (request.status != Done) request.failure = result.failure;
            return;
        }
        request.status = TransferFailed;
        request.failure = result.failure;
        request.diskFull = result.diskFull;
        request.bytesMissing = result.bytesMissing;
        if (!result.retryable || retry == kTransferRetries) return;
        const int64_t delay = retryDelayMs(retry, manager.retryDelayMs.load(), result.retryAfterSeconds);
        request.events.push_back(result.failure + "; retry " + std::to_string(retry + 1) + " of " +
                                 std::to_string(kTransferRetries) + " after " + std::to_string(delay) + " ms");
        if (!waitBeforeRetry(delay, manager, slot)) return;
    }
}

// On the worker: turns a finished download into the local file, or into a failure that leaves
// the local file as it was.
void completeDownload(DownloadRequest& request) {
    if (request.status != Done || request.present || request.byShortcut) return;
    if (!request.expectedMd5.empty()) {
        // The digest taken while the body arrived spares a second read.
        if (request.receivedMd5.empty()) request.receivedMd5 = md5OfFile(request.downloadPath);
        if (request.receivedMd5 != request.expectedMd5) {
            // Also what a resume built: the next attempt for this file starts from nothing.
            platformRemoveFile(request.downloadPath);
            request.status = DigestMismatch;
            return;
        }
    }
    // Flushed to the disk before the rename, so a power cut never leaves its name over zeroes.
    if (!placeVerifiedFile(request.downloadPath, request.localPath, &request.vouch)) {
        platformRemoveFile(request.downloadPath);
        request.status = NotReplaced;
    }
}

// The next request for a worker, or null once the manager stops. An idle worker lets its kept
// connection go: a server gives each open connection a process or a slot of its own, which
// others may be waiting for.
OwnedRequest takeNext(DownloadManager::Impl& manager, KeptConnection& kept) {
    std::unique_lock<std::mutex> hold(manager.pendingLock);
    if (!manager.stopping.load() && manager.pending.empty()) {
        hold.unlock();
        kept.drop();
        hold.lock();
    }
    manager.pendingChanged.wait(hold, [&] { return manager.stopping.load() || !manager.pending.empty(); });
    if (manager.stopping.load()) return nullptr;
    OwnedRequest request = std::move(manager.pending.front());
    manager.pending.pop_front();
    return request;
}

void runWorker(DownloadManager::Impl& manager, WorkerSlot& slot) {
    while (OwnedRequest request = takeNext(manager, slot.kept)) {
        try {
            handleRequest(*request, manager, slot);
            completeDownload(*request);
            if (request->status == Done && !request->byShortcut && request->finishStep && !manager.stopping.load())
                request->finishStep(*request, manager.stopping);
        } catch (const std::bad_alloc&) {
            // Memory a hostile answer or a huge file asked for fails that file, not the
            // process: its partial file was removed, or kept for a resume, as it unwound.
            request->status = TransferFailed;
            request->failure = "not enough memory for this file";
            slot.kept.drop();
        }

        std::lock_guard<std::mutex> hold(manager.finishedLock);
        // Once stopping, a request cut short is dropped (as a kill would leave it).
        if (manager.stopping.load()) return;
        manager.finished.push_back(std::move(request));
        manager.finishedChanged.notify_all();
    }
}

void moveInto(std::deque<OwnedRequest>& from, std::vector<DownloadRequest>& to) {
    for (OwnedRequest& request : from) to.push_back(std::move(*request));
    from.clear();
}

}  // namespace

DownloadManager::DownloadManager() : impl_(new Impl) {
    impl_->cancel = platformCreateCancel();
    platformStartSockets();
}

DownloadManager::~DownloadManager() {
    stop();
    platformDestroyCancel(impl_->cancel);
    platformStopSockets();
}

void DownloadManager::setStallTimeout(int milliseconds) { impl_->stallTimeoutMs = milliseconds; }

void DownloadManager::setRetryDelay(int milliseconds) { impl_->retryDelayMs = milliseconds; }

void DownloadManager::setProxy(const ProxySettings& proxy) { impl_->proxy = proxy; }

int64_t retryDelayMs(int retry, int baseMs, int64_t retryAfterSeconds) {
    if (retryAfterSeconds >= 0 && retryAfterSeconds <= kMaxRetryAfterSeconds) return retryAfterSeconds * 1000;
    return int64_t(baseMs) << retry;
}

bool DownloadManager::start(int workerCount) {
    if (impl_->started) return !impl_->workers.empty();
    impl_->started = true;
    for (int i = 0; i < workerCount; ++i) {
        std::unique_ptr<WorkerSlot> slot(new WorkerSlot);
        try {
            slot->thread = std::thread(runWorker, std::ref(*impl_), std::ref(*slot));
        } catch (const std::system_error&) {
            continue;
        }
        impl_->workers.push_back(std::move(slot));
    }
    return !impl_->workers.empty();
}

bool DownloadManager::enqueue(DownloadRequest request) {
    if (impl_->stopping.load()) return false;
    makeDirectories(directoryOf(request.localPath));
    OwnedRequest queued(new DownloadRequest(std::move(request)));
    queued->downloadPath = downloadName(queued->localPath);
    queued->status = Queued;
    // Without an expected digest an existing file never counts as right: it is always fetched
    // anew (and replaced only once the new one is complete).
    queued->verifyExisting = queued->verifyExisting && !queued->expectedMd5.empty();
    std::lock_guard<std::mutex> hold(impl_->pendingLock);
    impl_->pending.push_back(std::move(queued));
    // All: a worker waiting out a retry shares the signal and must not swallow it.
    impl_->pendingChanged.notify_all();
    return true;
}

std::vector<DownloadRequest> DownloadManager::takeFinished() {
    std::vector<DownloadRequest> taken;
    std::lock_guard<std::mutex> hold(impl_->finishedLock);
    moveInto(impl_->finished, taken);
    return taken;
}

bool DownloadManager::waitForFinished(size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> hold(impl_->finishedLock);
    return impl_->finishedChanged.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                                           [&] { return impl_->finished.size() >= count; });
}

std::vector<RetryWait> DownloadManager::retryWaits() const {
    std::vector<RetryWait> waits;
    for (const std::unique_ptr<WorkerSlot>& slot : impl_->workers) {
        const int64_t began = slot->waitBegan.load(), ends = slot->waitEnds.load();
        if (began == 0 || ends == 0) continue;
        RetryWait wait;
        wait.began = SteadyClock::time_point(SteadyClock::duration(began));
        wait.ends = SteadyClock::time_point(SteadyClock::duration(ends));
        waits.push_back(wait);
    }
    return waits;
}

std::vector<DownloadRequest> DownloadManager::stop() {
    std::vector<DownloadRequest> untaken;
    if (impl_->stopped) return untaken;
    impl_->stopped = true;
    // Wake every worker: idle ones from their wait, busy ones out of their socket call.
    {
        std::lock_guard<std::mutex> hold(impl_->pendingLock);
        impl_->stopping = true;
    }
    platformRaiseCancel(impl_->cancel);
    impl_->pendingChanged.notify_all();
    // No download is left unverified under its temporary name: the worker checked (and renamed
    // or removed) every complete one before it looked at the stop.
    for (const std::unique_ptr<WorkerSlot>& slot : impl_->workers) slot->thread.join();
    impl_->workers.clear();
    moveInto(impl_->pending, untaken);
    moveInto(impl_->finished, untaken);
    return untaken;
}
