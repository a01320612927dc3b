// TLS client sessions with SChannel, the system's own TLS on Windows, with the root store
// Windows keeps up to date (every other system uses tls_openssl.cpp).
#include "platform/platform.h"
#include "platform/tls_text.h"

#include <winsock2.h>
#include <windows.h>
#define SECURITY_WIN32
#include <security.h>
#include <schannel.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

// SChannel works on buffers, never on the socket: the platform's socket calls move its bytes, so
// every wait has the stall time-out and the cancel. It checks no certificate itself (manual
// validation): the chain and the name are checked against the system store here, so that a
// refusal can say what was wrong.

struct PlatformTls {
    PlatformSocket socket = kNoSocket;
    CredHandle credentials{};
    bool haveCredentials = false;
    CtxtHandle context{};
    bool haveContext = false;
    SecPkgContext_StreamSizes sizes{};
    // Bytes from the server not decrypted yet (the start of the next record).
    std::string encrypted;
    // Decrypted bytes not yet handed to the caller, from `plainOffset` on.
    std::string plain;
    size_t plainOffset = 0;
    // The server chose HTTP/2 by ALPN.
    bool http2 = false;
    // The last record decrypted to nothing: Wine reports the server's close_notify so, where
    // Windows says SEC_I_CONTEXT_EXPIRED. The end of the connection right behind it is the
    // orderly end; records are authenticated, so no one else can make an empty one.
    bool emptyRecordLast = false;
};

namespace {

constexpr size_t kTlsReceiveBlock = 64 * 1024;

std::string hex(long code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(code));
    return text;
}

std::string nameText(const CERT_NAME_BLOB& name) {
    // Most specific part first, as OpenSSL prints it on other systems.
    const DWORD flags = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
    BYTE* encoded = name.pbData;
    CERT_NAME_BLOB blob = {name.cbData, encoded};
    const DWORD length = CertNameToStrA(X509_ASN_ENCODING, &blob, flags, nullptr, 0);
    if (length <= 1) return "(none)";
    std::string text(length, '\0');
    CertNameToStrA(X509_ASN_ENCODING, &blob, flags, &text[0], length);
    text.resize(length - 1);
    return text;
}

// Appends the next bytes from the server to `tls.encrypted`: their count, 0 at the end of the
// connection, or the platform's failure results.
int64_t receiveMore(PlatformTls& tls, int timeoutMs, const PlatformCancel* cancel) {
    const size_t before = tls.encrypted.size();
    tls.encrypted.resize(before + kTlsReceiveBlock);
    const int64_t count = platformReceive(tls.socket, &tls.encrypted[before], kTlsReceiveBlock, timeoutMs, cancel);
    tls.encrypted.resize(before + size_t(count > 0 ? count : 0));
    return count;
}

// Sends and frees a token SChannel allocated.
bool sendToken(PlatformTls& tls, SecBuffer& token, int timeoutMs, const PlatformCancel* cancel) {
    if (!token.pvBuffer) return true;
    const bool sent = token.cbBuffer == 0 ||
                      platformSendAll(tls.socket, static_cast<const char*>(token.pvBuffer), token.cbBuffer, timeoutMs, cancel);
    FreeContextBuffer(token.pvBuffer);
    token.pvBuffer = nullptr;
    return sent;
}

// Empty when the server's certificate chains to a root of the system store, is valid now and
// names `host`; otherwise what was wrong.
std::string checkCertificate(PlatformTls& tls, const std::string& host) {
    PCCERT_CONTEXT certificate = nullptr;
    if (QueryContextAttributesA(&tls.context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) != SEC_E_OK || !certificate)
        return "TLS handshake with " + host + " failed: the server sent no certificate";
    const std::string subject = nameText(certificate->pCertInfo->Subject);
    const std::string issuer = nameText(certificate->pCertInfo->Issuer);

    char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
    LPSTR usages[] = {serverAuth};
    CERT_CHAIN_PARA chainPara{};
    chainPara.cbSize = sizeof chainPara;
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    // The intermediates the server sent are in the certificate's own store.
    const BOOL built = CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &chainPara, 0,
                                               nullptr, &chain);
    CertFreeCertificateContext(certificate);
    if (!built || !chain) return "certificate of " + host + " refused: no chain (" + hex(long(GetLastError())) + ")";
    // The chain's own verdict first: Wine's SSL policy lets a chain that ends short of any root
    // pass. Revocation is not asked for, so its "unknown" carries no meaning.
    const DWORD chainErrors = chain->TrustStatus.dwErrorStatus &
                              ~DWORD(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION);
    std::wstring wideHost(host.begin(), host.end());
    HTTPSPolicyCallbackData https{};
    https.cbStruct = sizeof https;
    https.dwAuthType = AUTHTYPE_SERVER;
    https.pwszServerName = &wideHost[0];
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &https;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    const BOOL checked = CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status);
    CertFreeCertificateChain(chain);
    const std::string notTrusted = "certificate of " + host + " not trusted (subject " + subject + ", issuer " + issuer + ")";
    if (chainErrors & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_NOT_SIGNATURE_VALID))
        return notTrusted;
    if (chainErrors & CERT_TRUST_IS_NOT_TIME_VALID) return "certificate of " + host + " expired (subject " + subject + ")";
    if (chainErrors)
        return "certificate of " + host + " refused: chain status " + hex(long(chainErrors)) + " (subject " + subject + ")";
    if (!checked) return "certificate of " + host + " refused: policy check failed (" + hex(long(GetLastError())) + ")";
    switch (long(status.dwError)) {
    case 0: return "";
    case CERT_E_CN_NO_MATCH: return "certificate is not for " + host + " (subject " + subject + ")";
    case CERT_E_EXPIRED: return "certificate of " + host + " expired (subject " + subject + ")";
    case CERT_E_UNTRUSTEDROOT:
    case CERT_E_CHAINING:
    case TRUST_E_CERT_SIGNATURE: return notTrusted;
    default: return "certificate of " + host + " refused: " + hex(long(status.dwError)) + " (subject " + subject + ")";
    }
}

// ALPN's offer of HTTP/2 and HTTP/1.1, as SChannel takes it in its first input buffer: the
// size of the lists, then the one list (its kind, its size, and each name after its length).
std::string alpnOffer() {
    static const char kNames[] = "\x02h2\x08http/1.1";
    const unsigned short namesSize = sizeof kNames - 1;
    std::string offer(sizeof(unsigned long) + sizeof(SEC_APPLICATION_PROTOCOL_NEGOTIATION_EXT) + sizeof namesSize + namesSize,
                      '\0');
    const unsigned long listsSize = static_cast<unsigned long>(offer.size() - sizeof(unsigned long));
    const SEC_APPLICATION_PROTOCOL_NEGOTIATION_EXT kind = SecApplicationProtocolNegotiationExt_ALPN;
    char* at = &offer[0];
    std::memcpy(at, &listsSize, sizeof listsSize);
    at += sizeof listsSize;
    std::memcpy(at, &kind, sizeof kind);
    at += sizeof kind;
    std::memcpy(at, &namesSize, sizeof namesSize);
    at += sizeof namesSize;
    std::memcpy(at, kNames, namesSize);
    return offer;
}

bool choseHttp2(CtxtHandle& context) {
    SecPkgContext_ApplicationProtocol chosen{};
    return QueryContextAttributesA(&context, SECPKG_ATTR_APPLICATION_PROTOCOL, &chosen) == SEC_E_OK &&
           chosen.ProtoNegoStatus == SecApplicationProtocolNegotiationStatus_Success && chosen.ProtocolIdSize == 2 &&
           chosen.ProtocolId[0] == 'h' && chosen.ProtocolId[1] == '2';
}

}  // namespace

PlatformTls* platformTlsStart(PlatformSocket socket, const std::string& host, int timeoutMs,
                              const PlatformCancel* cancel, std::string& error, bool& transient, bool offerHttp2) {
    transient = false;
    std::unique_ptr<PlatformTls, void (*)(PlatformTls*)> tls(new PlatformTls, platformTlsEnd);
    tls->socket = socket;
    SCHANNEL_CRED settings{};
    settings.dwVersion = SCHANNEL_CRED_VERSION;
    settings.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    settings.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    char package[] = UNISP_NAME_A;
    SECURITY_STATUS status = AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &settings,
                                                      nullptr, nullptr, &tls->credentials, nullptr);
    if (status != SEC_E_OK) {
        error = "TLS unavailable: SChannel refused credentials (" + hex(status) + ")";
        return nullptr;
    }
    tls->haveCredentials = true;

    const DWORD wanted = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                         ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM;
    std::string target = host;
    std::string offer = offerHttp2 ? alpnOffer() : std::string();
    bool needInput = false;
    for (;;) {
        if (needInput) {
            const int64_t count = receiveMore(*tls, timeoutMs, cancel);
            if (count <= 0) {
                error = tlsWaitFailureText(count, host);
                transient = count != kSocketCancelled;
                return nullptr;
            }
        }
        SecBuffer input[2] = {{ULONG(tls->encrypted.size()), SECBUFFER_TOKEN, &tls->encrypted[0]},
                              {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc inputDesc = {SECBUFFER_VERSION, 2, input};
        SecBuffer output[1] = {{0, SECBUFFER_TOKEN, nullptr}};
        SecBufferDesc outputDesc = {SECBUFFER_VERSION, 1, output};
        // The first call takes the ALPN offer (the hello carries it) instead of the server's bytes.
        SecBuffer offerBuffer = {ULONG(offer.size()), SECBUFFER_APPLICATION_PROTOCOLS, &offer[0]};
        SecBufferDesc offerDesc = {SECBUFFER_VERSION, 1, &offerBuffer};
        SecBufferDesc* firstInput = offer.empty() ? nullptr : &offerDesc;
        ULONG granted = 0;
        status = InitializeSecurityContextA(&tls->credentials, tls->haveContext ? &tls->context : nullptr, &target[0],
                                            wanted, 0, 0, tls->haveContext ? &inputDesc : firstInput, 0, &tls->context,
                                            &outputDesc, &granted, nullptr);
        if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED || status == SEC_I_INCOMPLETE_CREDENTIALS)
            tls->haveContext = true;
        // The token may be an alert that tells the server why the handshake ended.
        if (!sendToken(*tls, output[0], timeoutMs, cancel) && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED)) {
            error = tlsWaitFailureText(kSocketFailed, host);
            transient = true;
            return nullptr;
        }
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            needInput = true;
            continue;
        }
        // What SChannel did not consume belongs to the next step (or is the first application data).
        if (input[1].BufferType == SECBUFFER_EXTRA && input[1].cbBuffer > 0)
            tls->encrypted = tls->encrypted.substr(tls->encrypted.size() - input[1].cbBuffer);
        else
            tls->encrypted.clear();
        if (status == SEC_E_OK) break;
        if (status == SEC_I_CONTINUE_NEEDED || status == SEC_I_INCOMPLETE_CREDENTIALS) {
            needInput = tls->encrypted.empty();
            continue;
        }
        error = "TLS handshake with " + host + " failed (SChannel " + hex(status) + ")";
        return nullptr;
    }
    error = checkCertificate(*tls, host);
    if (!error.empty()) return nullptr;
    if (QueryContextAttributesA(&tls->context, SECPKG_ATTR_STREAM_SIZES, &tls->sizes) != SEC_E_OK) {
        error = "TLS handshake with " + host + " failed: no record sizes";
        return nullptr;
    }
    tls->http2 = offerHttp2 && choseHttp2(tls->context);
    return tls.release();
}

bool platformTlsHttp2(const PlatformTls* tls) { return tls->http2; }

bool platformTlsSendAll(PlatformTls* tls, const char* data, size_t length, int timeoutMs,
                        const PlatformCancel* cancel) {
    std::string record;
    while (length > 0) {
        const size_t chunk = std::min<size_t>(length, tls->sizes.cbMaximumMessage);
        record.assign(tls->sizes.cbHeader + chunk + tls->sizes.cbTrailer, '\0');
        char* header = &record[0];
        std::memcpy(header + tls->sizes.cbHeader, data, chunk);
        SecBuffer buffers[4] = {{tls->sizes.cbHeader, SECBUFFER_STREAM_HEADER, header},
                                {ULONG(chunk), SECBUFFER_DATA, header + tls->sizes.cbHeader},
                                {tls->sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, header + tls->sizes.cbHeader + chunk},
                                {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc description = {SECBUFFER_VERSION, 4, buffers};
        if (EncryptMessage(&tls->context, 0, &description, 0) != SEC_E_OK) return false;
        const size_t total = size_t(buffers[0].cbBuffer) + buffers[1].cbBuffer + buffers[2].cbBuffer;
        if (!platformSendAll(tls->socket, header, total, timeoutMs, cancel)) return false;
        data += chunk;
        length -= chunk;
    }
    return true;
}

int64_t platformTlsReceive(PlatformTls* tls, char* buffer, size_t capacity, int timeoutMs,
                           const PlatformCancel* cancel) {
    for (;;) {
        if (platformCancelRaised(cancel)) return kSocketCancelled;
        if (tls->plainOffset < tls->plain.size()) {
            const size_t count = std::min(capacity, tls->plain.size() - tls->plainOffset);
            std::memcpy(buffer, tls->plain.data() + tls->plainOffset, count);
            tls->plainOffset += count;
            return int64_t(count);
        }
        tls->plain.clear();
        tls->plainOffset = 0;
        SECURITY_STATUS status = SEC_E_INCOMPLETE_MESSAGE;
        if (!tls->encrypted.empty()) {
            SecBuffer buffers[4] = {{ULONG(tls->encrypted.size()), SECBUFFER_DATA, &tls->encrypted[0]},
                                    {0, SECBUFFER_EMPTY, nullptr},
                                    {0, SECBUFFER_EMPTY, nullptr},
                                    {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc description = {SECBUFFER_VERSION, 4, buffers};
            status = DecryptMessage(&tls->context, &description, 0, nullptr);
            if (status == SEC_E_OK) {
                // Both point into `encrypted`, which is decrypted in place: copy before replacing it.
                std::string extra;
                for (const SecBuffer& part : buffers) {
                    if (part.BufferType == SECBUFFER_DATA) tls->plain.append(static_cast<const char*>(part.pvBuffer), part.cbBuffer);
                    if (part.BufferType == SECBUFFER_EXTRA) extra.assign(static_cast<const char*>(part.pvBuffer), part.cbBuffer);
                }
                tls->encrypted.swap(extra);
                tls->emptyRecordLast = tls->plain.empty();
                continue;
            }
            // The server ended the session properly: the end of the response.
            if (status == SEC_I_CONTEXT_EXPIRED) return 0;
            if (status != SEC_E_INCOMPLETE_MESSAGE) return kSocketFailed;
        }
        const int64_t count = receiveMore(*tls, timeoutMs, cancel);
        // The end of the connection without the server's close_notify may be a cut, not the end.
        if (count == 0) return tls->emptyRecordLast && tls->encrypted.empty() ? 0 : kSocketFailed;
        if (count < 0) return count;
        tls->emptyRecordLast = false;
    }
}

void platformTlsEnd(PlatformTls* tls) {
    if (!tls) return;
    if (tls->haveContext) DeleteSecurityContext(&tls->context);
    if (tls->haveCredentials) FreeCredentialsHandle(&tls->credentials);
    delete tls;
}
