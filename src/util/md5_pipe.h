// An MD5 digest taken beside the thread that produces the bytes: a download hashes what it
// receives on a second processor, so its check costs the longer of receiving and hashing
// instead of their sum.
#pragma once

#include <SDL.h>
#include <SDL_thread.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "util/md5.h"

// One producer thread appends and finishes; a hashing thread of its own, started only once
// the bytes pass kInlineBytes (small files are hashed at once, without a thread), digests the
// appended bytes in order. Holds at most kSlots buffers of kSlotBytes; append waits when the
// hashing thread is that far behind. Without a thread (none could be made) it hashes inline.
class Md5Pipe {
public:
    static constexpr size_t kInlineBytes = size_t(1) << 20;
    static constexpr int kSlots = 4;
    static constexpr size_t kSlotBytes = size_t(256) << 10;

    Md5Pipe();
    // Ends the hashing thread, also when finish was never called.
    ~Md5Pipe();
    Md5Pipe(const Md5Pipe&) = delete;
    Md5Pipe& operator=(const Md5Pipe&) = delete;

    void append(const uint8_t* data, size_t length);
    // Waits for the hashing thread and returns the digest of everything appended, as text.
    // Once only.
    std::string finish();

private:
    struct Shared;
    static int SDLCALL runHasher(void* argument);
    bool startThread();
    void handOver();

    Md5State state_;
    size_t appended_ = 0;
    std::unique_ptr<Shared> shared_;
    SDL_Thread* thread_ = nullptr;
    // A thread could not be made: everything is hashed inline.
    bool noThread_ = false;
    // The slot being filled by the producer, and how much of it is.
    int filling_ = 0;
    size_t filled_ = 0;
};
