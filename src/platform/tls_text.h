// Log texts that both TLS back-ends give, so that Linux and Windows logs read alike.
#pragma once

#include <cstdint>
#include <string>

// Why a handshake with `host` ended early, from a socket wait's result: 0 (the server closed
// the connection), kSocketTimedOut, kSocketCancelled or kSocketFailed.
std::string tlsWaitFailureText(int64_t result, const std::string& host);
