// minisign's verification rules over libsodium's primitives.
#include "util/signature_check.h"

#include <sodium.h>

#include <algorithm>
#include <vector>

namespace {

// BLAKE2b-512 of the bytes, what a prehashed ("ED") signature covers. False when libsodium fails.
bool prehashDigest(const uint8_t* bytes, size_t length, uint8_t digest[64]) {
    if (sodium_init() < 0) return false;
    return crypto_generichash(digest, crypto_generichash_BYTES_MAX, bytes, length, nullptr, 0) == 0;
}

}  // namespace

SignatureVerdict checkSignature(const PublicKey& key, const SignatureFile& signature, const uint8_t* bytes,
                                size_t length) {
    static_assert(crypto_generichash_BYTES_MAX == 64, "a prehashed signature covers a 64-byte BLAKE2b digest");
    if (sodium_init() < 0) return SignatureVerdict::NoCrypto;
    // Key ids are public; they only tell a signature by another key from a forged one.
    if (!std::equal(key.keyId.begin(), key.keyId.end(), signature.keyId.begin())) return SignatureVerdict::OtherKey;

    int result;
    if (signature.prehashed) {
        uint8_t digest[crypto_generichash_BYTES_MAX];
        if (!prehashDigest(bytes, length, digest)) return SignatureVerdict::NoCrypto;
        result = crypto_sign_verify_detached(signature.signature.data(), digest, sizeof digest, key.key.data());
    } else {
        result = crypto_sign_verify_detached(signature.signature.data(), bytes, length, key.key.data());
    }
    if (result != 0) return SignatureVerdict::BadSignature;

    // The global signature binds the trusted comment (timestamp, expiry) to this signature.
    std::vector<uint8_t> signedComment(signature.signature.begin(), signature.signature.end());
    signedComment.insert(signedComment.end(), signature.trustedComment.begin(), signature.trustedComment.end());
    if (crypto_sign_verify_detached(signature.globalSignature.data(), signedComment.data(), signedComment.size(),
                                    key.key.data()) != 0)
        return SignatureVerdict::BadTrustedComment;
    return SignatureVerdict::Valid;
}
