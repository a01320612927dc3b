// One answer's body: where it ends (its length, its last chunk, or the server closing), undoing
// a server's on-the-fly gzip, and the file it is stored in. Any thread; one transfer at a time
// per object.
#pragma once

#include <cstdint>
#include <string>

class ByteSource;
struct HttpOptions;
struct HttpResult;

// Reads one body from its source: as many bytes as its length says, its chunks up to the last
// (their framing taken off), or until the end of the source when it gives neither. Bytes that
// came behind a body of known end are handed back to the source: the start of the next answer
// on a connection that carries several, or a sign that it cannot carry another.
class BodyReader {
public:
    BodyReader() = default;
    // `length` -1: the end of the source ends the body, unless `chunked`.
    BodyReader(ByteSource* source, int64_t length, bool chunked = false)
        : source_(source), length_(chunked ? -1 : length), chunked_(chunked) {}

    // The body's next bytes: a count (> 0), 0 at its end, or kSocketFailed, kSocketTimedOut,
    // kSocketCancelled, kReceiveTooSlow, kMalformedChunks. For a body of known end, 0 also when
    // the source ended early.
    int64_t receive(char* buffer, size_t capacity);
    // The body's bytes received so far (without the chunks' framing).
    int64_t received() const { return received_; }
    // True when the body's end is known (a length, or chunks), so that it ends there.
    bool framed() const { return length_ >= 0 || chunked_; }
    // True when a body of known end has arrived whole.
    bool complete() const { return chunked_ ? chunk_ == Chunk::Done : length_ >= 0 && received_ >= length_; }
    // True when the whole body of known end was read and nothing came behind it: the
    // connection may serve the next request.
    bool endedCleanly() const;

private:
    int64_t receiveChunked(char* buffer, size_t capacity);
    // Takes the framing bytes of `data` up to the next line end into line_; true once the line
    // ended (`used` tells how many bytes were taken), false when it is still open or too long.
    bool takeLine(const char* data, size_t length, size_t& used);

    ByteSource* source_ = nullptr;
    int64_t length_ = -1;
    int64_t received_ = 0;
    bool chunked_ = false;
    // Where a chunked body stands: a size line, a chunk's data, the line end behind it, the
    // trailer's lines, the end.
    enum class Chunk { Size, Data, DataEnd, Trailer, Done, Broken };
    Chunk chunk_ = Chunk::Size;
    // What is left of the current chunk's data, the framing line being read, and the bytes of
    // the trailer so far.
    int64_t chunkLeft_ = 0;
    std::string line_;
    size_t trailerBytes_ = 0;
};

// How one body is to be stored.
struct BodyStorage {
    // The file it goes to (see httpGet for what stays there when it fails).
    std::string path;
    // Continue the file an earlier attempt left, instead of replacing it.
    bool append = false;
    // The body is gzip the server applied on the fly: stored decoded.
    bool decode = false;
    // The body of a ".gz" labelled gzip: stored as sent, unless its first decoded bytes are
    // gzip's magic again (compressed once more on the way), then decoded.
    bool sniff = false;
    // A failed transfer keeps what arrived, for a later attempt to continue.
    bool keepOnFailure = false;
    // When set, receives the MD5 of the whole stored file.
    std::string* digest = nullptr;
    // The body fails when more than this many bytes of it arrive; 0 or less: no bound.
    int64_t maxBytes = 0;
    // The body fails when writing it would put more than this many bytes into the file (what
    // a decoded body decodes to, not what travelled); negative: no bound.
    int64_t maxWritten = -1;
    // The server's Content-Length, for the failure texts; 0 when it gave none.
    int64_t contentLength = 0;
};

// Reads the body from `reader` into the file `storage` names. False, with `result` saying why,
// when the file cannot be written, the body is cut short, damaged gzip or too large (before its
// bytes pass a bound: "more than N bytes"), a ".gz" labelled gzip decodes to nothing within its
// first 1 MiB (a header that never ends is not held in memory), or a receive fails; what stays
// at the path then is as `storage` says.
bool storeBody(BodyReader& reader, const BodyStorage& storage, const HttpOptions& options, HttpResult& result);
