// An MD5 digest taken on a pool thread beside the producer of the bytes.
#include "util/md5_pipe.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "util/worker_pool.h"

// The slots go round in order: the producer fills slot i while the hasher may still digest the
// `handed` ones before it.
struct Md5Pipe::Shared {
    std::unique_ptr<uint8_t[]> slots[kSlots];
    size_t lengths[kSlots] = {};
    std::mutex lock;
    std::condition_variable changed;
    // Slots handed to the hasher and not digested yet.
    int handed = 0;
    // Nothing more comes once the handed slots are digested.
    bool ending = false;
    // The hasher has returned; the producer may read the state.
    bool ended = false;
    Md5State* state = nullptr;
};

Md5Pipe::Md5Pipe() { md5Init(state_); }

Md5Pipe::~Md5Pipe() { endHasher(); }

bool Md5Pipe::startHasher() {
    std::shared_ptr<Shared> shared(new Shared);
    shared->state = &state_;
    for (auto& slot : shared->slots) slot.reset(new uint8_t[kSlotBytes]);
    if (!WorkerPool::shared().tryRun([shared] { runHasher(*shared); })) return false;
    shared_ = std::move(shared);
    return true;
}

void Md5Pipe::endHasher() {
    if (!shared_) return;
    std::unique_lock<std::mutex> hold(shared_->lock);
    shared_->ending = true;
    shared_->changed.notify_all();
    shared_->changed.wait(hold, [this] { return shared_->ended; });
    hold.unlock();
    shared_.reset();
}

// Gives the filled slot to the hasher and takes the next one, waiting while the hasher still
// holds it.
void Md5Pipe::handOver() {
    std::unique_lock<std::mutex> hold(shared_->lock);
    shared_->lengths[filling_] = filled_;
    ++shared_->handed;
    shared_->changed.notify_all();
    shared_->changed.wait(hold, [this] { return shared_->handed < kSlots; });
    filling_ = (filling_ + 1) % kSlots;
    filled_ = 0;
}

void Md5Pipe::append(const uint8_t* data, size_t length) {
    appended_ += length;
    // Small files, and the start of every file, are hashed here: a thread would cost more.
    if (!shared_ && !inline_ && appended_ > kInlineBytes) inline_ = !startHasher();
    if (!shared_) {
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
    if (shared_ && filled_ > 0) handOver();
    endHasher();
    uint8_t digest[16];
    md5Finish(state_, digest);
    return md5ToText(digest);
}

void Md5Pipe::runHasher(Shared& shared) {
    std::unique_lock<std::mutex> hold(shared.lock);
    for (int slot = 0;; slot = (slot + 1) % Md5Pipe::kSlots) {
        shared.changed.wait(hold, [&] { return shared.handed > 0 || shared.ending; });
        if (shared.handed == 0) break;
        hold.unlock();
        md5Append(*shared.state, shared.slots[slot].get(), int32_t(shared.lengths[slot]));
        hold.lock();
        --shared.handed;
        shared.changed.notify_all();
    }
    shared.ended = true;
    shared.changed.notify_all();
}
