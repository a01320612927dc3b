// Reading the status line and header fields of a response (HTTP/1.x, or HTTP/2's written out).
#pragma once

#include <cstdint>
#include <string>

struct HttpResponseHead {
    // The status line reads "HTTP/1.x 2xx ..." (or "HTTP/2 2xx").
    bool success = false;
    // The version the server answered with: 10 for HTTP/1.0, 11 for HTTP/1.1 (and later 1.x),
    // 20 for HTTP/2.
    int version = 0;
    // The three-digit status.
    int status = 0;
    // The status line as the server sent it, control bytes dropped and cut at 200 bytes: what
    // the log shows of a refusal.
    std::string statusLine;
    // The Content-Length value; -1 when the field is missing.
    int64_t contentLength = -1;
    // The Location field as sent; empty when missing.
    std::string location;
    // The Content-Encoding field, lowercase and trimmed; empty when missing.
    std::string contentEncoding;
    // The Transfer-Encoding field, lowercase and trimmed; empty when missing.
    std::string transferEncoding;
    // The body comes in chunks (Transfer-Encoding: chunked), which overrides any Content-Length.
    bool chunked = false;
    // Where a "Content-Range: bytes N-M/T" starts (N); -1 when missing or not of that form.
    int64_t rangeStart = -1;
    // A Retry-After given in seconds; -1 when missing or given as a date.
    int64_t retryAfterSeconds = -1;
    // The server offers to keep the connection open for another request: an HTTP/1.1 answer
    // whose Connection field does not name close, or an HTTP/1.0 one whose field names
    // keep-alive and not close. Never for an answer with both a length and chunks: whichever
    // the server meant, the next answer's start is in doubt.
    bool keepAlive = false;
};

// Reads `header` (everything before the blank line; lines may end in CRLF or LF alone). Field
// names are matched without regard to case. False for a header that cannot be trusted: no HTTP/1.x status line, or a Content-Length
// that is not a plain decimal number within 63 bits (a mislabelled body would otherwise be
// taken for a complete file).
bool parseResponseHead(const std::string& header, HttpResponseHead& head);
// As parseResponseHead, for the head of an HTTP/2 answer written out as "HTTP/2 NNN" and one
// "name: value" line per field (which is how the log and the range checks see it too).
bool parseHttp2Head(const std::string& header, HttpResponseHead& head);

// The value of the first header field named `name` (any case), trimmed; false when the header
// has none. `header` is everything before the blank line, status line included.
bool findHeaderField(const std::string& header, const char* name, std::string& value);

// A text the server chose as the log may show it: one line (control bytes dropped), at most
// 200 bytes.
std::string textForLog(const std::string& text);
