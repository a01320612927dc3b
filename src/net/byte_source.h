// Where the bytes of an answer come from: a connection (HTTP/1.x), or one stream of a shared
// HTTP/2 connection. The body readers read through this, whichever it is.
#pragma once

#include <cstddef>
#include <cstdint>

// Results of receive besides a count and the platform's kSocketFailed, kSocketTimedOut and
// kSocketCancelled: the server sent less than kMinBytesPerStall (connection.h) within one stall
// time-out.
constexpr int64_t kReceiveTooSlow = -4;
// The chunks of a chunked body are malformed: its end cannot be known.
constexpr int64_t kMalformedChunks = -5;

// One thread at a time, like the connection behind it.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // The byte count (> 0), 0 at the end, or one of the failure results. Bytes handed back
    // with unread() come first.
    virtual int64_t receive(char* buffer, size_t capacity) = 0;
    // Hands back bytes received but not meant for the reader that received them; the next
    // receive returns them first.
    virtual void unread(const char* data, size_t length) = 0;
    // How many handed-back bytes wait for the next receive.
    virtual size_t unreadBytes() const = 0;
};
