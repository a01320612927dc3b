// A loopback TCP server that misbehaves on purpose: every connection runs a script of sends,
// pauses and holds, so tests can play the peers an update server should never be. Over TLS it
// may speak HTTP/2, whose frames the script then writes itself, wrong ones included.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class ScriptedServer;
struct NginxTls;
struct ssl_st;
struct ssl_ctx_st;
struct nghttp2_hd_inflater;

using HeaderFields = std::vector<std::pair<std::string, std::string>>;

// One accepted connection, handed to the script once the request's blank line has arrived (or
// the client stopped sending). The connection is closed when the script returns. Over HTTP/2 a
// request is a stream's HEADERS: request() then holds its fields as an HTTP/1.1 request's text
// ("GET <:path> HTTP/2", a "name: value" line per other field, a blank line), stream() its
// stream; the server's SETTINGS went out before, and the client's are acknowledged as they come.
class ScriptedConnection {
public:
    // What the client sent, up to and including the blank line.
    const std::string& request() const { return request_; }
    // True when TLS agreed on "h2".
    bool http2() const { return http2_; }
    // The stream of the last HTTP/2 request.
    int32_t stream() const { return stream_; }
    // Sends one HTTP/2 frame: its nine-byte header, then `payload` as it is, whatever its type,
    // stream or length (the peer's checks are what is tested).
    bool sendFrame(uint8_t type, uint8_t flags, int32_t stream, const std::string& payload);
    // A well-formed answer on `stream`: HEADERS with `status` and the content-length of `body`
    // (unless `withLength` is false), then DATA frames of 16 KiB, the last ending the stream.
    bool answerHttp2(int32_t stream, const std::string& status, const std::string& body, bool withLength = true);
    // The request target of the request line ("/a/b.txt?x=1").
    std::string target() const;
    // The server's own address followed by `path`, as ScriptedServer::url gives it.
    std::string url(const std::string& path) const;
    // False once the client has gone.
    bool send(const std::string& bytes);
    void pause(int milliseconds);
    // Waits until the server releases one held connection, or stops.
    void hold();
    // Ends the connection with a reset instead of an orderly close.
    void reset();
    // Waits up to `timeoutMs` for the client's next request on this connection (one kept open)
    // and makes it request(); the server counts it as it counts the first. False when the
    // client closed the connection or sent no whole request in time.
    bool nextRequest(int timeoutMs);
    // True when bytes of a further request are waiting to be read: the client sent it before
    // this connection's answer to the last one was written (pipelining).
    bool requestWaiting() const;

private:
    friend class ScriptedServer;
    ScriptedConnection(ScriptedServer& server, int fd) : server_(server), fd_(fd) {}
    ~ScriptedConnection();
    // Reads a request up to its blank line into request_, for at most `timeoutMs` (negative:
    // until the client stops sending or the server stops); true when its blank line came.
    bool readRequest(int timeoutMs);
    // The same for an HTTP/2 request: frames up to a HEADERS block's end.
    bool readHttp2Request(int timeoutMs);
    // Makes `count` bytes wait in in_; false when the client went, the server stops or the
    // deadline (if `timeoutMs` >= 0) passes.
    bool fill(size_t count, int timeoutMs, std::chrono::steady_clock::time_point deadline);
    ScriptedServer& server_;
    int fd_;
    std::string request_;
    // TLS, when the server speaks it.
    ssl_st* ssl_ = nullptr;
    bool http2_ = false;
    int32_t stream_ = 0;
    // Bytes read and not taken yet.
    std::string in_;
    bool prefaceRead_ = false;
    nghttp2_hd_inflater* inflater_ = nullptr;
};

// An HPACK block of `fields`, in order and whatever they are, none of them indexed: what a
// script puts into HEADERS, CONTINUATION or PUSH_PROMISE frames.
std::string headerBlock(const HeaderFields& fields);

using ConnectionScript = std::function<void(ScriptedConnection&)>;

// How fileServer answers a request for several ranges (one range is answered as asked, unless
// ToTheEnd).
enum class RangeAnswer {
    // One part each, as multipart/byteranges, as nginx does.
    AsAsked,
    // Only the first, as a single part (as Node's http-server and serve do).
    FirstOnly,
    // One part each, the last first (as the standard allows).
    Reversed,
    // One part from the first byte asked to the end of the file, for one range too (as an
    // S3-style store did).
    ToTheEnd,
};

// A script that serves the files under `root` to GET requests (404 for anything else, the
// connection closed after each answer), answering Range requests as `ranges` says.
ConnectionScript fileServer(const std::string& root, RangeAnswer ranges);

class ScriptedServer {
public:
    // Listens on 127.0.0.1 (or ::1) at an ephemeral port. Check started().
    explicit ScriptedServer(ConnectionScript script, bool ipv6 = false);
    // Listens on 127.0.0.1 and speaks TLS with `tls`'s certificate (for "localhost"), and
    // HTTP/2 when tls.http2 and the client offers "h2" by ALPN (HTTP/1.x otherwise). A failed
    // handshake closes the connection before the script.
    ScriptedServer(ConnectionScript script, const NginxTls& tls);
    // Releases every held connection and joins every thread.
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    bool started() const { return port_ > 0; }
    int port() const { return port_; }
    // "http://127.0.0.1:PORT" (or "http://[::1]:PORT", or over TLS "https://localhost:PORT")
    // followed by `path`.
    std::string url(const std::string& path) const;
    // The request targets, in the order the connections were accepted; a connection whose
    // request has not arrived yet shows as "".
    std::vector<std::string> targets() const;
    // True when at least `count` requests have arrived within `timeoutMs`.
    bool waitForRequests(size_t count, int timeoutMs) const;
    // Lets one held connection (the longest waiting) go on with its script.
    void releaseOne();

private:
    friend class ScriptedConnection;
    // Listens and starts accepting; port_ stays 0 on failure.
    void start();
    void acceptLoop();
    void serve(int fd, size_t index);

    ConnectionScript script_;
    bool ipv6_;
    ssl_ctx_st* tls_ = nullptr;
    // Whether ALPN may choose "h2".
    bool http2_ = false;
    int listenFd_ = -1;
    int port_ = 0;
    std::thread acceptThread_;
    std::vector<std::thread> connectionThreads_;
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<std::string> targets_;
    size_t requestsArrived_ = 0;
    size_t releases_ = 0;
    bool stopping_ = false;
};

// `size` zero bytes in gzip form, as a hostile peer sends a body that unpacks far beyond its
// size on the wire; compressed in pieces, so that the zeros are never in memory.
std::string gzippedZeros(size_t size);

// A listening socket whose accept queue is full, so that a further connect() to it neither
// succeeds nor fails: the peer of a connection that hangs.
class UnansweredListener {
public:
    UnansweredListener();
    ~UnansweredListener();
    bool started() const { return port_ > 0; }
    int port() const { return port_; }

private:
    int listenFd_ = -1;
    int fillerFd_ = -1;
    int port_ = 0;
};
