// TLS client sessions with OpenSSL, for every system but Windows (which has SChannel).
#include "platform/platform.h"
#include "platform/tls_text.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <climits>
#include <memory>

// OpenSSL never touches the socket: it reads and writes two memory buffers, and the socket
// calls of the platform layer move their bytes. So the handshake and every record wait with
// the same stall time-out and cancel as plain HTTP.
struct PlatformTls {
    SSL* ssl = nullptr;
    // Bytes from the server waiting for OpenSSL; owned by `ssl`.
    BIO* fromNetwork = nullptr;
    // Bytes OpenSSL wants sent; owned by `ssl`.
    BIO* toNetwork = nullptr;
    PlatformSocket socket = kNoSocket;
    // The first certificate the verification refused, as the verify callback saw it.
    int verifyError = X509_V_OK;
    std::string subject;
    std::string issuer;
    std::unique_ptr<char[]> block{new char[kTransferBlock]};

    // One socket receive at a time; a TLS record is at most about 16 KiB.
    static constexpr size_t kTransferBlock = 64 * 1024;
};

namespace {

std::string nameText(const X509_NAME* name) {
    if (!name) return "(none)";
    BIO* out = BIO_new(BIO_s_mem());
    if (!out) return "(unknown)";
    std::string text = "(unknown)";
    if (X509_NAME_print_ex(out, name, 0, XN_FLAG_RFC2253) >= 0) {
        char* data = nullptr;
        const long length = BIO_get_mem_data(out, &data);
        text.assign(data, length > 0 ? size_t(length) : 0);
    }
    BIO_free(out);
    return text;
}

// Keeps the first refusal with the certificate it concerns; OpenSSL then ends the handshake.
int rememberRefusal(int preverified, X509_STORE_CTX* store) {
    if (preverified) return 1;
    SSL* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    PlatformTls* tls = ssl ? static_cast<PlatformTls*>(SSL_get_app_data(ssl)) : nullptr;
    if (tls && tls->verifyError == X509_V_OK) {
        tls->verifyError = X509_STORE_CTX_get_error(store);
        const X509* certificate = X509_STORE_CTX_get_current_cert(store);
        tls->subject = nameText(certificate ? X509_get_subject_name(certificate) : nullptr);
        tls->issuer = nameText(certificate ? X509_get_issuer_name(certificate) : nullptr);
    }
    return 0;
}

// One context for the process: loading the trust store once serves every connection, and
// SSL_new may use it from several threads at once. Null when OpenSSL refuses.
SSL_CTX* clientContext() {
    static SSL_CTX* const context = [] {
        SSL_CTX* made = SSL_CTX_new(TLS_client_method());
        if (!made) return made;
        if (SSL_CTX_set_min_proto_version(made, TLS1_2_VERSION) != 1 || SSL_CTX_set_default_verify_paths(made) != 1) {
            SSL_CTX_free(made);
            return static_cast<SSL_CTX*>(nullptr);
        }
        SSL_CTX_set_verify(made, SSL_VERIFY_PEER, rememberRefusal);
        return made;
    }();
    return context;
}

bool isAddressLiteral(const std::string& host) {
    unsigned char address[16];
    return inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1;
}

// Sends whatever OpenSSL has written.
bool flushToNetwork(PlatformTls& tls, int timeoutMs, const PlatformCancel* cancel) {
    for (;;) {
        const int length = BIO_read(tls.toNetwork, tls.block.get(), int(PlatformTls::kTransferBlock));
        if (length <= 0) return true;
        if (!platformSendAll(tls.socket, tls.block.get(), size_t(length), timeoutMs, cancel)) return false;
    }
}

// Hands OpenSSL the next bytes from the server: their count, 0 at the end of the connection,
// or the platform's failure results.
int64_t fillFromNetwork(PlatformTls& tls, int timeoutMs, const PlatformCancel* cancel) {
    const int64_t count = platformReceive(tls.socket, tls.block.get(), PlatformTls::kTransferBlock, timeoutMs, cancel);
    if (count > 0 && BIO_write(tls.fromNetwork, tls.block.get(), int(count)) != int(count)) return kSocketFailed;
    return count;
}

std::string openSslReason() {
    const unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    if (code == 0) return "the server broke off the handshake";
    const char* reason = ERR_reason_error_string(code);
    return reason ? reason : "error " + std::to_string(code);
}

std::string refusalText(const PlatformTls& tls, const std::string& host) {
    switch (tls.verifyError) {
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return "certificate is not for " + host + " (subject " + tls.subject + ")";
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return "certificate of " + host + " expired (subject " + tls.subject + ")";
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return "certificate of " + host + " not valid yet (subject " + tls.subject + ")";
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
        return "certificate of " + host + " not trusted (subject " + tls.subject + ", issuer " + tls.issuer + ")";
    default:
        return "certificate of " + host + " refused: " + X509_verify_cert_error_string(tls.verifyError) +
               " (subject " + tls.subject + ")";
    }
}

}  // namespace

PlatformTls* platformTlsStart(PlatformSocket socket, const std::string& host, int timeoutMs,
                              const PlatformCancel* cancel, std::string& error, bool& transient, bool offerHttp2) {
    transient = false;
    SSL_CTX* context = clientContext();
    if (!context) {
        error = "TLS unavailable: " + openSslReason();
        return nullptr;
    }
    std::unique_ptr<PlatformTls, void (*)(PlatformTls*)> tls(new PlatformTls, platformTlsEnd);
    tls->socket = socket;
    tls->ssl = SSL_new(context);
    tls->fromNetwork = BIO_new(BIO_s_mem());
    tls->toNetwork = BIO_new(BIO_s_mem());
    if (!tls->ssl || !tls->fromNetwork || !tls->toNetwork) {
        BIO_free(tls->fromNetwork);
        BIO_free(tls->toNetwork);
        error = "TLS unavailable: " + openSslReason();
        return nullptr;
    }
    SSL_set_bio(tls->ssl, tls->fromNetwork, tls->toNetwork);
    SSL_set_app_data(tls->ssl, tls.get());
    SSL_set_connect_state(tls->ssl);
    // A literal address is checked against the certificate's address entries and is never
    // sent as a server name.
    if (SSL_set1_host(tls->ssl, host.c_str()) != 1 ||
        (!isAddressLiteral(host) && SSL_set_tlsext_host_name(tls->ssl, host.c_str()) != 1)) {
        error = "TLS unavailable for " + host + ": " + openSslReason();
        return nullptr;
    }
    // ALPN's wire form: each name after its length. (0 is success here.)
    static const unsigned char kProtocols[] = "\x02h2\x08http/1.1";
    if (offerHttp2 && SSL_set_alpn_protos(tls->ssl, kProtocols, sizeof kProtocols - 1) != 0) {
        error = "TLS unavailable for " + host + ": " + openSslReason();
        return nullptr;
    }
    for (;;) {
        ERR_clear_error();
        const int result = SSL_do_handshake(tls->ssl);
        const int reason = result == 1 ? SSL_ERROR_NONE : SSL_get_error(tls->ssl, result);
        // An alert telling the server why we refuse it goes out too.
        if (!flushToNetwork(*tls, timeoutMs, cancel) && result == 1) {
            error = tlsWaitFailureText(kSocketFailed, host);
            transient = true;
            return nullptr;
        }
        if (result == 1) return tls.release();
        if (reason == SSL_ERROR_WANT_READ) {
            const int64_t count = fillFromNetwork(*tls, timeoutMs, cancel);
            if (count > 0) continue;
            error = tlsWaitFailureText(count, host);
            transient = count != kSocketCancelled;
            return nullptr;
        }
        error = tls->verifyError != X509_V_OK ? refusalText(*tls, host)
                                              : "TLS handshake with " + host + " failed: " + openSslReason();
        return nullptr;
    }
}

bool platformTlsHttp2(const PlatformTls* tls) {
    const unsigned char* chosen = nullptr;
    unsigned int length = 0;
    SSL_get0_alpn_selected(tls->ssl, &chosen, &length);
    return length == 2 && chosen[0] == 'h' && chosen[1] == '2';
}

bool platformTlsSendAll(PlatformTls* tls, const char* data, size_t length, int timeoutMs,
                        const PlatformCancel* cancel) {
    while (length > 0) {
        const int chunk = length > size_t(INT_MAX) ? INT_MAX : int(length);
        const int written = SSL_write(tls->ssl, data, chunk);
        const int reason = written > 0 ? SSL_ERROR_NONE : SSL_get_error(tls->ssl, written);
        if (!flushToNetwork(*tls, timeoutMs, cancel)) return false;
        if (written > 0) {
            data += written;
            length -= size_t(written);
        } else if (reason != SSL_ERROR_WANT_READ || fillFromNetwork(*tls, timeoutMs, cancel) <= 0) {
            ERR_clear_error();
            return false;
        }
    }
    return true;
}

int64_t platformTlsReceive(PlatformTls* tls, char* buffer, size_t capacity, int timeoutMs,
                           const PlatformCancel* cancel) {
    const int wanted = capacity > size_t(INT_MAX) ? INT_MAX : int(capacity);
    for (;;) {
        if (platformCancelRaised(cancel)) return kSocketCancelled;
        const int count = SSL_read(tls->ssl, buffer, wanted);
        if (count > 0) return count;
        const int reason = SSL_get_error(tls->ssl, count);
        // Session tickets and key updates may want an answer.
        if (!flushToNetwork(*tls, timeoutMs, cancel)) return kSocketFailed;
        if (reason == SSL_ERROR_ZERO_RETURN) return 0;
        if (reason != SSL_ERROR_WANT_READ) {
            ERR_clear_error();
            return kSocketFailed;
        }
        const int64_t received = fillFromNetwork(*tls, timeoutMs, cancel);
        // The end of the connection without the server's close_notify may be a cut, not the end.
        if (received == 0) return kSocketFailed;
        if (received < 0) return received;
    }
}

void platformTlsEnd(PlatformTls* tls) {
    if (!tls) return;
    // Frees both memory buffers with it.
    SSL_free(tls->ssl);
    delete tls;
}
