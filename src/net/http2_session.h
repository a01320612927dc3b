// One HTTP/2 connection (agreed by ALPN over TLS) carrying many requests at once, each on a
// stream of its own; nghttp2 does the framing, this the waiting and the flow of bytes.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "net/byte_source.h"
#include "platform/platform.h"

class Connection;
struct nghttp2_session;

// How the head of a stream's answer came.
enum class Http2Head {
    // The final head arrived (interim 1xx heads are skipped).
    Arrived,
    // The server will not answer this stream and says it never began on it (REFUSED_STREAM,
    // or a GOAWAY below its number): it may be asked again elsewhere, nothing was done.
    Refused,
    // Its fields passed 64 KiB: the stream is reset.
    TooLarge,
    // The stream was reset, the connection failed or stalled; see the code.
    Failed,
};

// Owns its connection. Every wait has the connection's stall time-out and cancel; a wait for
// one stream that other streams keep busy ends after a stall time-out without bytes for it
// too. A stream's answer waits in memory until its reader takes it, at most one flow-control
// window (256 KiB) per stream that is not being read: the server sends no more until it is.
// The stream being read has a wide window, and what arrives for it is taken as it comes. One
// thread at a time; the HTTP client shares it between a worker's requests through
// std::shared_ptr, so a stream's reader keeps it alive.
class Http2Session {
public:
    // Starts a session on `connection` (TLS done, "h2" agreed): sends the client preface and
    // the settings (no server push, 256 KiB windows per stream, 32 MiB for the connection).
    // Null when nghttp2 refuses or the send fails.
    static std::shared_ptr<Http2Session> start(std::unique_ptr<Connection> connection);
    ~Http2Session();
    Http2Session(const Http2Session&) = delete;
    Http2Session& operator=(const Http2Session&) = delete;

    // True while the session can open streams: it has not failed and the server has not sent
    // GOAWAY.
    bool usable() const;
    // True once the server broke HTTP/2 itself: a protocol error (one nghttp2 ended the session
    // for, too), or a GOAWAY with an error.
    bool brokeProtocol() const { return brokeProtocol_; }
    // What nghttp2 said of a protocol error; empty otherwise.
    const std::string& protocolError() const { return protocolError_; }
    // The streams opened and not finished by their readers, claimed or not.
    size_t streams() const { return streams_.size(); }
    // How many streams the server lets be open at once (it may say fewer than asked for).
    size_t streamsAllowed() const;
    // Resets every stream opened ahead and not claimed: a request that was not sent ahead is
    // asked for behind them, which a server that takes few streams at once might never reach.
    void dropUnclaimed();
    // Takes the session into another request of the same thread, with these waits.
    void renew(int stallTimeoutMs, const PlatformCancel* cancel);

    // Opens a stream for `request`, the text of an HTTP/1.1 GET (request line and fields), which
    // also names the stream for claim(): its line gives the path, Host the authority, and its
    // other fields but those HTTP/2 forbids go as they are; it goes out with the next wait.
    // False when the session cannot (not usable).
    bool submit(const std::string& request);
    // True when a stream was opened for `request` and is not claimed yet.
    bool opened(const std::string& request) const;
    // The stream opened for `request` and not claimed yet, now claimed (its window widened,
    // since its reader takes what arrives); 0 when there is none.
    int32_t claim(const std::string& request);
    // Waits for the final head of `stream`; `header` then holds "HTTP/2 NNN" and one
    // "name: value" line per field (lines ending in CRLF, the last without). `code`, for
    // Failed: kSocketFailed, kSocketTimedOut, kSocketCancelled, kReceiveTooSlow.
    Http2Head readHead(int32_t stream, std::string& header, int64_t& code);
    // The stream's next body bytes: a count, 0 at its end, or a failure code (a reset stream is
    // kSocketFailed).
    int64_t receive(int32_t stream, char* buffer, size_t capacity);
    // Hands body bytes back to the stream; the next receive returns them first.
    void unread(int32_t stream, const char* data, size_t length);
    size_t unreadBytes(int32_t stream) const;
    // Why `stream` ended without its whole answer, as the server said (RST_STREAM, a GOAWAY
    // below it) or nghttp2 found (an answer against HTTP/2's rules, which it resets); empty
    // when neither said, or once the stream is finished.
    std::string streamFailure(int32_t stream) const;
    // The reader is done with `stream`: one not ended is reset, and its waiting bytes dropped.
    void finish(int32_t stream);

    // The nghttp2 callbacks' view of a stream (defined in the source file).
    struct Stream;

private:
    explicit Http2Session(std::unique_ptr<Connection> connection);
    // Sends what nghttp2 has queued; false (and the session failed) when the send fails.
    bool flush();
    // Reads and hands to nghttp2 until `done` holds for `stream`; 1 then, or a failure code.
    template <class Done>
    int64_t pump(int32_t stream, Done done);
    void fail(int64_t code);
    friend struct Http2Callbacks;

    std::unique_ptr<Connection> connection_;
    nghttp2_session* session_ = nullptr;
    std::map<int32_t, std::unique_ptr<Stream>> streams_;
    int stallTimeoutMs_ = 30000;
    // Set when the connection failed: every stream fails with it.
    int64_t failure_ = 0;
    bool goaway_ = false;
    int32_t lastStreamId_ = 0;
    bool brokeProtocol_ = false;
    std::string protocolError_;
    // Why nghttp2 ended the session (its GOAWAY's code and text), for protocolError_.
    std::string lastError_;
    std::unique_ptr<char[]> block_;
};

// One stream of a session as the body readers see it; the stream is finished with it.
class Http2Stream final : public ByteSource {
public:
    Http2Stream(std::shared_ptr<Http2Session> session, int32_t id) : session_(std::move(session)), id_(id) {}
    ~Http2Stream() override { session_->finish(id_); }
    Http2Stream(const Http2Stream&) = delete;
    Http2Stream& operator=(const Http2Stream&) = delete;

    int64_t receive(char* buffer, size_t capacity) override { return session_->receive(id_, buffer, capacity); }
    // The session it is a stream of: whether (and how) the server broke HTTP/2.
    const Http2Session& session() const { return *session_; }
    // Why it ended without its whole answer (see Http2Session::streamFailure).
    std::string failure() const { return session_->streamFailure(id_); }
    void unread(const char* data, size_t length) override { session_->unread(id_, data, length); }
    size_t unreadBytes() const override { return session_->unreadBytes(id_); }

private:
    std::shared_ptr<Http2Session> session_;
    int32_t id_;
};
