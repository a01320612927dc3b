// A file written through a few buffers, digested on a spare thread as they fill.
#include "update/hashing_writer.h"

#include <SDL.h>
#include <SDL_mutex.h>

#include <algorithm>
#include <cstring>

HashingWriter::HashingWriter(std::FILE* file)
    : file_(file), memory_(new uint8_t[size_t(kHashingWriterBuffers) * kHashingWriterBufferSize]) {
    md5Init(md5_);
    lock_ = SDL_CreateMutex();
    changed_ = SDL_CreateCond();
    if (lock_ && changed_) digester_.start(digestLoop, this);
}

HashingWriter::~HashingWriter() {
    if (digester_.running()) {
        SDL_mutexP(lock_);
        closing_ = true;
        SDL_CondSignal(changed_);
        SDL_mutexV(lock_);
        digester_.join();
    }
    if (changed_) SDL_DestroyCond(changed_);
    if (lock_) SDL_DestroyMutex(lock_);
}

uint8_t* HashingWriter::space(size_t& room) {
    room = kHashingWriterBufferSize - used_;
    return memory_.get() + size_t(current_) * kHashingWriterBufferSize + used_;
}

bool HashingWriter::commit(size_t length) {
    if (failed_) return false;
    used_ += length;
    written_ += length;
    return used_ < kHashingWriterBufferSize || flush();
}

bool HashingWriter::append(const uint8_t* data, size_t length) {
    while (length > 0) {
        size_t room = 0;
        uint8_t* to = space(room);
        const size_t count = std::min(room, length);
        std::memcpy(to, data, count);
        if (!commit(count)) return false;
        data += count;
        length -= count;
    }
    return !failed_;
}

bool HashingWriter::flush() {
    if (failed_) return false;
    if (used_ == 0) return true;
    const uint8_t* buffer = memory_.get() + size_t(current_) * kHashingWriterBufferSize;
    if (std::fwrite(buffer, 1, used_, file_) != used_) {
        // Nothing more is taken; the buffer only stays usable so that space() keeps its word.
        failed_ = true;
        used_ = 0;
        return false;
    }
    if (!digester_.running()) {
        md5Append(md5_, buffer, int32_t(used_));
        used_ = 0;
        return true;
    }
    SDL_mutexP(lock_);
    lengths_[current_] = used_;
    ++filled_;
    SDL_CondSignal(changed_);
    // The next buffer in ring order is free once the digest has let go of it.
    while (filled_ == kHashingWriterBuffers) SDL_CondWait(changed_, lock_);
    SDL_mutexV(lock_);
    current_ = (current_ + 1) % kHashingWriterBuffers;
    used_ = 0;
    return true;
}

bool HashingWriter::finish(std::string& md5) {
    if (!flush()) return false;
    if (digester_.running()) {
        SDL_mutexP(lock_);
        closing_ = true;
        SDL_CondSignal(changed_);
        SDL_mutexV(lock_);
        digester_.join();
    }
    uint8_t digest[16];
    md5Finish(md5_, digest);
    md5 = md5ToText(digest);
    return true;
}

int HashingWriter::digestLoop(void* self) {
    HashingWriter& writer = *static_cast<HashingWriter*>(self);
    SDL_mutexP(writer.lock_);
    for (;;) {
        while (writer.filled_ == 0 && !writer.closing_) SDL_CondWait(writer.changed_, writer.lock_);
        if (writer.filled_ == 0) break;
        const int index = writer.firstFilled_;
        const size_t length = writer.lengths_[index];
        SDL_mutexV(writer.lock_);
        md5Append(writer.md5_, writer.memory_.get() + size_t(index) * kHashingWriterBufferSize, int32_t(length));
        SDL_mutexP(writer.lock_);
        writer.firstFilled_ = (index + 1) % kHashingWriterBuffers;
        --writer.filled_;
        SDL_CondSignal(writer.changed_);
    }
    SDL_mutexV(writer.lock_);
    return 0;
}
