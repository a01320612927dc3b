// The HTTP/1.1 client: one GET over a new TCP connection (or one its caller kept open), the body
// streamed into a local file (httpGet) or handed to its caller (httpOpen). It keeps no state of
// its own between calls and never logs; any thread may call it. The work is split by job:
// http_request (address, connection, request, head), response_body (framing, decoding, the
// body file), redirects (the one loop both entries use) and kept_connection.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "net/http_response.h"
#include "net/kept_connection.h"
#include "platform/platform.h"

struct ProxySettings;
class Connection;
class PipeliningMemory;

struct HttpOptions {
    // A connect, send or receive that makes no progress for this long fails the transfer.
    int stallTimeoutMs = 30000;
    // Raised by another thread to abandon the transfer at once (it then fails); may be null.
    const PlatformCancel* cancel = nullptr;
    // When set, receives the MD5 digest of the whole stored body, computed as the bytes are
    // written so the file need not be read again to check it: a decoded body's digest is that of
    // what was decoded, and a resumed one's covers what an earlier attempt left as well as what
    // was appended. Left as it was when nothing was stored.
    std::string* bodyMd5 = nullptr;
    // Asks every cache on the way for a fresh copy (Cache-Control and Pragma: no-cache).
    bool noCache = false;
    // A failed transfer keeps what arrived in the body file, and one found there is continued
    // with a Range request. Only for files whose digest is checked afterwards: a
    // server file that changed meanwhile gives a whole that only the digest can tell is wrong.
    bool resume = false;
    // When above 0, a body whose server announced its length may put at most this many times
    // that length into the file (counted as written, so a body decoded on the way counts as
    // decoded); past it the transfer fails as past `maxBytes`. 0: no such bound.
    int64_t maxBytesPerAnnouncedByte = 0;
    // That bound never goes below this many bytes: a small file compressed on the fly may well
    // decode to a thousand times its size.
    int64_t announcedBoundFloor = 0;
    // A body whose server announced its length is written only when the volume of its file has
    // room for it (and a little more): one that does not fit fails at once, a full disk rather
    // than a half-written file.
    bool needsRoom = false;
    // Requests go through this proxy unless its bypass list names the host; null: none.
    const ProxySettings* proxy = nullptr;
    // When set, a connection to the same server kept here by the last request is used again (a
    // fresh one is made when the server has closed it meanwhile), and a connection whose
    // response the server offered to keep open is left here. Requests through a proxy are not
    // kept. Null: one connection per request, "Connection: close".
    KeptConnection* keep = nullptr;
    // With `keep`: what the run learnt about servers' pipelining, which it also notes here; with
    // it set, an answer may be read on a connection that carries requests sent ahead (see
    // httpSendAhead). Null: never.
    PipeliningMemory* pipelining = nullptr;
};

// What one httpGet met on the way, for the caller to log on its own thread.
struct HttpResult {
    // Why it failed, as one line: the server's status line, the socket error, the time-out,
    // the refused redirect; also why nothing was stored when httpGet still returns true (the
    // server closed without answering). Empty exactly when the body was stored.
    std::string failure;
    // True when another attempt may well succeed: a refused or reset connection, a time-out, a
    // body cut short, the statuses 408, 429, 500, 502, 503 and 504.
    bool retryable = false;
    // The server's Retry-After in seconds; -1 when it gave none.
    int64_t retryAfterSeconds = -1;
    // One line per redirect followed and per resumed or restarted body, in order.
    std::vector<std::string> events;
    // The body did not fit on the disk, before (HttpOptions::needsRoom) or while it was
    // written; `bytesMissing` is how many more bytes it needed, as far as that is known.
    bool diskFull = false;
    int64_t bytesMissing = 0;
    // The server ("scheme://name:port") when the answer was read on a connection that carried
    // other requests too (pipelined), where a server's mix-up would give another file's bytes;
    // empty otherwise.
    std::string pipelinedFrom;
};

// The most redirects one request follows; one more fails it.
constexpr int kMaxRedirects = 5;

// Fetches `url` and writes the response body to `bodyPath` (a file already there is replaced;
// a link there is not followed, also when a resume continues the file), which is removed again
// unless the whole body arrived: a failed or interrupted transfer leaves nothing under
// `bodyPath` (see HttpOptions::resume for what stays). The caller decides when the body may
// take the place of the file it is for.
//
// The redirects 301, 302, 303, 307 and 308 are followed, up to kMaxRedirects, and never back to
// an address already asked for. A body the server compressed on the fly (Content-Encoding gzip
// or x-gzip) is decoded as it arrives, unless the path ends in ".gz": then the body is the file.
//
// True when the body was stored, and also when the server closed the connection before sending a
// single byte (then `result` has a failure and nothing is under `bodyPath` but, with
// HttpOptions::resume, what an earlier attempt left there). False, with nothing stored, when the
// URL cannot be split or holds a space or control character in its host or path, the host cannot
// be reached, an "https://" address's TLS handshake or certificate is refused (it is fetched over
// TLS only, port 443 unless given, never in plain text), the status is neither 2xx nor a followed
// redirect, the header is malformed or larger than 64 KiB, the content encoding is another, a
// transfer coding other than chunked comes with a 2xx answer, the body ends before its
// Content-Length or last chunk or by an error, its chunks cannot be read, more than `maxBytes` (0
// or less: no limit) of the body arrive or would be written to the file (decoded, for a body the
// server compressed on the fly; see also HttpOptions::maxBytesPerAnnouncedByte), the file cannot
// be written, or the transfer stalls (less than 1 KiB in a stall time-out is a stall too) or is
// cancelled. Interim answers (1xx) are skipped, and header lines may end in LF alone. A kept
// connection is used again only when no byte waits on it; an answer that cannot be read on one is
// asked for again, once, over a new connection. `result`, when given, says why.
bool httpGet(const std::string& url, const std::string& bodyPath, int64_t maxBytes,
             const HttpOptions& options = HttpOptions(), HttpResult* result = nullptr);

// Sends the first request httpGet(url, bodyPath, ..., options) would send, ahead of its turn, on
// the connection kept in `options.keep` (with `options.pipelining`), behind those sent there
// before: httpGet then reads its answer without sending it again, without a round trip of its
// own. True when it is on its way (sent now or before); false when it was not sent: no
// connection to that server is kept, it does not pipeline (HTTP/1.0, or a server that broke a
// pipeline), it carries as many as it may, or the send failed (the connection is closed then).
// The caller sends its requests ahead in the order it will fetch them, and stops at the first
// false: the answers come in that order.
bool httpSendAhead(const std::string& url, const std::string& bodyPath, const HttpOptions& options);

// An answer whose head has arrived and whose body its caller reads: how Range requests travel,
// over the same connections, TLS, proxy and redirects as any download.
class HttpResponse {
public:
    HttpResponse();
    ~HttpResponse();
    HttpResponse(const HttpResponse&) = delete;
    HttpResponse& operator=(const HttpResponse&) = delete;

    // The head as read; `header` is its text before the blank line, status line included.
    HttpResponseHead head;
    std::string header;
    // The bytes of the head on the wire, blank line included.
    uint64_t headBytes = 0;
    // The body's next bytes: a count (> 0), 0 at its end, or kSocketFailed, kSocketTimedOut,
    // kSocketCancelled. A body framed by its Content-Length ends there.
    int64_t receive(char* buffer, size_t capacity);
    // True when the body's end is known (a length, chunks, or the end of its HTTP/2 stream)
    // rather than where the server closes the connection.
    bool framed() const;
    // Hands the connection to the HttpOptions::keep it came through, for the next request, when
    // the body was read to the end its length sets, nothing came behind it, and the server
    // offered to keep it open. Otherwise it is closed with this answer.
    void keepConnection();

    // The connection and body reader behind the head (see http_request.h).
    struct Open;

private:
    friend bool httpOpen(const std::string&, const std::string&, const HttpOptions&, HttpResponse&, HttpResult*);
    std::unique_ptr<Open> open_;
};

// Sends a GET for `url` with `extraFields` (complete header lines, each ending in CRLF) and
// reads the head of the answer into `response`, following redirects as httpGet does. True for
// any other status, which the caller judges; false, with `result` saying why, when there is no
// answer to judge.
bool httpOpen(const std::string& url, const std::string& extraFields, const HttpOptions& options,
              HttpResponse& response, HttpResult* result = nullptr);
