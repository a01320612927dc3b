// One answer's body: its end, its on-the-fly gzip, and the file it is stored in.
#include "net/response_body.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "net/body_decoder.h"
#include "net/byte_source.h"
#include "net/http_request.h"
#include "util/file_system.h"
#include "util/md5_pipe.h"

namespace {

// Receive size; memory stays this small whatever the size of the file.
constexpr size_t kBlockSize = 64 * 1024;
// A chunk's size line (with its extensions, which are ignored) and a chunked body's trailer
// that do not end within this much are no server's framing.
constexpr size_t kMaxChunkLine = 4096;
constexpr size_t kMaxTrailerBytes = 64 * 1024;
// While a ".gz" labelled gzip is looked at, what arrived is held back: a gzip header (a name,
// a comment, extra fields) that has not ended within this much is no server's compression.
constexpr size_t kMaxSniffBytes = 1024 * 1024;

// The file one transfer writes: removed unless the whole body arrived, or the transfer may be
// resumed from it. Opened through the platform's path API, so a link at its name is never
// written through, also when it is continued.
class BodyFile {
public:
    // `digest`, when set, receives the MD5 of the whole file once the body is stored. Each
    // attempt has its own BodyFile: a body fetched from the start again is hashed from nothing.
    BodyFile(const std::string& path, bool keepOnFailure, std::string* digest)
        : path_(path), keep_(keepOnFailure), digest_(digest) {}
    ~BodyFile() {
        if (file_) std::fclose(file_);
        if (opened_ && !complete_ && !keep_) platformRemoveFile(path_);
    }
    // Continues the file, or replaces a stale one of an earlier attempt or run.
    bool open(bool append) {
        file_ = platformOpenFile(path_, append ? PlatformOpenMode::Append : PlatformOpenMode::Write);
        opened_ = file_ != nullptr;
        return opened_ && (!append || !digest_ || hashWhatIsThere());
    }
    bool write(const char* data, size_t length) {
        if (length == 0) return true;
        if (digest_) md5_.append(reinterpret_cast<const uint8_t*>(data), length);
        if (std::fwrite(data, 1, length, file_) != length) {
            diskFull_ = errno == ENOSPC;
            return false;
        }
        // Written out while the body arrives: the flush before the rename then waits for little.
        writeBehind(file_, length, unwritten_);
        return true;
    }
    // What arrived is no good start for a later attempt.
    void discardOnFailure() { keep_ = false; }
    // A write or the close failed because the disk is full.
    bool diskFull() const { return diskFull_; }
    // Closes the file; a failed flush is a failed write.
    bool finish() {
        const bool closed = std::fclose(file_) == 0;
        if (!closed) diskFull_ = errno == ENOSPC;
        file_ = nullptr;
        complete_ = closed;
        if (complete_ && digest_) *digest_ = md5_.finish();
        return complete_;
    }

private:
    // A continued body's digest must cover what an earlier attempt left: read through the
    // handle that appends, so it is the very file the rest is added to.
    bool hashWhatIsThere() {
        std::rewind(file_);
        std::unique_ptr<uint8_t[]> block(new uint8_t[kBlockSize]);
        size_t count;
        while ((count = std::fread(block.get(), 1, kBlockSize, file_)) > 0) md5_.append(block.get(), count);
        return !std::ferror(file_) && platformSeekFile(file_, -1) >= 0;
    }

    std::string path_;
    bool keep_;
    FILE* file_ = nullptr;
    // Bytes written since the system was last asked to write them out.
    int64_t unwritten_ = 0;
    bool opened_ = false;
    bool complete_ = false;
    bool diskFull_ = false;
    std::string* digest_;
    // Hashed on a second processor while this thread receives.
    Md5Pipe md5_;
};

// Takes the body's bytes as they arrive and writes them to the file: decoded when the server
// compressed them on the fly, and, for a ".gz" labelled gzip, first held back until the first
// decoded bytes tell whether it was compressed once more on the way.
class BodySink {
public:
    BodySink(BodyFile& file, const BodyStorage& storage)
        : file_(file), path_(storage.path), maxWritten_(storage.maxWritten), sniff_(storage.sniff),
          decoder_(storage.decode || storage.sniff ? new GzipBodyDecoder : nullptr) {}

    // False when the file cannot be written or the gzip is damaged; failure() says which.
    bool take(const char* data, size_t length) {
        // Small steps, so that what one step decodes to stays small (deflate packs at most
        // about 1,000 to 1).
        constexpr size_t kSniffStep = 64;
        while (sniff_ && length > 0) {
            const size_t step = std::min(kSniffStep, length);
            sniffedRaw_.append(data, step);
            const bool valid = decoder_->feed(data, step, [this](const char* decoded, size_t count) {
                sniffedDecoded_.append(decoded, count);
                return true;
            });
            data += step;
            length -= step;
            if (!valid || sniffedDecoded_.size() >= 2) {
                const bool twice = valid && static_cast<unsigned char>(sniffedDecoded_[0]) == 0x1f &&
                                   static_cast<unsigned char>(sniffedDecoded_[1]) == 0x8b;
                if (!settle(twice)) return false;
            } else if (sniffedRaw_.size() >= kMaxSniffBytes) {
                failure_ = "no gzip content in the first " + std::to_string(kMaxSniffBytes) + " bytes";
                return false;
            }
        }
        if (length == 0) return true;
        if (!decoder_) return write(data, length);
        if (decoder_->feed(data, length, [this](const char* decoded, size_t count) { return write(decoded, count); }))
            return true;
        // A write that failed has said why; otherwise the gzip itself is damaged.
        if (failure_.empty()) failure_ = "damaged gzip content";
        return false;
    }
    // At the body's end: a body too short to tell is the file as sent (twice compressed, it
    // would be longer). False when that write fails.
    bool finish() { return !sniff_ || settle(false); }
    // A decoded body ended inside a gzip member.
    bool cutShort() const { return decoder_ && !decoder_->complete(); }
    const std::string& failure() const { return failure_; }

private:
    bool write(const char* data, size_t length) {
        if (maxWritten_ >= 0 && int64_t(length) > maxWritten_ - written_) {
            failure_ = "more than " + std::to_string(maxWritten_) + " bytes";
            return false;
        }
        written_ += int64_t(length);
        if (file_.write(data, length)) return true;
        failure_ = "could not write " + path_;
        return false;
    }
    // Ends the sniffing: from here on the body is decoded, or stored as it comes.
    bool settle(bool decodeIt) {
        sniff_ = false;
        if (decodeIt) return write(sniffedDecoded_.data(), sniffedDecoded_.size());
        decoder_.reset();
        return write(sniffedRaw_.data(), sniffedRaw_.size());
    }

    BodyFile& file_;
    const std::string& path_;
    const int64_t maxWritten_;
    int64_t written_ = 0;
    bool sniff_;
    std::unique_ptr<GzipBodyDecoder> decoder_;
    // Why take or finish failed.
    std::string failure_;
    // While sniffing: the body's bytes so far, and what they decode to.
    std::string sniffedRaw_, sniffedDecoded_;
};

// Fails the body for a write that failed: what a full disk left half-written is no start to
// build on.
bool failedWrite(BodyFile& file, const std::string& failure, const std::string& path, HttpResult& result) {
    result.failure = failure.empty() ? "could not write " + path : failure;
    if (file.diskFull()) {
        result.diskFull = true;
        result.failure = "the disk is full: " + result.failure;
    }
    file.discardOnFailure();
    return false;
}

}  // namespace

int64_t BodyReader::receive(char* buffer, size_t capacity) {
    if (!source_) return kSocketFailed;
    if (complete()) return 0;
    if (chunked_) return receiveChunked(buffer, capacity);
    const int64_t count = source_->receive(buffer, capacity);
    if (count <= 0) return count;
    // Bytes past the declared length are not part of the body.
    if (framed() && count > length_ - received_) {
        const int64_t body = length_ - received_;
        source_->unread(buffer + body, size_t(count - body));
        received_ = length_;
        return body;
    }
    received_ += count;
    return count;
}

bool BodyReader::takeLine(const char* data, size_t length, size_t& used) {
    const char* end = static_cast<const char*>(std::memchr(data, '\n', length));
    used = end ? size_t(end - data) + 1 : length;
    line_.append(data, end ? used - 1 : used);
    if (line_.size() > kMaxChunkLine) chunk_ = Chunk::Broken;
    return end && chunk_ != Chunk::Broken;
}

int64_t BodyReader::receiveChunked(char* buffer, size_t capacity) {
    for (;;) {
        const int64_t count = source_->receive(buffer, capacity);
        if (count <= 0) return count;
        // The chunks' data is moved to the front of the buffer as the framing is taken off.
        size_t in = 0, out = 0;
        const size_t total = size_t(count);
        while (in < total && chunk_ != Chunk::Done && chunk_ != Chunk::Broken) {
            size_t used = 0;
            if (chunk_ == Chunk::Data) {
                used = size_t(std::min<int64_t>(chunkLeft_, int64_t(total - in)));
                std::memmove(buffer + out, buffer + in, used);
                out += used;
                chunkLeft_ -= int64_t(used);
                if (chunkLeft_ == 0) chunk_ = Chunk::DataEnd;
            } else if (takeLine(buffer + in, total - in, used)) {
                if (!line_.empty() && line_.back() == '\r') line_.pop_back();
                if (chunk_ == Chunk::Size) {
                    // Hexadecimal digits, then perhaps ";" and extensions, which are ignored.
                    const size_t digits = line_.find_first_not_of("0123456789abcdefABCDEF");
                    const std::string size = line_.substr(0, digits);
                    const size_t significant = size.find_first_not_of('0');
                    const bool valid = !size.empty() && (digits == std::string::npos || line_[digits] == ';' ||
                                                         line_[digits] == ' ' || line_[digits] == '\t');
                    if (!valid || (significant != std::string::npos && size.size() - significant > 15)) {
                        chunk_ = Chunk::Broken;
                    } else {
                        chunkLeft_ = std::stoll(size, nullptr, 16);
                        chunk_ = chunkLeft_ > 0 ? Chunk::Data : Chunk::Trailer;
                    }
                } else if (chunk_ == Chunk::DataEnd) {
                    chunk_ = line_.empty() ? Chunk::Size : Chunk::Broken;
                } else {
                    // Trailer fields are not used; their blank line ends the body.
                    trailerBytes_ += line_.size();
                    if (line_.empty()) chunk_ = Chunk::Done;
                    else if (trailerBytes_ > kMaxTrailerBytes) chunk_ = Chunk::Broken;
                }
                line_.clear();
            }
            in += used;
        }
        if (chunk_ == Chunk::Broken) return kMalformedChunks;
        // What came behind the last chunk belongs to the next answer.
        if (in < total) source_->unread(buffer + in, total - in);
        received_ += int64_t(out);
        if (out > 0) return int64_t(out);
        if (chunk_ == Chunk::Done) return 0;
    }
}

bool BodyReader::endedCleanly() const { return source_ && complete() && source_->unreadBytes() == 0; }

bool storeBody(BodyReader& reader, const BodyStorage& storage, const HttpOptions& options, HttpResult& result) {
    BodyFile file(storage.path, storage.keepOnFailure, storage.digest);
    if (!file.open(storage.append)) {
        result.failure = "could not write " + storage.path;
        // A continued file may not be appended to (a second hard link to it): the next attempt
        // starts from the first byte. Only a regular file is removed; anything else stays.
        if (storage.append && platformRemoveFile(storage.path)) result.retryable = true;
        return false;
    }
    BodySink sink(file, storage);
    std::unique_ptr<char[]> block(new char[kBlockSize]);
    for (;;) {
        if (reader.complete()) break;
        if (storage.maxBytes > 0 && reader.received() > storage.maxBytes) {
            result.failure = "more than " + std::to_string(storage.maxBytes) + " bytes";
            file.discardOnFailure();
            return false;
        }
        const int64_t count = reader.receive(block.get(), kBlockSize);
        // Without a length the server closing the connection ends the body; a short body of
        // known length is never a complete file.
        if (count == 0 && !reader.framed()) break;
        if (count <= 0) {
            describeReceiveFailure(count, reader.received(), storage.contentLength, options, result);
            return false;
        }
        if (!sink.take(block.get(), size_t(count))) {
            // At least the rest of the body is missing, on a disk that took all it could.
            if (storage.contentLength > 0) result.bytesMissing = storage.contentLength - reader.received() + count;
            return failedWrite(file, sink.failure(), storage.path, result);
        }
    }
    if (!sink.finish()) return failedWrite(file, sink.failure(), storage.path, result);
    if (sink.cutShort()) {
        result.failure = "gzip content cut short after " + std::to_string(reader.received()) + " bytes";
        result.retryable = true;
        return false;
    }
    if (!file.finish()) return failedWrite(file, "", storage.path, result);
    return true;
}
