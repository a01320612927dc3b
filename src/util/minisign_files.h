// Reading and writing minisign's public key and signature files, and the trusted comment's
// fields. Pure text handling, no cryptography beyond base64: what the bytes prove is checked in
// signature_check. Never logs; thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>

// The eight bytes minisign derives from a key pair and writes into every key and signature,
// so that a signature names the key that made it.
using KeyId = std::array<uint8_t, 8>;

struct PublicKey {
    KeyId keyId{};
    std::array<uint8_t, 32> key{};
};

struct SignatureFile {
    // True for "ED" (the signature covers the BLAKE2b-512 digest of the file), false for the
    // legacy "Ed" (it covers the file itself).
    bool prehashed = false;
    KeyId keyId{};
    std::array<uint8_t, 64> signature{};
    // The text after "trusted comment: ", without the line break.
    std::string trustedComment;
    // Covers `signature` followed by `trustedComment`.
    std::array<uint8_t, 64> globalSignature{};
};

// Each parser returns false, with `why` set to a short reason for the log, when the text is not
// such a file; the output is then unspecified. Lines may end in "\n" or "\r\n".
//
// "untrusted comment: ..." then the base64 of "Ed", the key id and the 32-byte key.
bool parsePublicKey(const std::string& text, PublicKey& key, std::string& why);
// "untrusted comment: ...", the base64 of "ED" or "Ed", the key id and the signature,
// "trusted comment: ..." and the base64 of the global signature. Nothing may follow but blank
// lines.
bool parseSignatureFile(const std::string& text, SignatureFile& signature, std::string& why);

// The trusted comment's tab-separated "name:value" fields, as minisign writes them
// ("timestamp:1796640643\tfile:manifest.txt\thashed"). A field without ":" has an empty value;
// a name given twice keeps its first value, so a later field cannot override an earlier one.
std::map<std::string, std::string> trustedCommentFields(const std::string& comment);
// A field holding Unix seconds: plain decimal digits, at most 18 of them. False otherwise.
bool parseUnixSeconds(const std::string& text, int64_t& seconds);

// The key id as minisign prints it: 16 uppercase hexadecimal digits, last byte first.
std::string keyIdText(const KeyId& keyId);
// The files as minisign writes them, each line ending in "\n".
std::string formatPublicKey(const PublicKey& key);
std::string formatSignatureFile(const SignatureFile& signature, const std::string& untrustedComment);

// Standard base64 (with padding), as minisign writes it; decoding refuses anything else.
std::string toBase64(const uint8_t* bytes, size_t length);
bool fromBase64(const std::string& text, uint8_t* bytes, size_t length);
