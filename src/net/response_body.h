// One answer's body: where it ends (its length, or the server closing), undoing a server's
// on-the-fly gzip, and the file it is stored in. Any thread; one transfer at a time per object.
#pragma once

#include <cstdint>
#include <string>

class Connection;
struct HttpOptions;
struct HttpResult;

// Reads one body from its connection: as many bytes as its length says, or until the server
// closes the connection when it gives none. Bytes that came behind a body of known length are
// handed back to the connection, where they tell that it cannot carry another request.
class BodyReader {
public:
    BodyReader() = default;
    // `length` -1: the server closing the connection ends the body.
    BodyReader(Connection* connection, int64_t length) : connection_(connection), length_(length) {}

    // The body's next bytes: a count (> 0), 0 at its end, or kSocketFailed, kSocketTimedOut,
    // kSocketCancelled. For a body of known length, 0 also when the connection closed early.
    int64_t receive(char* buffer, size_t capacity);
    // The body's bytes received so far.
    int64_t received() const { return received_; }
    // True when the length is known, so that the body ends at it.
    bool framed() const { return length_ >= 0; }
    // True when a body of known length has arrived whole.
    bool complete() const { return framed() && received_ >= length_; }
    // True when the whole body of known length was read and nothing came behind it: the
    // connection may serve the next request.
    bool endedCleanly() const;

private:
    Connection* connection_ = nullptr;
    int64_t length_ = -1;
    int64_t received_ = 0;
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
