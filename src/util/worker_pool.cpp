// The shared pool of helper threads.
#include "util/worker_pool.h"

#include <system_error>

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        ending_ = true;
    }
    changed_.notify_all();
    for (std::thread& thread : threads_) thread.join();
}

bool WorkerPool::tryRun(Task task) {
    std::unique_lock<std::mutex> hold(lock_);
    if (ending_) return false;
    // Every queued task has an idle thread promised to it.
    if (idle_ > tasks_.size()) {
        tasks_.push_back(std::move(task));
        hold.unlock();
        changed_.notify_one();
        return true;
    }
    if (threads_.size() >= kMaxThreads) return false;
    tasks_.push_back(std::move(task));
    try {
        threads_.emplace_back([this] { serve(); });
    } catch (const std::system_error&) {
        tasks_.pop_back();
        return false;
    }
    return true;
}

void WorkerPool::serve() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        if (!tasks_.empty()) {
            Task task = std::move(tasks_.front());
            tasks_.pop_front();
            hold.unlock();
            task();
            task = nullptr;
            hold.lock();
            continue;
        }
        if (ending_) return;
        ++idle_;
        changed_.wait(hold);
        --idle_;
    }
}

WorkerPool& WorkerPool::shared() {
    static WorkerPool pool;
    return pool;
}
