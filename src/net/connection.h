// One connection to a server as the HTTP client sees it: plain TCP, or TLS over it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "net/byte_source.h"
#include "platform/platform.h"

// What a server must send at least within each stall time-out: a drip of a byte now and then
// must not hold a transfer open for ever.
constexpr int64_t kMinBytesPerStall = 1024;

// A request sent on a kept connection before its turn (HTTP/1.1 pipelining).
struct RequestAhead {
    // The request's text: the request httpGet would send is recognised by it.
    std::string text;
    // Sent while the answer to an earlier request was still unread on the connection.
    bool behindAnother = false;
    // Written to the connection; requests sent ahead together go out in one write.
    bool written = false;
};

// Owns its socket and its TLS session and closes both. Every call waits at most the stall
// time-out for progress and returns at once when `cancel` is raised. One thread at a time.
class Connection final : public ByteSource {
public:
    // Takes `socket` (connected, or kNoSocket); `cancel` may be null and must outlive this.
    Connection(PlatformSocket socket, int stallTimeoutMs, const PlatformCancel* cancel);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Turns the connection into a TLS session with `host` (a name or literal address, without
    // port or brackets), whose certificate must be trusted and name it. False, with the reason
    // in error(), when the handshake fails; every later send and receive then fails too. With
    // `offerHttp2` the server may choose HTTP/2 (see http2()).
    bool startTls(const std::string& host, bool offerHttp2 = false);
    // True when the TLS handshake agreed on HTTP/2.
    bool http2() const;
    bool sendAll(const char* data, size_t length);
    // The byte count (> 0), 0 at the end of the response, or kSocketFailed, kSocketTimedOut,
    // kSocketCancelled, kReceiveTooSlow. Bytes handed back with unread() come first. Besides
    // the stall time-out of each wait, the time receives spent waiting since the connection's
    // start (after its handshake) or renewal is counted in windows of that length: bytes that
    // arrive once a window's waits reach it, having brought less than kMinBytesPerStall in all,
    // are kReceiveTooSlow; a window that brings that much starts the next.
    int64_t receive(char* buffer, size_t capacity) override;
    // Hands back bytes received but not meant for the reader that received them (the start of
    // a body behind its head, or what came behind a body); the next receive returns them first.
    void unread(const char* data, size_t length) override;
    // How many handed-back bytes wait for the next receive.
    size_t unreadBytes() const override { return unread_.size() - unreadAt_; }
    // Takes the connection into another transfer of the same thread, kept open since the last.
    void renew(int stallTimeoutMs, const PlatformCancel* cancel);
    // True when the connection may carry another request: no byte waits to be read (neither
    // handed back nor from the server, which may not speak unasked) and the server has not
    // closed it. Looks without waiting; a false answer leaves it fit only to be closed.
    bool idle();
    // ---- What the HTTP client notes on a connection it keeps between requests.
    // Requests sent on it whose answers were not read yet, oldest first: the server answers
    // them in that order.
    std::deque<RequestAhead> requestsAhead;
    // The last answer read here was HTTP/1.1 and kept the connection open, from a server not
    // known to break pipelining: requests may be sent before the answers ahead of them.
    bool pipelines = false;

    // Why startTls failed; empty otherwise.
    const std::string& error() const { return error_; }
    // Whether the failed handshake may pass on another attempt (it timed out or was cut short).
    bool handshakeMayPass() const { return transient_; }

private:
    PlatformSocket socket_;
    PlatformTls* tls_ = nullptr;
    int stallTimeoutMs_;
    const PlatformCancel* cancel_;
    std::string error_;
    // Set by a failed startTls: nothing may then travel in plain text instead.
    bool refused_ = false;
    bool transient_ = false;
    // Handed back by unread(), from `unreadAt_` on.
    std::string unread_;
    size_t unreadAt_ = 0;
    // The current window: how long receives waited for the server in it, and what it brought.
    std::chrono::steady_clock::duration windowWaited_{};
    int64_t windowBytes_ = 0;
    void startWindow();
};
