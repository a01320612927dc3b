// What the download manager and its workers share: the queue and the finished list with their
// locks, and each worker's slot. Only the manager's own files (download_manager.cpp,
// download_worker.cpp) include this.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "net/download_manager.h"
#include "net/kept_connection.h"
#include "net/pipelining.h"
#include "net/proxy.h"
#include "platform/platform.h"

constexpr int kDefaultStallTimeoutMs = 30000;
constexpr int kDefaultRetryDelayMs = 1000;

// A request with its place in the queue, which a stop keeps for what a worker took and did not
// handle.
struct QueuedRequest {
    DownloadRequest request;
    uint64_t order = 0;
    // The worker has looked at the local files for it (the shortcut declined): only a transfer
    // is left.
    bool looked = false;
};
using OwnedRequest = std::unique_ptr<QueuedRequest>;

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
    // How many workers run; read by them while start() adds more.
    std::atomic<int> workerCount{0};
    // Locks: pendingLock guards the queue, finishedLock the handled requests; nobody holds both.
    std::mutex pendingLock;
    // Waiting for a worker, first in first out; and the place the next one queued gets.
    std::deque<OwnedRequest> pending;
    uint64_t nextOrder = 0;
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
    // What the workers learn about servers that take several requests at once.
    PipeliningMemory pipelining;
    // The owner's thread only.
    bool started = false;
    bool stopped = false;
};

