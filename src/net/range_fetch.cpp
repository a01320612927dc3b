// Fetching runs of bytes of a file with HTTP Range requests.
#include "net/range_fetch.h"

#include <algorithm>
#include <memory>

namespace {

constexpr size_t kMaxRangesPerRequest = 32;
constexpr size_t kBlockSize = 64 * 1024;

enum class Answer { Taken, Whole, Failed };

// One request for `ranges`; reads its answer into the sink.
Answer requestRanges(const std::string& url, const std::vector<ByteRange>& ranges, uint64_t fileSize, RangeSink sink,
                     void* context, const HttpOptions& options, RangeFetchStats& stats) {
    HttpResponse answer;
    const bool answered = httpOpen(url, "Range: " + rangeHeaderValue(ranges) + "\r\n", options, answer);
    // Every request sent counts, also those a redirect answered.
    ++stats.requests;
    if (!answered) return Answer::Failed;
    stats.receivedBytes += answer.headBytes;
    const HttpResponseHead& response = answer.head;
    // The whole file: its body is not read.
    if (response.status == 200) return Answer::Whole;
    if (response.status != 206) return Answer::Failed;
    // A range of a compressed body is no range of the file.
    if (!response.contentEncoding.empty() && response.contentEncoding != "identity") return Answer::Failed;

    std::string contentType, contentRange, boundary;
    const bool multipart = findHeaderField(answer.header, "content-type", contentType) &&
                           multipartBoundary(contentType, boundary);
    ByteRange single;
    uint64_t total = 0;
    if (!multipart) {
        if (!findHeaderField(answer.header, "content-range", contentRange) ||
            !parseContentRange(contentRange, single, total) || total != fileSize)
            return Answer::Failed;
        // The body is exactly the range; a length that says otherwise is not trusted.
        if (response.contentLength >= 0 && uint64_t(response.contentLength) != single.end - single.start)
            return Answer::Failed;
    }
    MultipartReader reader(boundary, fileSize, sink, context);
    uint64_t offset = single.start;
    std::unique_ptr<char[]> block(new char[kBlockSize]);
    // A body framed by its length is read to its end, so that the connection may serve the next
    // request; one the server ends by closing is read until everything asked for arrived.
    const bool framed = response.contentLength >= 0;
    for (;;) {
        if (!framed && (multipart ? reader.complete() : offset == single.end)) break;
        const int64_t count = answer.receive(block.get(), kBlockSize);
        if (count == 0) break;
        if (count < 0) return Answer::Failed;
        stats.receivedBytes += uint64_t(count);
        if (multipart) {
            if (!reader.feed(block.get(), size_t(count))) return Answer::Failed;
            continue;
        }
        if (offset + uint64_t(count) > single.end || !sink(context, offset, block.get(), size_t(count)))
            return Answer::Failed;
        offset += uint64_t(count);
    }
    if (!(multipart ? reader.complete() : offset == single.end)) return Answer::Failed;
    answer.keepConnection();
    return Answer::Taken;
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
    for (const ByteRange& range : ranges)
        if (range.start >= range.end || range.end > fileSize) return RangeFetchResult::Failed;

    size_t perRequest = kMaxRangesPerRequest;
    size_t next = 0;
    while (next < ranges.size()) {
        if (platformCancelRaised(options.cancel)) return RangeFetchResult::Failed;
        const size_t count = std::min(perRequest, ranges.size() - next);
        const std::vector<ByteRange> batch(ranges.begin() + long(next), ranges.begin() + long(next + count));
        switch (requestRanges(url, batch, fileSize, sink, context, options, counted)) {
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
