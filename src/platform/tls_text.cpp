// Log texts shared by the TLS back-ends.
#include "platform/tls_text.h"

#include "platform/platform.h"

std::string tlsWaitFailureText(int64_t result, const std::string& host) {
    switch (result) {
    case 0: return "TLS handshake with " + host + " failed: the server closed the connection";
    case kSocketTimedOut: return "TLS handshake with " + host + " timed out";
    case kSocketCancelled: return "TLS handshake with " + host + " cancelled";
    default: return "TLS handshake with " + host + " failed: the connection broke";
    }
}
