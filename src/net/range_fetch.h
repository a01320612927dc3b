// Fetching runs of bytes of a file with HTTP Range requests: several runs per request where
// the server answers with "multipart/byteranges", one per request where it does not.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/byte_ranges.h"
#include "net/http_client.h"

enum class RangeFetchResult {
    // Every range arrived and the sink took it.
    Fetched,
    // The server answered 200 to a single range (it ignores Range, or the file changed), or a
    // 206 that holds more than was asked.
    RangesIgnored,
    // Anything else: no connection, an error status, a malformed answer, a stall, a cancel,
    // an answer for a file of another size, or the sink refused.
    Failed,
};

struct RangeFetchStats {
    // Requests sent, and the bytes of every response, headers included.
    int requests = 0;
    uint64_t receivedBytes = 0;
};

// Takes the bytes of the file as they arrive: `offset` is their place in the file. Only bytes
// asked for are handed on, each once, in ascending order. Returning false stops the fetch
// (Failed).
using RangeSink = bool (*)(void* context, uint64_t offset, const char* data, size_t length);

// Fetches `ranges` (ascending, disjoint, inside a file of `fileSize` bytes) of `url`, up to 32
// per request. A 206 must carry a Content-Range (or, for several ranges, a multipart body whose
// parts do) for a file of `fileSize` bytes, and each part is checked against what was asked
// before its bytes are read: all parts together may hold at most 16 KiB not asked for. What an
// answer covered is used; what it did not (a server may answer only the first of several
// ranges, or send them out of order) is asked again, one range per request, and a one-range
// request must come back whole (Failed otherwise). A 200, or a 206 holding more than was
// asked, to several ranges is taken for a server that allows only one per request, which the
// rest of the fetch then uses (the answer's body is not read); to one range it ends the fetch
// with RangesIgnored. The requests travel
// as httpGet's do (TLS, the proxy, redirects, the kept connection of `options`). Any thread;
// never logs; the stall time-out and cancel of `options` apply to every socket wait.
RangeFetchResult fetchRanges(const std::string& url, const std::vector<ByteRange>& ranges, uint64_t fileSize,
                             RangeSink sink, void* context, const HttpOptions& options,
                             RangeFetchStats* stats = nullptr);

// The value of a Range header field for `ranges`: "bytes=0-9,20-29".
std::string rangeHeaderValue(const std::vector<ByteRange>& ranges);
