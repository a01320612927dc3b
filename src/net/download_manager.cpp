// Background downloads: worker threads fetch queued requests and hand them back finished.
#include "net/download_manager.h"

#include <algorithm>
#include <chrono>
#include <system_error>

#include "net/download_name.h"
#include "net/download_shared.h"
#include "net/download_worker.h"
#include "util/file_system.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

void moveInto(std::deque<OwnedRequest>& from, std::vector<DownloadRequest>& to) {
    for (OwnedRequest& queued : from) to.push_back(std::move(queued->request));
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
        ++impl_->workerCount;
    }
    return !impl_->workers.empty();
}

bool DownloadManager::enqueue(DownloadRequest request) {
    if (impl_->stopping.load()) return false;
    makeDirectories(directoryOf(request.localPath));
    OwnedRequest queued(new QueuedRequest{std::move(request)});
    DownloadRequest& added = queued->request;
    added.downloadPath = downloadName(added.localPath);
    added.status = Queued;
    // Without an expected digest an existing file never counts as right: it is always fetched
    // anew (and replaced only once the new one is complete).
    added.verifyExisting = added.verifyExisting && !added.expectedMd5.empty();
    std::lock_guard<std::mutex> hold(impl_->pendingLock);
    queued->order = impl_->nextOrder++;
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
    // What the workers took ahead of its turn and did not handle went back behind the rest.
    std::stable_sort(impl_->pending.begin(), impl_->pending.end(),
                     [](const OwnedRequest& a, const OwnedRequest& b) { return a->order < b->order; });
    moveInto(impl_->pending, untaken);
    moveInto(impl_->finished, untaken);
    return untaken;
}
