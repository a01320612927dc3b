// Fetching runs of bytes of a file with HTTP Range requests.
#include "net/range_fetch.h"

#include <algorithm>
#include <memory>

#include "net/http_response.h"

namespace {

constexpr size_t kMaxRangesPerRequest = 32;
constexpr size_t kBlockSize = 64 * 1024;
constexpr size_t kMaxHeaderBytes = 64 * 1024;

bool isSafeInRequest(const std::string& text) {
    for (unsigned char c : text)
        if (c <= 0x20 || c == 0x7f) return false;
    return true;
}

struct SocketCloser {
    PlatformSocket socket;
    ~SocketCloser() { platformCloseSocket(socket); }
};

enum class Answer { Taken, Whole, Failed };

// One request for `ranges`; reads its answer into the sink.
Answer requestRanges(const std::string& host, const std::string& path, const std::vector<ByteRange>& ranges,
                     uint64_t fileSize, RangeSink sink, void* context, const HttpOptions& options,
                     RangeFetchStats& stats) {
    PlatformSocket socket;
    if (!connectToHost(socket, host, options)) return Answer::Failed;
    SocketCloser closer{socket};
    const std::string request = "GET " + path + " HTTP/1.0\r\nUser-Agent: Wux\r\nHost: " + host +
                                "\r\nRange: " + rangeHeaderValue(ranges) + "\r\nConnection: close\r\n\r\n";
    const int timeout = options.stallTimeoutMs;
    if (!platformSendAll(socket, request.data(), request.size(), timeout, options.cancel)) return Answer::Failed;
    ++stats.requests;

    std::unique_ptr<char[]> block(new char[kBlockSize]);
    std::string head;
    size_t headerEnd;
    for (;;) {
        const int64_t count = platformReceive(socket, block.get(), kBlockSize, timeout, options.cancel);
        if (count <= 0) return Answer::Failed;
        stats.receivedBytes += uint64_t(count);
        const size_t searchFrom = head.size() < 3 ? 0 : head.size() - 3;
        head.append(block.get(), size_t(count));
        headerEnd = head.find("\r\n\r\n", searchFrom);
        if (headerEnd != std::string::npos) break;
        if (head.size() > kMaxHeaderBytes) return Answer::Failed;
    }
    const std::string header = head.substr(0, headerEnd);
    HttpResponseHead response;
    if (!parseResponseHead(header, response)) return Answer::Failed;
    // The whole file: its body is not read.
    if (response.status == 200) return Answer::Whole;
    if (response.status != 206) return Answer::Failed;

    std::string contentType, contentRange, boundary;
    const bool multipart = findHeaderField(header, "content-type", contentType) &&
                           multipartBoundary(contentType, boundary);
    ByteRange single;
    uint64_t total = 0;
    if (!multipart) {
        if (!findHeaderField(header, "content-range", contentRange) ||
            !parseContentRange(contentRange, single, total) || total != fileSize)
            return Answer::Failed;
        // The body is exactly the range; a length that says otherwise is not trusted.
        if (response.contentLength >= 0 && uint64_t(response.contentLength) != single.end - single.start)
            return Answer::Failed;
    }
    MultipartReader reader(boundary, fileSize, sink, context);
    uint64_t offset = single.start;
    int64_t received = 0;
    // The body's end: its Content-Length, or the server closing the connection.
    const int64_t length = response.contentLength;
    auto take = [&](const char* data, size_t count) {
        if (length >= 0 && int64_t(count) > length - received) count = size_t(length - received);
        received += int64_t(count);
        if (multipart) return reader.feed(data, count);
        if (offset + count > single.end) return false;
        if (count > 0 && !sink(context, offset, data, count)) return false;
        offset += count;
        return true;
    };
    if (!take(head.data() + headerEnd + 4, head.size() - headerEnd - 4)) return Answer::Failed;
    head.clear();
    head.shrink_to_fit();
    while (length < 0 || received < length) {
        if (multipart ? reader.complete() : offset == single.end) break;
        const int64_t count = platformReceive(socket, block.get(), kBlockSize, timeout, options.cancel);
        if (count == 0) break;
        if (count < 0) return Answer::Failed;
        stats.receivedBytes += uint64_t(count);
        if (!take(block.get(), size_t(count))) return Answer::Failed;
    }
    const bool whole = multipart ? reader.complete() : offset == single.end;
    return whole ? Answer::Taken : Answer::Failed;
}

}  // namespace

std::string rangeHeaderValue(const std::vector<ByteRange>& ranges) {
    std::string value = "bytes=";
    for (size_t i = 0; i < ranges.size(); ++i) {
        if (i > 0) value += ",";
        value += std::to_string(ranges[i].start) + "-" + std::to_string(ranges[i].end - 1);
    }
    return value;
}

RangeFetchResult fetchRanges(const std::string& url, const std::vector<ByteRange>& ranges, uint64_t fileSize,
                             RangeSink sink, void* context, const HttpOptions& options, RangeFetchStats* stats) {
    RangeFetchStats local;
    RangeFetchStats& counted = stats ? *stats : local;
    std::string host, path;
    if (!splitUrl(url, host, path) || !isSafeInRequest(host) || !isSafeInRequest(path)) return RangeFetchResult::Failed;
    for (const ByteRange& range : ranges)
        if (range.start >= range.end || range.end > fileSize) return RangeFetchResult::Failed;

    size_t perRequest = kMaxRangesPerRequest;
    size_t next = 0;
    while (next < ranges.size()) {
        if (platformCancelRaised(options.cancel)) return RangeFetchResult::Failed;
        const size_t count = std::min(perRequest, ranges.size() - next);
        const std::vector<ByteRange> batch(ranges.begin() + long(next), ranges.begin() + long(next + count));
        switch (requestRanges(host, path, batch, fileSize, sink, context, options, counted)) {
        case Answer::Taken:
            next += count;
            break;
        case Answer::Whole:
            // Several ranges may be more than the server allows (nginx's max_ranges, for one).
            if (count == 1) return RangeFetchResult::RangesIgnored;
            perRequest = 1;
            break;
        case Answer::Failed:
            return RangeFetchResult::Failed;
        }
    }
    return RangeFetchResult::Fetched;
}
