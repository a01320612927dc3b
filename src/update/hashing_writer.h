// Writing a file front to back while its MD5 is taken on a spare thread, so that the digest
// costs no time beside the writing (as a download is hashed while it arrives).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "update/spare_thread.h"
#include "util/md5.h"

struct SDL_mutex;
struct SDL_cond;

// Enough buffers that neither side waits for the other's every step.
constexpr int kHashingWriterBuffers = 4;
constexpr size_t kHashingWriterBufferSize = 1 << 20;

// Memory: kHashingWriterBuffers buffers of kHashingWriterBufferSize bytes, whatever the file's
// size. Without a spare thread (another worker holds it, or its lock cannot be made) the
// writer digests each buffer itself, in the same order. One thread fills it; the digest
// thread only reads full buffers it is handed.
class HashingWriter {
public:
    // Writes to `file`, which the caller keeps open (and closes) beyond the writer's life.
    explicit HashingWriter(std::FILE* file);
    // Stops the digest thread, after it has taken what it was handed.
    ~HashingWriter();
    HashingWriter(const HashingWriter&) = delete;
    HashingWriter& operator=(const HashingWriter&) = delete;

    // Where the next bytes of the file may be put: `room` bytes (at least one) at the result.
    // Valid until the next call of anything else.
    uint8_t* space(size_t& room);
    // The first `length` bytes of space() are the next bytes of the file. False when a full
    // buffer could not be written (the writer then takes nothing more).
    bool commit(size_t length);
    // Copies `length` bytes in; false as commit.
    bool append(const uint8_t* data, size_t length);
    // Writes what is left, waits for the digest and gives it as lowercase hexadecimal text.
    // False when a write failed. Once only; nothing may be added afterwards.
    bool finish(std::string& md5);
    uint64_t written() const { return written_; }

private:
    // Writes the current buffer and hands it to the digest; the next one becomes current.
    bool flush();
    static int digestLoop(void* self);

    std::FILE* file_;
    std::unique_ptr<uint8_t[]> memory_;
    // Buffers by index: `filled_` of them wait for the digest from `firstFilled_` on (ring
    // order); the others are free. `current_` is being filled by the writer and `used_` of
    // its bytes are taken.
    int current_ = 0;
    size_t used_ = 0;
    int firstFilled_ = 0;
    int filled_ = 0;
    size_t lengths_[kHashingWriterBuffers] = {};
    bool closing_ = false;
    bool failed_ = false;
    uint64_t written_ = 0;
    Md5State md5_;
    // Guards filled_, firstFilled_ and closing_; signalled whenever one of them changes.
    SDL_mutex* lock_ = nullptr;
    SDL_cond* changed_ = nullptr;
    // Last: destroyed first, so the thread has ended before the rest goes.
    SpareThread digester_;
};
