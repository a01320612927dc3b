// minisign's secret key file, its signatures, and new key pairs.
#include "manifest/signing.h"

#include <sodium.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "util/file_system.h"

const char* const kPasswordVariable = "KIB_MANIFEST_KEY_PASSWORD";

namespace {

// The decoded secret key line: algorithm, key derivation and checksum tags, the derivation's
// salt and limits (little-endian), then the key id, the key and its checksum, which a password
// encrypts together.
constexpr size_t kTag = 2, kSalt = 32, kLimit = 8, kKeyId = 8, kKey = 64, kChecksum = 32;
constexpr size_t kSaltAt = 3 * kTag;
constexpr size_t kOpsLimitAt = kSaltAt + kSalt;
constexpr size_t kMemLimitAt = kOpsLimitAt + kLimit;
constexpr size_t kSecretAt = kMemLimitAt + kLimit;
constexpr size_t kSecretSize = kKeyId + kKey + kChecksum;
constexpr size_t kFileSize = kSecretAt + kSecretSize;

const std::string kUntrustedPrefix = "untrusted comment: ";

uint64_t littleEndian(const uint8_t* bytes) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
    return value;
}

// minisign's checksum: BLAKE2b-256 of the algorithm tag, the key id and the key.
bool keyChecksum(const uint8_t* keyId, const uint8_t* key, uint8_t checksum[kChecksum]) {
    uint8_t material[kTag + kKeyId + kKey];
    std::memcpy(material, "Ed", kTag);
    std::memcpy(material + kTag, keyId, kKeyId);
    std::memcpy(material + kTag + kKeyId, key, kKey);
    const bool ok = crypto_generichash(checksum, kChecksum, material, sizeof material, nullptr, 0) == 0;
    sodium_memzero(material, sizeof material);
    return ok;
}

bool fail(std::string& error, const std::string& reason) {
    error = reason;
    return false;
}

}  // namespace

SecretKey::~SecretKey() { sodium_memzero(key.data(), key.size()); }

bool readSecretKey(const std::string& path, SecretKey& key, std::string& error) {
    if (sodium_init() < 0) return fail(error, "libsodium could not start");
    std::string text;
    if (!readWholeFile(text, path)) return fail(error, path + ": cannot read the secret key");
    std::vector<std::string> lines;
    for (size_t begin = 0; begin < text.size();) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(begin, end - begin);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
        begin = end + 1;
    }
    uint8_t raw[kFileSize];
    if (lines.size() != 2 || lines[0].compare(0, kUntrustedPrefix.size(), kUntrustedPrefix) != 0 ||
        !fromBase64(lines[1], raw, sizeof raw) || std::memcmp(raw, "Ed", kTag) != 0 ||
        std::memcmp(raw + 2 * kTag, "B2", kTag) != 0)
        return fail(error, path + ": not a minisign secret key");
    sodium_memzero(&text[0], text.size());

    const bool encrypted = std::memcmp(raw + kTag, "Sc", kTag) == 0;
    if (!encrypted && std::memcmp(raw + kTag, "\0\0", kTag) != 0)
        return fail(error, path + ": the key is protected in a way minisign does not write");
    if (encrypted) {
        std::string password;
        if (const char* fromEnvironment = std::getenv(kPasswordVariable))
            password = fromEnvironment;
        else if (!platformReadPassword("Password for " + path + ": ", password))
            return fail(error, path + " is protected by a password: set " + kPasswordVariable +
                                   " or run kib-manifest from a terminal");
        uint8_t stream[kSecretSize];
        const int derived = crypto_pwhash_scryptsalsa208sha256(
            stream, sizeof stream, password.data(), password.size(), raw + kSaltAt,
            littleEndian(raw + kOpsLimitAt), size_t(littleEndian(raw + kMemLimitAt)));
        sodium_memzero(&password[0], password.size());
        if (derived != 0) {
            sodium_memzero(raw, sizeof raw);
            return fail(error, path + ": not enough memory to derive the key from its password");
        }
        for (size_t i = 0; i < kSecretSize; ++i) raw[kSecretAt + i] ^= stream[i];
        sodium_memzero(stream, sizeof stream);
    }
    // minisign checksums only what a password protects (a wrong password shows there); an
    // unencrypted key carries zeros instead, and its own public half is what can be checked.
    const uint8_t* keyId = raw + kSecretAt;
    const uint8_t* secret = keyId + kKeyId;
    uint8_t checksum[kChecksum];
    uint8_t derivedPublic[crypto_sign_PUBLICKEYBYTES], derivedSecret[crypto_sign_SECRETKEYBYTES];
    const bool checked =
        encrypted ? keyChecksum(keyId, secret, checksum) && sodium_memcmp(checksum, secret + kKey, kChecksum) == 0
                  : crypto_sign_seed_keypair(derivedPublic, derivedSecret, secret) == 0 &&
                        sodium_memcmp(derivedSecret, secret, kKey) == 0;
    if (checked) {
        std::memcpy(key.keyId.data(), keyId, kKeyId);
        std::memcpy(key.key.data(), secret, kKey);
    }
    sodium_memzero(raw, sizeof raw);
    sodium_memzero(checksum, sizeof checksum);
    sodium_memzero(derivedSecret, sizeof derivedSecret);
    if (!checked) return fail(error, path + (encrypted ? ": wrong password" : ": the key is damaged"));
    return true;
}

bool signManifest(const SecretKey& key, const std::string& content, const std::string& fileName, int64_t timestamp,
                  int64_t expiresAt, std::string& signatureText) {
    if (sodium_init() < 0) return false;
    SignatureFile signature;
    signature.prehashed = true;
    signature.keyId = key.keyId;
    uint8_t digest[crypto_generichash_BYTES_MAX];
    if (crypto_generichash(digest, sizeof digest, reinterpret_cast<const uint8_t*>(content.data()), content.size(),
                           nullptr, 0) != 0 ||
        crypto_sign_detached(signature.signature.data(), nullptr, digest, sizeof digest, key.key.data()) != 0)
        return false;
    signature.trustedComment = "timestamp:" + std::to_string(timestamp) + "\tfile:" + fileName;
    if (expiresAt > 0) signature.trustedComment += "\texpires:" + std::to_string(expiresAt);
    std::vector<uint8_t> signedComment(signature.signature.begin(), signature.signature.end());
    signedComment.insert(signedComment.end(), signature.trustedComment.begin(), signature.trustedComment.end());
    if (crypto_sign_detached(signature.globalSignature.data(), nullptr, signedComment.data(), signedComment.size(),
                             key.key.data()) != 0)
        return false;
    signatureText = formatSignatureFile(signature, "signature from kib-manifest secret key");
    return true;
}

bool generateKeyPair(const std::string& name, PublicKey& publicKey, std::string& error) {
    if (sodium_init() < 0) return fail(error, "libsodium could not start");
    const std::string publicPath = name + ".pub", secretPath = name + ".key";
    for (const std::string& path : {publicPath, secretPath})
        if (fileExists(path)) return fail(error, path + " exists; kib-manifest never replaces a key");

    uint8_t raw[kFileSize] = {};
    std::memcpy(raw, "Ed", kTag);
    std::memcpy(raw + 2 * kTag, "B2", kTag);
    uint8_t* keyId = raw + kSecretAt;
    uint8_t* secret = keyId + kKeyId;
    randombytes_buf(keyId, kKeyId);
    // Without a password minisign leaves the checksum zero, and so does this.
    if (crypto_sign_keypair(publicKey.key.data(), secret) != 0) {
        sodium_memzero(raw, sizeof raw);
        return fail(error, "libsodium could not make a key pair");
    }
    std::memcpy(publicKey.keyId.data(), keyId, kKeyId);
    std::string secretText = kUntrustedPrefix + "minisign encrypted secret key\n" + toBase64(raw, sizeof raw) + "\n";
    sodium_memzero(raw, sizeof raw);

    // Created readable by its owner only, and never over an existing file.
    const int fd = platformOpenDescriptor(secretPath, PlatformDescriptorMode::CreatePrivate);
    bool ok = fd >= 0 && platformWriteDescriptor(fd, secretText.data(), secretText.size());
    if (fd >= 0) ok = platformCloseDescriptor(fd) == 0 && ok;
    sodium_memzero(&secretText[0], secretText.size());
    if (!ok) {
        if (fd >= 0) std::remove(secretPath.c_str());
        return fail(error, secretPath + ": cannot write the secret key");
    }
    const std::string publicText = formatPublicKey(publicKey);
    std::FILE* file = std::fopen(publicPath.c_str(), "wx");
    ok = file && std::fwrite(publicText.data(), 1, publicText.size(), file) == publicText.size();
    if (file) ok = std::fclose(file) == 0 && ok;
    if (!ok) return fail(error, publicPath + ": cannot write the public key");
    return true;
}
