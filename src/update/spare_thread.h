// A second thread for a worker whose job splits in two (a scan in halves, a digest beside the
// writing), at most one of them in the process at a time.
#pragma once

// Five workers each splitting their job would double the updater's threads on a machine whose
// processors the transfers already keep busy; one spare thread in the process is the most a
// delta update may add. Owned by the worker that starts it; not copyable.
class SpareThread {
public:
    SpareThread() = default;
    SpareThread(const SpareThread&) = delete;
    SpareThread& operator=(const SpareThread&) = delete;
    // Waits for the thread.
    ~SpareThread();

    // Runs `run(context)` on a thread of its own when no other spare thread runs in the process
    // and this one has not started yet. False when nothing was started (the caller then does
    // the work itself).
    bool start(int (*run)(void* context), void* context);
    // Waits until the thread has ended; nothing when none was started. The spare thread is
    // free for others afterwards.
    void join();
    bool running() const { return thread_ != nullptr; }

private:
    struct SDL_Thread* thread_ = nullptr;
};
