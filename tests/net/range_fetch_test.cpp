// Range requests against a real nginx (several ranges, one per request, none) and against
// peers whose answers are malformed; the multipart reader fed in pieces of every size.
#include "net/range_fetch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <thread>

#include "support/nginx_server.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"

namespace {

// What the sink was handed, by offset, joined where pieces are contiguous.
struct Received {
    std::map<uint64_t, std::string> pieces;
    static bool take(void* context, uint64_t offset, const char* data, size_t length) {
        auto& pieces = static_cast<Received*>(context)->pieces;
        if (!pieces.empty()) {
            auto last = std::prev(pieces.end());
            if (last->first + last->second.size() == offset) {
                last->second.append(data, length);
                return true;
            }
        }
        pieces[offset].append(data, length);
        return true;
    }
};

HttpOptions quick() {
    HttpOptions options;
    options.stallTimeoutMs = 2000;
    return options;
}

std::string multipartBody(const std::string& file, const std::vector<ByteRange>& ranges, const std::string& boundary) {
    std::string body;
    for (const ByteRange& range : ranges)
        body += "\r\n--" + boundary + "\r\nContent-Type: application/octet-stream\r\nContent-Range: bytes " +
                std::to_string(range.start) + "-" + std::to_string(range.end - 1) + "/" + std::to_string(file.size()) +
                "\r\n\r\n" + file.substr(range.start, range.end - range.start);
    return body + "\r\n--" + boundary + "--\r\n";
}

}  // namespace

TEST(RangeFetch, NginxAnswersSeveralRangesOneOrNone) {
    TempDir root;
    const std::string file = patternBytes(300000, 5);
    root.write("f.bin", file);
    const std::vector<ByteRange> ranges = {{0, 10}, {1000, 70000}, {299990, 300000}};
    const struct {
        const char* name;
        std::string config;
        RangeFetchResult result;
        int requests;
        // A connection is kept behind every answer read to its end; one whose body is left
        // unread (the whole file) is closed.
        size_t connections;
    } cases[] = {
        {"multipart", "", RangeFetchResult::Fetched, 1, 1},
        {"one range per request", "max_ranges 1;", RangeFetchResult::Fetched, 4, 2},
        {"ranges ignored", "max_ranges 0;", RangeFetchResult::RangesIgnored, 2, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        NginxServer nginx(root.path(), c.config);
        ASSERT_TRUE(nginx.started()) << nginx.error();
        Received received;
        RangeFetchStats stats;
        KeptConnection kept;
        HttpOptions options = quick();
        options.keep = &kept;
        EXPECT_EQ(fetchRanges(nginx.baseUrl() + "f.bin", ranges, file.size(), Received::take, &received, options, &stats),
                  c.result);
        EXPECT_EQ(stats.requests, c.requests);
        // nginx logs a request it was cut off from only once it notices.
        std::string log = nginx.accessLog();
        for (int i = 0; i < 250 && std::count(log.begin(), log.end(), '\n') < c.requests; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            log = nginx.accessLog();
        }
        std::set<std::string> connections;
        for (size_t at = log.find(" c"); at != std::string::npos; at = log.find(" c", at + 1))
            connections.insert(log.substr(at, log.find('\n', at) - at));
        EXPECT_EQ(connections.size(), c.connections) << log;
        if (c.result != RangeFetchResult::Fetched) continue;
        ASSERT_EQ(received.pieces.size(), ranges.size());
        for (const ByteRange& range : ranges)
            EXPECT_TRUE(received.pieces[range.start] == file.substr(range.start, range.end - range.start));
        // Only the ranges travelled, not the file (where several ranges were refused, the
        // first block of the whole file's answer besides).
        EXPECT_LT(stats.receivedBytes, 70000u + 2000u + (c.requests > 1 ? 65536u : 0u));
    }
}

TEST(RangeFetch, UsesWhatAPartialAnswerCoversAndNeverReadsMoreThanAsked) {
    TempDir root;
    const std::string file = patternBytes(300000, 5);
    root.write("f.bin", file);
    const std::vector<ByteRange> ranges = {{0, 10}, {1000, 70000}, {299990, 300000}};
    const struct {
        const char* name;
        RangeAnswer answer;
        RangeFetchResult result;
        int requests;
        // The most bytes read, heads included: what was asked (70,010), read twice at most.
        uint64_t mostRead;
    } cases[] = {
        {"as asked", RangeAnswer::AsAsked, RangeFetchResult::Fetched, 1, 72000},
        // The first range comes; the other two are asked again, one per request.
        {"only the first of several", RangeAnswer::FirstOnly, RangeFetchResult::Fetched, 3, 72000},
        // Only the first range asked for can be taken in order; the rest is asked again.
        {"the last range first", RangeAnswer::Reversed, RangeFetchResult::Fetched, 3, 2 * 72000},
        // More than asked, to several ranges and then to one: a server that ignores ranges.
        // Its answers are not read.
        {"one range to the end of the file", RangeAnswer::ToTheEnd, RangeFetchResult::RangesIgnored, 2, 2000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server(fileServer(root.path(), c.answer));
        ASSERT_TRUE(server.started());
        Received received;
        RangeFetchStats stats;
        EXPECT_EQ(fetchRanges(server.url("/f.bin"), ranges, file.size(), Received::take, &received, quick(), &stats),
                  c.result);
        EXPECT_EQ(stats.requests, c.requests);
        EXPECT_LT(stats.receivedBytes, c.mostRead);
        if (c.result != RangeFetchResult::Fetched) continue;
        ASSERT_EQ(received.pieces.size(), ranges.size());
        for (const ByteRange& range : ranges)
            EXPECT_TRUE(received.pieces[range.start] == file.substr(range.start, range.end - range.start));
    }
}

TEST(RangeFetch, RefusesAnswersItCannotTrust) {
    const std::string file = patternBytes(5000, 2);
    const std::vector<ByteRange> two = {{10, 20}, {100, 200}};
    const std::string body = multipartBody(file, two, "XyZ");
    const std::string multipartHead = "HTTP/1.1 206 Partial Content\r\nContent-Type: multipart/byteranges; boundary=XyZ\r\n";
    const struct {
        const char* name;
        std::vector<ByteRange> ranges;
        std::string answer;
        RangeFetchResult result;
    } cases[] = {
        {"multipart without a length", two, multipartHead + "\r\n" + body, RangeFetchResult::Fetched},
        {"multipart cut short", two, multipartHead + "\r\n" + body.substr(0, body.size() - 30), RangeFetchResult::Failed},
        {"part for a file of another size", two,
         multipartHead + "\r\n" + multipartBody(file + "x", two, "XyZ"), RangeFetchResult::Failed},
        {"other boundary", two, multipartHead + "\r\n" + multipartBody(file, two, "Other"), RangeFetchResult::Failed},
        {"single range", {{10, 20}},
         "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 10-19/5000\r\nContent-Length: 10\r\n\r\n" + file.substr(10, 10),
         RangeFetchResult::Fetched},
        {"single range cut short", {{10, 20}},
         "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 10-19/5000\r\n\r\n" + file.substr(10, 5),
         RangeFetchResult::Failed},
        {"length disagrees with the range", {{10, 20}},
         "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 10-19/5000\r\nContent-Length: 12\r\n\r\n" +
             file.substr(10, 12),
         RangeFetchResult::Failed},
        {"206 without Content-Range", {{10, 20}}, "HTTP/1.1 206 Partial Content\r\n\r\n" + file.substr(10, 10),
         RangeFetchResult::Failed},
        {"a part that is not what was asked", {{10, 20}},
         "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 30-39/5000\r\nContent-Length: 10\r\n\r\n" +
             file.substr(30, 10),
         RangeFetchResult::Failed},
        {"range beyond the file", {{10, 20}},
         "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 10-5000/5000\r\n\r\n", RangeFetchResult::Failed},
        {"not found", {{10, 20}}, "HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\nno!", RangeFetchResult::Failed},
        {"whole file", {{10, 20}}, "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + file, RangeFetchResult::RangesIgnored},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string answer = c.answer;
        ScriptedServer server([answer](ScriptedConnection& connection) { connection.send(answer); });
        ASSERT_TRUE(server.started());
        Received received;
        EXPECT_EQ(fetchRanges(server.url("/f"), c.ranges, file.size(), Received::take, &received, quick()), c.result);
        if (c.result == RangeFetchResult::Fetched) {
            EXPECT_EQ(server.targets().size(), 1u);
            for (const ByteRange& range : c.ranges)
                EXPECT_TRUE(received.pieces[range.start] == file.substr(range.start, range.end - range.start));
        }
    }
}

TEST(MultipartReader, TakesABodyInPiecesOfAnySize) {
    const std::string file = patternBytes(3000, 9);
    const std::vector<ByteRange> ranges = {{0, 1}, {5, 600}, {2999, 3000}};
    const std::string body = "preamble" + multipartBody(file, ranges, "b0und") + "epilogue";
    for (size_t piece : {size_t(1), size_t(2), size_t(7), size_t(255), size_t(256), size_t(4096)}) {
        SCOPED_TRACE(piece);
        Received received;
        MultipartReader reader("b0und", file.size(), Received::take, &received);
        for (size_t at = 0; at < body.size(); at += piece)
            ASSERT_TRUE(reader.feed(body.data() + at, std::min(piece, body.size() - at)));
        EXPECT_TRUE(reader.complete());
        for (const ByteRange& range : ranges)
            EXPECT_TRUE(received.pieces[range.start] == file.substr(range.start, range.end - range.start));
    }
}

TEST(ByteRanges, ReadsContentRangeAndBoundary) {
    ByteRange range;
    uint64_t total = 0;
    ASSERT_TRUE(parseContentRange("bytes 0-9/100", range, total));
    EXPECT_TRUE(range == (ByteRange{0, 10}) && total == 100);
    for (const char* bad : {"bytes 9-0/100", "bytes 0-100/100", "bytes 0-9/*", "bytes */100", "bytes 0-9", "items 0-9/100",
                            "bytes 0-9/100 ", "bytes -1-9/100", "bytes 0-99999999999999999999/100000000000000000000"})
        EXPECT_FALSE(parseContentRange(bad, range, total)) << bad;
    std::string boundary;
    ASSERT_TRUE(multipartBoundary("multipart/byteranges; boundary=00000000001", boundary));
    EXPECT_EQ(boundary, "00000000001");
    ASSERT_TRUE(multipartBoundary("Multipart/ByteRanges; Boundary=\"a b\"", boundary));
    EXPECT_EQ(boundary, "a b");
    for (const char* bad : {"multipart/byteranges", "multipart/mixed; boundary=x", "multipart/byteranges; boundary=",
                            "multipart/byteranges; boundary=\"open"})
        EXPECT_FALSE(multipartBoundary(bad, boundary)) << bad;
    EXPECT_EQ(rangeHeaderValue({{0, 10}, {20, 21}}), "bytes=0-9,20-20");
}
