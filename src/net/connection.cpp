// One connection to a server: plain TCP, or TLS over it.
#include "net/connection.h"

#include <algorithm>

Connection::Connection(PlatformSocket socket, int stallTimeoutMs, const PlatformCancel* cancel)
    : socket_(socket), stallTimeoutMs_(stallTimeoutMs), cancel_(cancel) {
    startWindow();
}

Connection::~Connection() {
    // The session goes first: it may still refer to the socket.
    platformTlsEnd(tls_);
    platformCloseSocket(socket_);
}

bool Connection::startTls(const std::string& host, bool offerHttp2) {
    if (socket_ == kNoSocket || tls_) return false;
    tls_ = platformTlsStart(socket_, host, stallTimeoutMs_, cancel_, error_, transient_, offerHttp2);
    refused_ = tls_ == nullptr;
    // The handshake has waits of its own; the answer's windows start behind it.
    startWindow();
    return !refused_;
}

bool Connection::http2() const { return tls_ && platformTlsHttp2(tls_); }

void Connection::renew(int stallTimeoutMs, const PlatformCancel* cancel) {
    stallTimeoutMs_ = stallTimeoutMs;
    cancel_ = cancel;
    startWindow();
}

void Connection::startWindow() {
    windowWaited_ = std::chrono::steady_clock::duration::zero();
    windowBytes_ = 0;
}

bool Connection::idle() {
    if (refused_ || unreadBytes() > 0) return false;
    char byte;
    // A wait of no time: what is there is read, nothing is waited for.
    const int64_t count = tls_ ? platformTlsReceive(tls_, &byte, 1, 0, cancel_) : platformReceive(socket_, &byte, 1, 0, cancel_);
    return count == kSocketTimedOut;
}

bool Connection::sendAll(const char* data, size_t length) {
    if (refused_) return false;
    if (tls_) return platformTlsSendAll(tls_, data, length, stallTimeoutMs_, cancel_);
    return platformSendAll(socket_, data, length, stallTimeoutMs_, cancel_);
}

int64_t Connection::receive(char* buffer, size_t capacity) {
    if (refused_) return kSocketFailed;
    if (unreadBytes() > 0 && capacity > 0) {
        const size_t count = std::min(capacity, unreadBytes());
        std::copy_n(unread_.data() + unreadAt_, count, buffer);
        unreadAt_ += count;
        if (unreadAt_ == unread_.size()) {
            unread_.clear();
            unreadAt_ = 0;
        }
        return int64_t(count);
    }
    const std::chrono::steady_clock::time_point asked = std::chrono::steady_clock::now();
    const int64_t count = tls_ ? platformTlsReceive(tls_, buffer, capacity, stallTimeoutMs_, cancel_)
                               : platformReceive(socket_, buffer, capacity, stallTimeoutMs_, cancel_);
    if (count <= 0) return count;
    // Only the time spent waiting for the server counts: a slow caller is not a slow server.
    windowWaited_ += std::chrono::steady_clock::now() - asked;
    windowBytes_ += count;
    if (windowBytes_ >= kMinBytesPerStall) {
        startWindow();
    } else if (windowWaited_ >= std::chrono::milliseconds(stallTimeoutMs_)) {
        // Bytes keep coming, too few to call it a stall and too few to ever finish.
        return kReceiveTooSlow;
    }
    return count;
}

void Connection::unread(const char* data, size_t length) {
    if (length == 0) return;
    unread_.insert(0, data, length);
    unread_.erase(length, unreadAt_);
    unreadAt_ = 0;
}
