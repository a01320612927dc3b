// The one spare thread a worker may borrow.
#include "update/spare_thread.h"

#include <SDL.h>
#include <SDL_thread.h>

#include <atomic>

namespace {

// Set while a spare thread runs.
std::atomic<bool> spareTaken{false};

}  // namespace

SpareThread::~SpareThread() { join(); }

bool SpareThread::start(int (*run)(void* context), void* context) {
    if (thread_) return false;
    bool expected = false;
    if (!spareTaken.compare_exchange_strong(expected, true)) return false;
    thread_ = SDL_CreateThread(run, context);
    if (!thread_) spareTaken = false;
    return thread_ != nullptr;
}

void SpareThread::join() {
    if (!thread_) return;
    SDL_WaitThread(thread_, nullptr);
    thread_ = nullptr;
    spareTaken = false;
}
