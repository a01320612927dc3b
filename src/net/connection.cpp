// One connection to a server: plain TCP, or TLS over it.
#include "net/connection.h"

Connection::Connection(PlatformSocket socket, int stallTimeoutMs, const PlatformCancel* cancel)
    : socket_(socket), stallTimeoutMs_(stallTimeoutMs), cancel_(cancel) {}

Connection::~Connection() {
    // The session goes first: it may still refer to the socket.
    platformTlsEnd(tls_);
    platformCloseSocket(socket_);
}

bool Connection::startTls(const std::string& host) {
    if (socket_ == kNoSocket || tls_) return false;
    tls_ = platformTlsStart(socket_, host, stallTimeoutMs_, cancel_, error_, transient_);
    refused_ = tls_ == nullptr;
    return !refused_;
}

bool Connection::sendAll(const char* data, size_t length) {
    if (refused_) return false;
    if (tls_) return platformTlsSendAll(tls_, data, length, stallTimeoutMs_, cancel_);
    return platformSendAll(socket_, data, length, stallTimeoutMs_, cancel_);
}

int64_t Connection::receive(char* buffer, size_t capacity) {
    if (refused_) return kSocketFailed;
    if (tls_) return platformTlsReceive(tls_, buffer, capacity, stallTimeoutMs_, cancel_);
    return platformReceive(socket_, buffer, capacity, stallTimeoutMs_, cancel_);
}
