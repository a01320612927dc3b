// Fetching runs of bytes of a file with HTTP Range requests.
#include "net/range_fetch.h"

#include <algorithm>
#include <memory>

namespace {

constexpr size_t kMaxRangesPerRequest = 32;
constexpr size_t kBlockSize = 64 * 1024;
// Bytes an answer may hold beyond those asked for (a server may join ranges with a small gap
// between them); an answer that holds more is not read.
constexpr uint64_t kMaxUnaskedBytes = 16 * 1024;

enum class Answer { Taken, Whole, TooMuch, Failed };

// Stands between an answer and the sink: checks each part against what was asked before its
// bytes are read, hands on only the bytes asked for, in order, and notes how far that got.
struct AskedRanges {
    AskedRanges(const std::vector<ByteRange>& ranges, RangeSink sink, void* context)
        : ranges(ranges), sink(sink), context(context), next(ranges.front().start) {
        for (const ByteRange& range : ranges) asked += range.end - range.start;
    }

    // A part of the answer may hold bytes not asked for only up to the margin, counted over the
    // whole answer, and all its parts together no more than was asked plus the margin.
    static bool check(void* self, const ByteRange& part) {
        AskedRanges& asked = *static_cast<AskedRanges*>(self);
        uint64_t inside = 0;
        for (const ByteRange& range : asked.ranges)
            if (range.start < part.end && part.start < range.end)
                inside += std::min(range.end, part.end) - std::max(range.start, part.start);
        asked.unasked += (part.end - part.start) - inside;
        asked.partBytes += part.end - part.start;
        asked.tooMuch = asked.unasked > kMaxUnaskedBytes || asked.partBytes > asked.asked + kMaxUnaskedBytes;
        return !asked.tooMuch;
    }

    // Hands on the bytes that continue what was asked from `next` on; anything else (bytes not
    // asked for, or asked for but out of order) is dropped, and asked again later.
    static bool take(void* self, uint64_t offset, const char* data, size_t length) {
        AskedRanges& asked = *static_cast<AskedRanges*>(self);
        const uint64_t end = offset + length;
        while (asked.current < asked.ranges.size()) {
            const ByteRange& range = asked.ranges[asked.current];
            if (asked.next >= range.end) {
                if (++asked.current < asked.ranges.size()) asked.next = asked.ranges[asked.current].start;
                continue;
            }
            if (offset > asked.next || end <= asked.next) return true;
            const uint64_t to = std::min(end, range.end);
            if (!asked.sink(asked.context, asked.next, data + (asked.next - offset), size_t(to - asked.next))) return false;
            asked.next = to;
        }
        return true;
    }

    // What is left to ask for: the ranges from `next` on.
    std::vector<ByteRange> left() const {
        std::vector<ByteRange> rest;
        for (size_t i = current; i < ranges.size(); ++i)
            if (i > current || next < ranges[i].end) rest.push_back({i == current ? next : ranges[i].start, ranges[i].end});
        return rest;
    }

    const std::vector<ByteRange>& ranges;
    RangeSink sink;
    void* context;
    uint64_t asked = 0;
    // The first range not yet handed on whole, and the first byte of it not handed on.
    size_t current = 0;
    uint64_t next;
    uint64_t unasked = 0;
    uint64_t partBytes = 0;
    bool tooMuch = false;
};

// One request for `asked.ranges`; reads its answer into the sink through `asked`.
Answer requestRanges(const std::string& url, AskedRanges& asked, uint64_t fileSize, const HttpOptions& options,
                     RangeFetchStats& stats) {
    HttpResponse answer;
    const bool answered = httpOpen(url, "Range: " + rangeHeaderValue(asked.ranges) + "\r\n", options, answer);
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
        if (!AskedRanges::check(&asked, single)) return Answer::TooMuch;
    }
    MultipartReader reader(boundary, fileSize, AskedRanges::take, &asked, AskedRanges::check);
    uint64_t offset = single.start;
    std::unique_ptr<char[]> block(new char[kBlockSize]);
    // A body whose end is known (its length, chunks or stream) is read to it, so that the
    // connection may serve the next request; one the server ends by closing is read until
    // everything it announced arrived.
    const bool framed = answer.framed();
    for (;;) {
        if (!framed && (multipart ? reader.complete() : offset == single.end)) break;
        const int64_t count = answer.receive(block.get(), kBlockSize);
        if (count == 0) break;
        if (count < 0) return Answer::Failed;
        stats.receivedBytes += uint64_t(count);
        if (multipart) {
            if (!reader.feed(block.get(), size_t(count))) return asked.tooMuch ? Answer::TooMuch : Answer::Failed;
            continue;
        }
        if (offset + uint64_t(count) > single.end || !AskedRanges::take(&asked, offset, block.get(), size_t(count)))
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
    for (size_t i = 0; i < ranges.size(); ++i)
        if (ranges[i].start >= ranges[i].end || ranges[i].end > fileSize || (i > 0 && ranges[i].start < ranges[i - 1].end))
            return RangeFetchResult::Failed;

    std::vector<ByteRange> remaining = ranges;
    size_t perRequest = kMaxRangesPerRequest;
    while (!remaining.empty()) {
        if (platformCancelRaised(options.cancel)) return RangeFetchResult::Failed;
        const size_t count = std::min(perRequest, remaining.size());
        const std::vector<ByteRange> batch(remaining.begin(), remaining.begin() + long(count));
        AskedRanges asked(batch, sink, context);
        switch (requestRanges(url, asked, fileSize, options, counted)) {
        case Answer::Taken: {
            std::vector<ByteRange> left = asked.left();
            // Asked one at a time, a range must come whole: a server that cannot is no help.
            if (!left.empty() && count == 1) return RangeFetchResult::Failed;
            // What did not come (a server may answer only the first of several ranges, or send
            // them out of order) is asked again, one range per request.
            if (!left.empty()) perRequest = 1;
            left.insert(left.end(), remaining.begin() + long(count), remaining.end());
            remaining.swap(left);
            break;
        }
        case Answer::Whole:
        case Answer::TooMuch:
            // Several ranges may be more than the server allows (nginx's max_ranges, for one);
            // more than asked for one range is a server that does not serve ranges.
            if (count == 1) return RangeFetchResult::RangesIgnored;
            perRequest = 1;
            break;
        case Answer::Failed:
            return RangeFetchResult::Failed;
        }
    }
    return RangeFetchResult::Fetched;
}
