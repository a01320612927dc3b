// An MD5 digest taken on a thread beside the producer of the bytes.
#include "util/md5_pipe.h"

#include <algorithm>
#include <cstring>

// The slots go round in order: the producer fills slot i while the hasher may still digest
// the ones before it. `free` counts slots the producer may take, `ready` slots the hasher may.
struct Md5Pipe::Shared {
    std::unique_ptr<uint8_t[]> slots[kSlots];
    size_t lengths[kSlots] = {};
    SDL_sem* free = nullptr;
    SDL_sem* ready = nullptr;
    Md5State* state = nullptr;
};

Md5Pipe::Md5Pipe() { md5Init(state_); }

Md5Pipe::~Md5Pipe() {
    if (!thread_) return;
    // An empty slot tells the hasher to end: it reaches the one being filled after all the
    // others it was given.
    shared_->lengths[filling_] = 0;
    SDL_SemPost(shared_->ready);
    SDL_WaitThread(thread_, nullptr);
    SDL_DestroySemaphore(shared_->free);
    SDL_DestroySemaphore(shared_->ready);
}

int SDLCALL Md5Pipe::runHasher(void* argument) {
    Shared& shared = *static_cast<Shared*>(argument);
    for (int slot = 0;; slot = (slot + 1) % kSlots) {
        SDL_SemWait(shared.ready);
        if (shared.lengths[slot] == 0) return 0;
        md5Append(*shared.state, shared.slots[slot].get(), int32_t(shared.lengths[slot]));
        SDL_SemPost(shared.free);
    }
}

bool Md5Pipe::startThread() {
    shared_.reset(new Shared);
    shared_->free = SDL_CreateSemaphore(kSlots - 1);
    shared_->ready = SDL_CreateSemaphore(0);
    shared_->state = &state_;
    for (auto& slot : shared_->slots) slot.reset(new uint8_t[kSlotBytes]);
    if (shared_->free && shared_->ready) thread_ = SDL_CreateThread(runHasher, shared_.get());
    if (thread_) return true;
    if (shared_->free) SDL_DestroySemaphore(shared_->free);
    if (shared_->ready) SDL_DestroySemaphore(shared_->ready);
    shared_.reset();
    return false;
}

// Gives the filled slot to the hasher and takes the next one, waiting while the hasher holds
// all the others.
void Md5Pipe::handOver() {
    shared_->lengths[filling_] = filled_;
    SDL_SemPost(shared_->ready);
    SDL_SemWait(shared_->free);
    filling_ = (filling_ + 1) % kSlots;
    filled_ = 0;
}

void Md5Pipe::append(const uint8_t* data, size_t length) {
    appended_ += length;
    // Small files, and the start of every file, are hashed here: a thread would cost more.
    if (!thread_ && !noThread_ && appended_ > kInlineBytes) noThread_ = !startThread();
    if (!thread_) {
        md5Append(state_, data, int32_t(length));
        return;
    }
    while (length > 0) {
        const size_t part = std::min(length, kSlotBytes - filled_);
        std::memcpy(shared_->slots[filling_].get() + filled_, data, part);
        filled_ += part;
        data += part;
        length -= part;
        if (filled_ == kSlotBytes) handOver();
    }
}

std::string Md5Pipe::finish() {
    if (thread_) {
        if (filled_ > 0) handOver();
        // The hasher has taken every slot it was given once all but the one being filled are free.
        for (int i = 0; i < kSlots - 1; ++i) SDL_SemWait(shared_->free);
        for (int i = 0; i < kSlots - 1; ++i) SDL_SemPost(shared_->free);
    }
    uint8_t digest[16];
    md5Finish(state_, digest);
    return md5ToText(digest);
}
