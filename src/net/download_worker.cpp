// A download worker's loop: it takes requests from the queue (several at once where its
// connection carries several), fetches, verifies and finishes each, and hands it back.
#include "net/download_worker.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <new>

#include "net/http_client.h"
#include "util/file_system.h"
#include "util/file_vouch.h"
#include "util/md5.h"

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

// The options of a transfer of `request` by the worker of `slot`: httpGet's and httpSendAhead's.
HttpOptions transferOptions(DownloadRequest& request, DownloadManager::Impl& manager, WorkerSlot& slot) {
    HttpOptions options;
    options.stallTimeoutMs = manager.stallTimeoutMs.load();
    options.cancel = manager.cancel;
    options.proxy = &manager.proxy;
    // Hashed as it arrives: the check at delivery then needs no second read of the file. Only
    // the attempt that stores the whole body sets it, and only a file with a digest to check
    // is hashed at all.
    if (!request.expectedMd5.empty()) options.bodyMd5 = &request.receivedMd5;
    options.noCache = request.fresh;
    // Without a digest nothing would tell a resumed file that changed on the server meanwhile.
    options.resume = !request.fresh && !request.expectedMd5.empty();
    options.keep = &slot.kept;
    options.pipelining = &manager.pipelining;
    options.maxBytesPerAnnouncedByte = request.maxBytesPerAnnouncedByte;
    options.announcedBoundFloor = request.announcedBoundFloor;
    options.needsRoom = true;
    return options;
}

// Looks at the local files before any transfer: a local copy that is already right, or a
// shortcut that makes the file (a delta update asks for its map and ranges over the worker's
// connection, which then carries nothing else). True when that settled the request (Done);
// false when it must be fetched.
bool settledLocally(DownloadRequest& request, DownloadManager::Impl& manager, WorkerSlot& slot) {
    // A shortcut looks for itself.
    request.present = request.verifyExisting && !request.expectedMd5.empty() && !request.shortcut.attempt &&
                      md5OfFile(request.localPath) == request.expectedMd5;
    if (request.present) {
        request.status = Done;
        return true;
    }
    HttpOptions options;
    options.stallTimeoutMs = manager.stallTimeoutMs.load();
    options.cancel = manager.cancel;
    options.proxy = &manager.proxy;
    options.keep = &slot.kept;
    options.pipelining = &manager.pipelining;
    // Before the body digest is asked for: the shortcut's own fetches (its map) are not the file.
    if (request.shortcut.attempt && request.shortcut.attempt(request, options)) {
        request.status = Done;
        request.byShortcut = !request.present;
        return true;
    }
    return false;
}

// The transfer of a request that must be fetched, with its retries. Returns the server when the
// last answer came on a pipelined connection (HttpResult::pipelinedFrom).
std::string transfer(DownloadRequest& request, DownloadManager::Impl& manager, WorkerSlot& slot) {
    const HttpOptions options = transferOptions(request, manager, slot);
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
            return result.pipelinedFrom;
        }
        request.status = TransferFailed;
        request.failure = result.failure;
        request.diskFull = result.diskFull;
        request.bytesMissing = result.bytesMissing;
        if (!result.retryable || retry == kTransferRetries) return "";
        const int64_t delay = retryDelayMs(retry, manager.retryDelayMs.load(), result.retryAfterSeconds);
        request.events.push_back(result.failure + "; retry " + std::to_string(retry + 1) + " of " +
                                 std::to_string(kTransferRetries) + " after " + std::to_string(delay) + " ms");
        if (!waitBeforeRetry(delay, manager, slot)) return "";
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

// Only a request whose digest decides whether its answer is its file is sent ahead (another
// request's answer would be told by it), and only one whose look at the local files needs no
// server (no delta of a large file).
bool mayGoAhead(const DownloadRequest& request) {
    return !request.expectedMd5.empty() && request.shortcut.url.empty();
}

// The next waiting request when it may be sent ahead, taken from the queue; null otherwise, or
// once `budget` requests were taken. The first call sets the budget to a fair share of what
// waits, so that the other workers get their part of the last few files (what each holds
// already is its own); `room` is what the worker's connection has room for.
OwnedRequest takeAhead(DownloadManager::Impl& manager, size_t room, size_t& budget) {
    std::lock_guard<std::mutex> hold(manager.pendingLock);
    if (budget == SIZE_MAX) budget = 1 + manager.pending.size() / size_t(std::max(1, manager.workerCount.load()));
    if (room == 0 || budget == 0 || manager.stopping.load() || manager.pending.empty() ||
        !mayGoAhead(manager.pending.front()->request))
        return nullptr;
    --budget;
    OwnedRequest request = std::move(manager.pending.front());
    manager.pending.pop_front();
    return request;
}

// Sends the requests of `window` ahead on the worker's connection, in the order it will fetch
// them, after `request`, the one it fetches next: their answers then follow one another
// without a round trip each. Nothing is sent unless every one of them may go ahead.
void sendAhead(DownloadRequest& request, std::deque<OwnedRequest>& window, DownloadManager::Impl& manager,
               WorkerSlot& slot) {
    if (!mayGoAhead(request) || !httpSendAhead(request.url, request.downloadPath, transferOptions(request, manager, slot)))
        return;
    for (OwnedRequest& next : window)
        if (!httpSendAhead(next->request.url, next->request.downloadPath, transferOptions(next->request, manager, slot)))
            return;
}

// Appends a handled request to the finished list. False, and the request dropped (as a kill
// would leave it), once the manager stops.
bool handBack(OwnedRequest request, DownloadManager::Impl& manager) {
    std::lock_guard<std::mutex> hold(manager.finishedLock);
    if (manager.stopping.load()) return false;
    manager.finished.push_back(std::move(request));
    manager.finishedChanged.notify_all();
    return true;
}

// Verifies and places a request that was settled or fetched, runs its finish step, and hands
// it back. Memory a hostile answer or a huge file asked for fails that file, not the process:
// its partial file was removed, or kept for a resume, as it unwound.
bool finish(OwnedRequest request, DownloadManager::Impl& manager, WorkerSlot& slot) {
    DownloadRequest& handled = request->request;
    try {
        completeDownload(handled);
        if (handled.status == Done && !handled.byShortcut && handled.finishStep && !manager.stopping.load())
            handled.finishStep(handled, manager.stopping);
    } catch (const std::bad_alloc&) {
        handled.status = TransferFailed;
        handled.failure = "not enough memory for this file";
        slot.kept.drop();
    }
    return handBack(std::move(request), manager);
}

// Takes more requests into the worker's window while its connection carries several at once,
// looking at the local files for each: one settled that way is finished at once, the others
// wait in the window for their transfer. False once the manager stops.
bool fillWindow(std::deque<OwnedRequest>& window, DownloadManager::Impl& manager, WorkerSlot& slot) {
    size_t budget = SIZE_MAX;
    // The request about to be fetched rides the connection too.
    auto room = [&] { return slot.kept.requestsAtOnce() - std::min(slot.kept.requestsAtOnce(), window.size() + 1); };
    while (OwnedRequest next = takeAhead(manager, room(), budget)) {
        bool settled;
        try {
            settled = settledLocally(next->request, manager, slot);
        } catch (const std::bad_alloc&) {
            next->request.status = TransferFailed;
            next->request.failure = "not enough memory for this file";
            settled = true;
        }
        if (!settled) {
            next->looked = true;
            window.push_back(std::move(next));
        } else if (!finish(std::move(next), manager, slot)) {
            return false;
        }
    }
    return true;
}

// Handles `request` outside every lock (it and the window belong to this worker alone): the
// look at the local files, the transfer with the requests of the window sent ahead behind it,
// and, for an answer read on a pipelined connection whose digest is wrong, one more transfer
// on its own: a server that mixes up answers is not asked that way again.
void handle(QueuedRequest& queued, std::deque<OwnedRequest>& window, DownloadManager::Impl& manager, WorkerSlot& slot) {
    DownloadRequest& request = queued.request;
    if (!queued.looked && settledLocally(request, manager, slot)) return;
    if (mayGoAhead(request) && !fillWindow(window, manager, slot)) return;
    sendAhead(request, window, manager, slot);
    const std::string pipelinedFrom = transfer(request, manager, slot);
    if (pipelinedFrom.empty() || request.status != Done || request.expectedMd5.empty()) return;
    if (request.receivedMd5.empty()) request.receivedMd5 = md5OfFile(request.downloadPath);
    if (request.receivedMd5 == request.expectedMd5) return;
    manager.pipelining.stopPipelining(pipelinedFrom);
    slot.kept.drop();
    request.events.push_back("a wrong digest " + request.receivedMd5 +
                             " from a pipelined connection: fetched again, one request at a time");
    platformRemoveFile(request.downloadPath);
    request.receivedMd5.clear();
    transfer(request, manager, slot);
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

// A stopping worker puts what it took and did not handle back into the queue, where stop()
// finds it in queue order.
void returnUnhandled(std::deque<OwnedRequest>& window, DownloadManager::Impl& manager) {
    std::lock_guard<std::mutex> hold(manager.pendingLock);
    for (OwnedRequest& request : window) manager.pending.push_back(std::move(request));
    window.clear();
}

}  // namespace

void runWorker(DownloadManager::Impl& manager, WorkerSlot& slot) {
    // Requests taken from the queue ahead of their turn, in its order; some may be on their
    // way to the server already.
    std::deque<OwnedRequest> window;
    for (;;) {
        OwnedRequest request;
        if (window.empty()) {
            request = takeNext(manager, slot.kept);
            if (!request) return;
        } else {
            request = std::move(window.front());
            window.pop_front();
        }
        try {
            handle(*request, window, manager, slot);
        } catch (const std::bad_alloc&) {
            request->request.status = TransferFailed;
            request->request.failure = "not enough memory for this file";
            slot.kept.drop();
        }
        // Once stopping, a request cut short is dropped (as a kill would leave it), after its
        // download was verified and placed or removed.
        if (!finish(std::move(request), manager, slot)) {
            returnUnhandled(window, manager);
            return;
        }
    }
}
