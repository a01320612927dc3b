// Reading response headers: which responses may become a file, and how long their body is.
#include "net/http_response.h"

#include <gtest/gtest.h>

TEST(HttpResponse, OnlyA2xxStatusOfHttp1IsSuccess) {
    HttpResponseHead head;
    ASSERT_TRUE(parseResponseHead("HTTP/1.0 200 OK", head));
    EXPECT_TRUE(head.success);
    EXPECT_EQ(head.contentLength, -1);
    ASSERT_TRUE(parseResponseHead("HTTP/1.1 204 No Content\r\nServer: x", head));
    EXPECT_TRUE(head.success);
    for (const char* failure : {"HTTP/1.1 404 Not Found", "HTTP/1.0 500 Internal Server Error", "HTTP/1.1 302 Found",
                                "HTTP/1.0 199 Odd"}) {
        ASSERT_TRUE(parseResponseHead(failure, head)) << failure;
        EXPECT_FALSE(head.success) << failure;
    }
    for (const char* garbage : {"", "hello world", "HTTP/2 200", "HTTP/1.0 20", "HTTP/1.0 2000 OK", "http/1.0 200 OK"})
        EXPECT_FALSE(parseResponseHead(garbage, head)) << garbage;
}

TEST(HttpResponse, ContentLengthIsFoundInAnyCaseAndKeeps64Bits) {
    HttpResponseHead head;
    ASSERT_TRUE(parseResponseHead("HTTP/1.0 200 OK\r\nServer: x\r\nContent-Length: 20\r\nX: y", head));
    EXPECT_EQ(head.contentLength, 20);
    ASSERT_TRUE(parseResponseHead("HTTP/1.0 200 OK\r\ncontent-length:7", head));
    EXPECT_EQ(head.contentLength, 7);
    ASSERT_TRUE(parseResponseHead("HTTP/1.0 200 OK\r\nCONTENT-LENGTH: \t 5000000000 ", head));
    EXPECT_EQ(head.contentLength, 5000000000LL);
    // A field whose value merely mentions the name is not the field.
    ASSERT_TRUE(parseResponseHead("HTTP/1.0 200 OK\r\nX-Note: Content-Length: 3", head));
    EXPECT_EQ(head.contentLength, -1);
}

TEST(HttpResponse, AnUntrustworthyContentLengthRejectsTheResponse) {
    HttpResponseHead head;
    for (const char* bad : {"HTTP/1.0 200 OK\r\nContent-Length: abc", "HTTP/1.0 200 OK\r\nContent-Length: -5",
                            "HTTP/1.0 200 OK\r\nContent-Length: 12x", "HTTP/1.0 200 OK\r\nContent-Length:",
                            "HTTP/1.0 200 OK\r\nContent-Length: 99999999999999999999",
                            "HTTP/1.0 200 OK\r\nContent-Length: 5\r\nContent-Length: 6"})
        EXPECT_FALSE(parseResponseHead(bad, head)) << bad;
    ASSERT_TRUE(parseResponseHead("HTTP/1.0 200 OK\r\nContent-Length: 5\r\nContent-Length: 5", head));
    EXPECT_EQ(head.contentLength, 5);
}

TEST(HttpResponse, FieldsForRedirectsRangesEncodingsAndRetries) {
    HttpResponseHead head;
    ASSERT_TRUE(parseResponseHead("HTTP/1.1 302 Found\r\nlocation:  /next?a=1 \r\nRetry-After: 7", head));
    EXPECT_EQ(head.status, 302);
    EXPECT_EQ(head.statusLine, "HTTP/1.1 302 Found");
    EXPECT_EQ(head.location, "/next?a=1");
    EXPECT_EQ(head.retryAfterSeconds, 7);
    ASSERT_TRUE(parseResponseHead("HTTP/1.1 206 Partial\r\nContent-Range: bytes 100-199/200\r\nContent-Encoding: GZip",
                                  head));
    EXPECT_EQ(head.rangeStart, 100);
    EXPECT_EQ(head.contentEncoding, "gzip");
    for (const char* range : {"bytes 5-4/9", "bytes */200", "items 1-2/3", "bytes 1-2"}) {
        ASSERT_TRUE(parseResponseHead(std::string("HTTP/1.1 206 P\r\nContent-Range: ") + range, head));
        EXPECT_EQ(head.rangeStart, -1) << range;
    }
    ASSERT_TRUE(parseResponseHead("HTTP/1.1 503 Busy\r\nRetry-After: Wed, 21 Oct 2026 07:28:00 GMT", head));
    EXPECT_EQ(head.retryAfterSeconds, -1);
    // The log shows the status line without what could break it.
    ASSERT_TRUE(parseResponseHead("HTTP/1.1 500 \x1b[31mred\r\nX: y", head));
    EXPECT_EQ(head.statusLine, "HTTP/1.1 500 [31mred");
}

// Whether the connection may carry the next request, and where the body ends.
TEST(HttpResponse, PersistenceAndFramingByVersion) {
    const struct {
        const char* head;
        bool keepAlive, chunked;
        int64_t contentLength;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 5", true, false, 5},
        {"HTTP/1.1 200 OK\r\nConnection: Close", false, false, -1},
        {"HTTP/1.0 200 OK\r\nContent-Length: 5", false, false, 5},
        {"HTTP/1.0 200 OK\r\nConnection: Keep-Alive", true, false, -1},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked", true, true, -1},
        // Which of the two the server meant is unknown: the body is read by its chunks, and the
        // connection is not trusted with another request.
        {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nTransfer-Encoding: chunked", false, true, -1},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked", true, false, -1},
    };
    for (const auto& c : cases) {
        HttpResponseHead head;
        ASSERT_TRUE(parseResponseHead(c.head, head)) << c.head;
        EXPECT_EQ(head.keepAlive, c.keepAlive) << c.head;
        EXPECT_EQ(head.chunked, c.chunked) << c.head;
        EXPECT_EQ(head.contentLength, c.contentLength) << c.head;
    }
}
