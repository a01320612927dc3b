// Signing a manifest as minisign does, with minisign's own secret key files, and making a new
// key pair for makers without minisign. libsodium does the cryptography.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "util/minisign_files.h"

// The environment variable a build server puts a key's password in.
extern const char* const kPasswordVariable;

struct SecretKey {
    KeyId keyId{};
    // libsodium's Ed25519 secret key: the seed followed by the public key.
    std::array<uint8_t, 64> key{};
    SecretKey() = default;
    SecretKey(const SecretKey&) = delete;
    SecretKey& operator=(const SecretKey&) = delete;
    // Wipes the key.
    ~SecretKey();
};

// Reads a secret key file written by `minisign -G` (encrypted with a password) or
// `minisign -G -W` and --generate-key (not encrypted). The password comes from
// kPasswordVariable when it is set, otherwise from the terminal (without echo). False, with
// the reason in `error`, when the file cannot be read, is not such a key, or the password is wrong.
bool readSecretKey(const std::string& path, SecretKey& key, std::string& error);

// The signature file for `content` (named `fileName` in the trusted comment): prehashed, with
// the trusted comment "timestamp:<timestamp>\tfile:<fileName>", plus "\texpires:<Unix seconds>"
// when `expiresAt` is positive. False when libsodium fails.
bool signManifest(const SecretKey& key, const std::string& content, const std::string& fileName, int64_t timestamp,
                  int64_t expiresAt, std::string& signatureText);

// Writes NAME.pub and NAME.key (not encrypted, readable by its owner only). Refuses to replace
// either file. False, with the reason in `error`, when a file cannot be written.
bool generateKeyPair(const std::string& name, PublicKey& publicKey, std::string& error);
