// The trust decision over a fetched manifest: signature, key, rollback and freeze.
#include "update/manifest_trust.h"

#include <ctime>
#include <map>
#include <new>

#include "net/url.h"
#include "platform/platform.h"
#include "update/manifest.h"
#include "update/own_files.h"
#include "util/file_system.h"
#include "util/minisign_files.h"
#include "util/signature_check.h"
#include "util/strings.h"

const char* const kPublicKeyPath = "assets/updater/update.pub";

namespace {

TrustCheck refuse(const std::string& line, int64_t timestamp = 0) {
    TrustCheck check;
    check.logLine = line;
    check.timestamp = timestamp;
    return check;
}

std::string utcDate(int64_t seconds) {
    const std::time_t time = std::time_t(seconds);
    const std::tm* parts = std::gmtime(&time);
    char text[64] = "?";
    if (parts) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", parts);
    return text;
}

// Reads a file in binary (the signature covers the exact bytes), through the platform's file
// API: no link is followed.
bool readBytes(const std::string& path, std::string& out) { return readWholeFile(out, path); }

}  // namespace

bool signatureRequired() { return platformFileKind(kPublicKeyPath) != PlatformFileKind::Missing; }

std::string signatureUrlFor(const std::string& manifestUrl) {
    std::string url = manifestUrl;
    const size_t query = url.find('?');
    url.insert(query == std::string::npos ? url.size() : query, ".minisig");
    return url;
}

std::string requestedFileName(const std::string& url) {
    const std::string path = url.substr(0, url.find('?'));
    return path.substr(path.rfind('/') + 1);
}

TrustCheck checkManifestTrust(const std::string& manifest, const std::string& signatureText,
                              const std::string& publicKeyText, int64_t installedTimestamp, int64_t now,
                              const std::string& fileName, const std::string& subject) {
    std::string why;
    PublicKey key;
    if (!parsePublicKey(publicKeyText, key, why))
        return refuse(std::string("Public key ") + kPublicKeyPath + " malformed: " + why);
    SignatureFile signature;
    if (!parseSignatureFile(signatureText, signature, why)) return refuse(subject + " signature malformed: " + why);

    switch (checkSignature(key, signature, reinterpret_cast<const uint8_t*>(manifest.data()), manifest.size())) {
    case SignatureVerdict::Valid:
        break;
    case SignatureVerdict::OtherKey:
        return refuse(subject + " signed by another key: key ID " + keyIdText(signature.keyId) + ", " +
                      kPublicKeyPath + " is key ID " + keyIdText(key.keyId));
    case SignatureVerdict::BadSignature:
        return refuse(subject + " signature invalid: it does not match the " + asciiLowerCase(subject));
    case SignatureVerdict::BadTrustedComment:
        return refuse(subject + " signature invalid: its trusted comment was not signed with it");
    case SignatureVerdict::NoCrypto:
        return refuse(subject + " signature not checked: the cryptography library could not start");
    }

    // Only now is the comment known to be the signer's own.
    const std::map<std::string, std::string> fields = trustedCommentFields(signature.trustedComment);
    // A signature holds over bytes, not over an address: without the name, the beta channel's
    // manifest and signature served at the stable address would pass as the stable release.
    const auto fileField = fields.find("file");
    if (fileField == fields.end() || fileField->second.empty())
        return refuse(subject + " signature malformed: no file name in its trusted comment (" +
                      signature.trustedComment + ")");
    if (fileField->second != fileName && encodePath(fileField->second) != fileName)
        return refuse(subject + " signed for another file: file:" + fileField->second + ", asked for " + fileName);
    const auto timestampField = fields.find("timestamp");
    int64_t timestamp = 0;
    if (timestampField == fields.end() || !parseUnixSeconds(timestampField->second, timestamp))
        return refuse(subject + " signature malformed: no timestamp in its trusted comment (" +
                      signature.trustedComment + ")");
    if (timestamp < installedTimestamp)
        return refuse(subject + " older than the installed release: timestamp " + std::to_string(timestamp) +
                          " (" + utcDate(timestamp) + "), installed " + std::to_string(installedTimestamp) + " (" +
                          utcDate(installedTimestamp) + ")",
                      timestamp);
    const auto expiresField = fields.find("expires");
    if (expiresField != fields.end()) {
        int64_t expires = 0;
        if (!parseUnixSeconds(expiresField->second, expires))
            return refuse(subject + " signature malformed: expires is not Unix seconds (" + expiresField->second + ")",
                          timestamp);
        if (now > expires)
            return refuse(subject + " expired on " + utcDate(expires) + " (expires:" + std::to_string(expires) + ")",
                          timestamp);
    }

    TrustCheck check;
    check.accepted = true;
    check.timestamp = timestamp;
    check.logLine = subject + " signature verified: key ID " + keyIdText(key.keyId) + ", timestamp " +
                    std::to_string(timestamp) + " (" + utcDate(timestamp) + ")";
    return check;
}

TrustCheck verifyFetchedCopy(const FetchedCopy& copy) {
    std::string content, signature, publicKey;
    bool haveContent = false;
    try {
        haveContent = readBytes(copy.path, content);
    } catch (const std::bad_alloc&) {
        deleteIfExists(copy.signaturePath);
        return refuse(copy.subject + " too large for the memory available");
    }
    const bool haveSignature = readBytes(copy.signaturePath, signature);
    deleteIfExists(copy.signaturePath);
    // Asked about first: reading through a link or a device would take whatever lies behind it.
    if (platformFileKind(kPublicKeyPath) != PlatformFileKind::Regular)
        return refuse(std::string("Public key ") + kPublicKeyPath + " unreadable: not a regular file");
    if (!readBytes(kPublicKeyPath, publicKey)) return refuse(std::string("Public key ") + kPublicKeyPath + " unreadable");
    if (!haveSignature) return refuse(copy.subject + " signature missing: the downloaded copy cannot be read");
    if (!haveContent) return refuse(copy.subject + " missing: the downloaded copy cannot be read");
    int64_t installed = 0;
    if (!readTrustedTimestamp(installed))
        return refuse(std::string("Trust state ") + kTrustStatePath + " unreadable; remove it to accept any signed release");

    TrustCheck check = checkManifestTrust(content, signature, publicKey, installed, int64_t(std::time(nullptr)),
                                          copy.fileName, copy.subject);
    if (check.accepted && copy.recordTimestamp && check.timestamp > installed &&
        !recordTrustedTimestamp(check.timestamp))
        return refuse(std::string("Could not record the manifest's timestamp in ") + kTrustStatePath, check.timestamp);
    return check;
}

TrustCheck verifyFetchedManifest(const std::string& manifestUrl) {
    return verifyFetchedCopy({kManifestCopyPath, kSignatureCopyPath, requestedFileName(manifestUrl), "Manifest", true});
}

bool readTrustedTimestamp(int64_t& timestamp) {
    timestamp = 0;
    std::string text;
    switch (platformFileKind(kTrustStatePath)) {
    case PlatformFileKind::Missing:
        return true;
    case PlatformFileKind::Other:
        return false;
    case PlatformFileKind::Regular:
        break;
    }
    if (!readBytes(kTrustStatePath, text)) return false;
    const std::map<std::string, std::string> fields = trustedCommentFields(text.substr(0, text.find('\n')));
    const auto field = fields.find("timestamp");
    return field != fields.end() && parseUnixSeconds(field->second, timestamp);
}

bool recordTrustedTimestamp(int64_t timestamp) {
    return replaceWholeFile(kTrustStatePath, downloadName(kTrustStatePath),
                            "timestamp:" + std::to_string(timestamp) + "\n");
}
