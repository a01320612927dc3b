// Background downloads: worker threads fetch queued requests; the main thread delivers them.
#include "net/download_manager.h"

#include <SDL.h>
#include <SDL_thread.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <vector>

#include "net/http_client.h"
#include "net/proxy.h"
#include "platform/platform.h"
#include "net/download_name.h"
#include "util/file_system.h"
#include "util/md5.h"

std::atomic<DownloadManager*> g_downloadManager{nullptr};

namespace {

constexpr int kDefaultStallTimeoutMs = 30000;
constexpr int kDefaultRetryDelayMs = 1000;
// How often a retry's wait looks at the stop signal.
constexpr Uint32 kWaitSliceMs = 10;

}  // namespace

struct WorkerSlot {
    SDL_Thread* thread = nullptr;
    // The connection this worker keeps open between its requests to one server (worker only).
    KeptConnection kept;
    // The request this worker is handling: set under pendingLock, cleared under finishedLock.
    // Still set after the worker ended when a stop cut its request short; stop deletes it.
    DownloadRequest* current = nullptr;
    DownloadManager::Impl* manager = nullptr;
};

struct DownloadManager::Impl {
    std::vector<std::unique_ptr<WorkerSlot>> workers;
    // Waiting for a worker, first in first out. Guarded by pendingLock.
    std::deque<DownloadRequest*> pending;
    // Handled and waiting for delivery, in the order the workers finished. Guarded by finishedLock.
    std::deque<DownloadRequest*> finished;
    SDL_mutex* pendingLock = nullptr;
    // Signalled when a request is queued or the manager stops.
    SDL_cond* pendingChanged = nullptr;
    SDL_mutex* finishedLock = nullptr;
    // Signalled when a request is appended to `finished`.
    SDL_cond* finishedChanged = nullptr;
    // Wakes every worker out of its connect or receive when the manager stops.
    PlatformCancel* cancel = nullptr;
    // Set once, by stop, before the workers are woken; read by every thread.
    std::atomic<bool> stopping{false};
    std::atomic<int> stallTimeoutMs{kDefaultStallTimeoutMs};
    std::atomic<int> retryDelayMs{kDefaultRetryDelayMs};
    // Written before the workers start, read-only afterwards.
    ProxySettings proxy;
    // Main thread only from here on.
    bool started = false;
    // Copied into each request when it is queued; 0 is no limit.
    int64_t maxBytes = 0;
    // Points into deliverFinished's frame while it runs callbacks with finishedLock held; the
    // destructor sets it to tell deliverFinished that the manager is gone.
    bool* destroyedDuringDelivery = nullptr;
};

namespace {

// Sleeps `milliseconds`; false as soon as the manager stops.
bool waitUnlessStopped(int64_t milliseconds, const DownloadManager::Impl& manager) {
    const Uint32 start = SDL_GetTicks();
    while (!platformCancelRaised(manager.cancel) && !manager.stopping.load()) {
        const Uint32 waited = SDL_GetTicks() - start;
        if (int64_t(waited) >= milliseconds) return true;
        SDL_Delay(std::min<Uint32>(kWaitSliceMs, Uint32(milliseconds - waited)));
    }
    return false;
}

// Outside every lock: the request belongs to this worker alone while it handles it.
void handleRequest(DownloadRequest& request, DownloadManager::Impl& manager, KeptConnection& kept) {
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
        if (!result.retryable || retry == kTransferRetries) return;
        const int64_t delay = retryDelayMs(retry, manager.retryDelayMs.load(), result.retryAfterSeconds);
        request.events.push_back(result.failure + "; retry " + std::to_string(retry + 1) + " of " +
                                 std::to_string(kTransferRetries) + " after " + std::to_string(delay) + " ms");
        if (!waitUnlessStopped(delay, manager)) return;
    }
}

// On the worker: turns a finished download into the local file, or into a failure that leaves
// the local file as it was.
void completeDownload(DownloadRequest& request) {
    if (request.status != Done || request.present) return;
    if (!request.expectedMd5.empty()) {
        // The digest taken while the body arrived (or a shortcut built it) spares a second read.
        if (request.receivedMd5.empty()) request.receivedMd5 = md5OfFile(request.downloadPath);
        if (request.receivedMd5 != request.expectedMd5) {
            // Also what a resume built: the next attempt for this file starts from nothing.
            platformRemoveFile(request.downloadPath);
            request.status = DigestMismatch;
            return;
        }
    }
    if (!platformRenameFile(request.downloadPath, request.localPath)) {
        platformRemoveFile(request.downloadPath);
        request.status = NotReplaced;
    }
}

int SDLCALL runWorker(void* argument) {
    WorkerSlot& slot = *static_cast<WorkerSlot*>(argument);
    DownloadManager::Impl& manager = *slot.manager;
    for (;;) {
        SDL_mutexP(manager.pendingLock);
        const bool idle = !manager.stopping.load() && manager.pending.empty();
        SDL_mutexV(manager.pendingLock);
        // An idle worker lets its kept connection go: a server gives each open connection a
        // process or a slot of its own, which others may be waiting for.
        if (idle) slot.kept.drop();
        SDL_mutexP(manager.pendingLock);
        while (!manager.stopping.load() && manager.pending.empty())
            SDL_CondWait(manager.pendingChanged, manager.pendingLock);
        if (manager.stopping.load()) {
            SDL_mutexV(manager.pendingLock);
            return 0;
        }
        DownloadRequest* request = manager.pending.front();
        manager.pending.pop_front();
        slot.current = request;
        SDL_mutexV(manager.pendingLock);

        handleRequest(*request, manager, slot.kept);
        completeDownload(*request);
        if (request->status == Done && request->finishStep && !manager.stopping.load())
            request->finishStep(*request, manager.stopping);

        SDL_mutexP(manager.finishedLock);
        // Once stopping, a request cut short stays with the slot; stop deletes it without a
        // callback.
        if (!manager.stopping.load()) {
            manager.finished.push_back(request);
            slot.current = nullptr;
            SDL_CondSignal(manager.finishedChanged);
        }
        SDL_mutexV(manager.finishedLock);
    }
}

void failAndDelete(std::deque<DownloadRequest*>& requests) {
    while (!requests.empty()) {
        DownloadRequest* request = requests.front();
        requests.pop_front();
        if (request->onFailure) request->onFailure(request);
        delete request;
    }
}

}  // namespace

DownloadManager::DownloadManager() : impl_(new Impl) {
    impl_->pendingLock = SDL_CreateMutex();
    impl_->pendingChanged = SDL_CreateCond();
    impl_->finishedLock = SDL_CreateMutex();
    impl_->finishedChanged = SDL_CreateCond();
    impl_->cancel = platformCreateCancel();
    platformStartSockets();
    g_downloadManager = this;
}

DownloadManager::~DownloadManager() {
    DownloadManager* self = this;
    g_downloadManager.compare_exchange_strong(self, nullptr);
    Impl* manager = impl_;

    // Wake every worker: idle ones from their wait, busy ones out of their socket call.
    manager->stopping = true;
    platformRaiseCancel(manager->cancel);
    SDL_mutexP(manager->pendingLock);
    SDL_CondBroadcast(manager->pendingChanged);
    SDL_mutexV(manager->pendingLock);
    // Inside a delivery this thread holds finishedLock; a worker that finished meanwhile needs
    // it once more before it can end. deliverFinished does not touch the lock again.
    bool* destroyedDuringDelivery = manager->destroyedDuringDelivery;
    if (destroyedDuringDelivery) SDL_mutexV(manager->finishedLock);
    for (const std::unique_ptr<WorkerSlot>& slot : manager->workers) {
        SDL_WaitThread(slot->thread, nullptr);
        // No download is left unverified under its temporary name: the worker checked (and
        // renamed or removed) every complete one before it looked at the stop.
        delete slot->current;
    }
    manager->workers.clear();

    // Only this thread is left: the callbacks run without locks, and may end the process.
    failAndDelete(manager->pending);
    failAndDelete(manager->finished);

    SDL_DestroyCond(manager->pendingChanged);
    SDL_DestroyMutex(manager->pendingLock);
    SDL_DestroyCond(manager->finishedChanged);
    SDL_DestroyMutex(manager->finishedLock);
    platformDestroyCancel(manager->cancel);
    platformStopSockets();
    delete manager;
    if (destroyedDuringDelivery) *destroyedDuringDelivery = true;
}

void DownloadManager::setMaxBytes(int64_t maxBytes) { impl_->maxBytes = maxBytes; }

int64_t DownloadManager::maxBytes() const { return impl_->maxBytes; }

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
    // Without its locks no worker could take a request safely.
    if (!impl_->pendingLock || !impl_->pendingChanged || !impl_->finishedLock || !impl_->finishedChanged)
        return false;
    for (int i = 0; i < workerCount; ++i) {
        std::unique_ptr<WorkerSlot> slot(new WorkerSlot);
        slot->manager = impl_;
        slot->thread = SDL_CreateThread(runWorker, slot.get());
        if (slot->thread) impl_->workers.push_back(std::move(slot));
    }
    return !impl_->workers.empty();
}

bool DownloadManager::enqueue(const std::string& url, const std::string& localPath, DownloadCallback onSuccess,
                              DownloadCallback onFailure, bool verifyExisting, const std::string& expectedMd5,
                              bool fresh, FinishStep finishStep, const DownloadShortcutPlan& shortcut) {
    // A failure callback of a stopping manager gets nowhere to queue to.
    if (impl_->stopping.load()) return false;
    makeDirectories(directoryOf(localPath));

    DownloadRequest* request = new DownloadRequest;
    request->url = url;
    request->localPath = localPath;
    request->downloadPath = downloadName(localPath);
    request->onSuccess = onSuccess;
    request->onFailure = onFailure;
    request->status = Queued;
    request->expectedMd5 = expectedMd5;
    request->shortcut = shortcut;
    request->fresh = fresh;
    request->maxBytes = impl_->maxBytes;
    // Without an expected digest an existing file never counts as right: it is always fetched
    // anew (and replaced only once the new one is complete).
    request->verifyExisting = verifyExisting && !expectedMd5.empty();
    request->finishStep = std::move(finishStep);

    SDL_mutexP(impl_->pendingLock);
    impl_->pending.push_back(request);
    SDL_CondSignal(impl_->pendingChanged);
    SDL_mutexV(impl_->pendingLock);
    return true;
}

void DownloadManager::deliverFinished() {
    Impl* manager = impl_;
    SDL_mutexP(manager->finishedLock);
    bool destroyed = false;
    manager->destroyedDuringDelivery = &destroyed;
    while (!manager->finished.empty()) {
        DownloadRequest* request = manager->finished.front();
        manager->finished.pop_front();
        const DownloadCallback callback = request->status == Done ? request->onSuccess : request->onFailure;
        if (callback) callback(request);
        delete request;
        // The callback destroyed the manager: its lists and locks are gone, and the destructor
        // already released finishedLock.
        if (destroyed) return;
    }
    manager->destroyedDuringDelivery = nullptr;
    SDL_mutexV(manager->finishedLock);
}

bool DownloadManager::waitForFinished(size_t count, int timeoutMs) {
    const Uint32 deadline = SDL_GetTicks() + Uint32(timeoutMs);
    SDL_mutexP(impl_->finishedLock);
    while (impl_->finished.size() < count) {
        const Uint32 now = SDL_GetTicks();
        if (int32_t(deadline - now) <= 0) break;
        SDL_CondWaitTimeout(impl_->finishedChanged, impl_->finishedLock, deadline - now);
    }
    const bool reached = impl_->finished.size() >= count;
    SDL_mutexV(impl_->finishedLock);
    return reached;
}

std::vector<DownloadRequest> DownloadManager::takePending() {
    std::vector<DownloadRequest> taken;
    SDL_mutexP(impl_->pendingLock);
    for (DownloadRequest* request : impl_->pending) {
        taken.push_back(*request);
        delete request;
    }
    impl_->pending.clear();
    SDL_mutexV(impl_->pendingLock);
    return taken;
}
