// Checks a minisign signature over bytes in memory with libsodium (Ed25519, BLAKE2b-512).
// Thread-safe; never logs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/minisign_files.h"

enum class SignatureVerdict {
    // Both the signature over the bytes and the global signature over it and the trusted
    // comment hold for the key.
    Valid,
    // The signature names another key id; nothing was checked.
    OtherKey,
    // The signature over the bytes does not hold.
    BadSignature,
    // The bytes are signed, but the trusted comment is not the one signed with them.
    BadTrustedComment,
    // libsodium could not be initialised; nothing can be trusted.
    NoCrypto,
};

SignatureVerdict checkSignature(const PublicKey& key, const SignatureFile& signature, const uint8_t* bytes,
                                size_t length);
