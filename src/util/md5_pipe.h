// An MD5 digest taken beside the thread that produces the bytes: a download hashes what it
// receives on a second processor, so its check costs the longer of receiving and hashing
// instead of their sum.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "util/md5.h"

// One producer thread appends and finishes; a task on the shared worker pool, started only
// once the bytes pass kInlineBytes (small files are hashed at once, without it), digests the
// appended bytes in order. Holds at most kSlots buffers of kSlotBytes; append waits when the
// hashing task is that far behind. When the pool has no thread free, everything is hashed
// inline.
class Md5Pipe {
public:
    static constexpr size_t kInlineBytes = size_t(1) << 20;
    static constexpr int kSlots = 4;
    static constexpr size_t kSlotBytes = size_t(256) << 10;

    Md5Pipe();
    // Ends the hashing task, also when finish was never called.
    ~Md5Pipe();
    Md5Pipe(const Md5Pipe&) = delete;
    Md5Pipe& operator=(const Md5Pipe&) = delete;

    void append(const uint8_t* data, size_t length);
    // Waits for the hashing task and returns the digest of everything appended, as text.
    // Once only.
    std::string finish();

private:
    struct Shared;
    static void runHasher(Shared& shared);
    bool startHasher();
    void handOver();
    // Tells the hasher that nothing more comes and waits until it has returned.
    void endHasher();

    Md5State state_;
    size_t appended_ = 0;
    // Shared with the hashing task, which keeps it alive until it returns.
    std::shared_ptr<Shared> shared_;
    // No thread was free: everything is hashed inline.
    bool inline_ = false;
    // The slot being filled by the producer, and how much of it is.
    int filling_ = 0;
    size_t filled_ = 0;
};
