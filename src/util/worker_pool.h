// A few threads shared by the work that runs beside its caller: hashing the game's files for
// the comparison, the second half of a large block scan, and the digest of a download taken
// while it arrives. Standard threads: the window's library stays with the window.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class WorkerPool {
public:
    using Task = std::function<void()>;

    // More than this would only queue up at the disk or the processors; the pool never holds
    // more threads than it was ever asked to run at once.
    static constexpr size_t kMaxThreads = 16;

    WorkerPool() = default;
    // Lets every thread finish its task and joins them. No task may still be waiting for
    // anything that only its submitter would give it.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Runs `task` on an idle thread of the pool, starting a new one while there are fewer than
    // kMaxThreads. False, and `task` not run, when every thread is busy or no thread could be
    // started: the caller then does the work itself, so nothing ever waits for a free thread.
    // Any thread. The task must not throw; the caller learns of its end by its own means.
    bool tryRun(Task task);

    // The process's pool, started on first use and ended at exit.
    static WorkerPool& shared();

private:
    void serve();

    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<Task> tasks_;
    std::vector<std::thread> threads_;
    // Threads waiting for a task; a task is only queued when one of them will take it.
    size_t idle_ = 0;
    bool ending_ = false;
};
