// minisign's key and signature files as text: the lines, their prefixes and their base64.
#include "util/minisign_files.h"

#include <sodium.h>

#include <cstring>
#include <vector>

namespace {

const std::string kUntrustedPrefix = "untrusted comment: ";
const std::string kTrustedPrefix = "trusted comment: ";
// Algorithm tags at the start of the decoded lines.
const char kEd25519[] = "Ed";
const char kPrehashed[] = "ED";
constexpr size_t kTagSize = 2;

// Splits at "\n", dropping one "\r" before it; trailing blank lines are dropped too.
std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(begin, end - begin);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        out.push_back(line);
        begin = end + 1;
    }
    while (!out.empty() && out.back().empty()) out.pop_back();
    return out;
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool fail(std::string& why, const char* reason) {
    why = reason;
    return false;
}

}  // namespace

std::string toBase64(const uint8_t* bytes, size_t length) {
    std::string out(sodium_base64_ENCODED_LEN(length, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(&out[0], out.size(), bytes, length, sodium_base64_VARIANT_ORIGINAL);
    out.resize(std::strlen(out.c_str()));
    return out;
}

bool fromBase64(const std::string& text, uint8_t* bytes, size_t length) {
    // Exactly `length` bytes: a longer or shorter line is another kind of file.
    if (text.size() != sodium_base64_ENCODED_LEN(length, sodium_base64_VARIANT_ORIGINAL) - 1) return false;
    size_t decoded = 0;
    const char* end = nullptr;
    if (sodium_base642bin(bytes, length, text.data(), text.size(), nullptr, &decoded, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0)
        return false;
    return decoded == length && end == text.data() + text.size();
}

bool parsePublicKey(const std::string& text, PublicKey& key, std::string& why) {
    const std::vector<std::string> all = lines(text);
    if (all.size() != 2) return fail(why, "not two lines");
    if (!startsWith(all[0], kUntrustedPrefix)) return fail(why, "no untrusted comment line");
    uint8_t raw[kTagSize + 8 + 32];
    if (!fromBase64(all[1], raw, sizeof raw)) return fail(why, "the key line is not base64 of a key");
    if (std::memcmp(raw, kEd25519, kTagSize) != 0) return fail(why, "not an Ed25519 key");
    std::memcpy(key.keyId.data(), raw + kTagSize, key.keyId.size());
    std::memcpy(key.key.data(), raw + kTagSize + key.keyId.size(), key.key.size());
    return true;
}

bool parseSignatureFile(const std::string& text, SignatureFile& signature, std::string& why) {
    const std::vector<std::string> all = lines(text);
    if (all.size() != 4) return fail(why, "not four lines");
    if (!startsWith(all[0], kUntrustedPrefix)) return fail(why, "no untrusted comment line");
    uint8_t raw[kTagSize + 8 + 64];
    if (!fromBase64(all[1], raw, sizeof raw)) return fail(why, "the signature line is not base64 of a signature");
    if (std::memcmp(raw, kPrehashed, kTagSize) == 0)
        signature.prehashed = true;
    else if (std::memcmp(raw, kEd25519, kTagSize) == 0)
        signature.prehashed = false;
    else
        return fail(why, "unknown signature algorithm");
    std::memcpy(signature.keyId.data(), raw + kTagSize, signature.keyId.size());
    std::memcpy(signature.signature.data(), raw + kTagSize + signature.keyId.size(), signature.signature.size());
    if (!startsWith(all[2], kTrustedPrefix)) return fail(why, "no trusted comment line");
    signature.trustedComment = all[2].substr(kTrustedPrefix.size());
    if (!fromBase64(all[3], signature.globalSignature.data(), signature.globalSignature.size()))
        return fail(why, "the global signature line is not base64 of a signature");
    return true;
}

std::map<std::string, std::string> trustedCommentFields(const std::string& comment) {
    std::map<std::string, std::string> fields;
    size_t begin = 0;
    for (;;) {
        const size_t end = comment.find('\t', begin);
        const std::string field = comment.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        const size_t colon = field.find(':');
        if (colon == std::string::npos)
            fields.emplace(field, "");
        else
            fields.emplace(field.substr(0, colon), field.substr(colon + 1));
        if (end == std::string::npos) break;
        begin = end + 1;
    }
    return fields;
}

bool parseUnixSeconds(const std::string& text, int64_t& seconds) {
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    seconds = 0;
    for (char digit : text) seconds = seconds * 10 + (digit - '0');
    return true;
}

std::string keyIdText(const KeyId& keyId) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = keyId.size(); i-- > 0;) {
        out += kHex[keyId[i] >> 4];
        out += kHex[keyId[i] & 15];
    }
    return out;
}

std::string formatPublicKey(const PublicKey& key) {
    uint8_t raw[kTagSize + 8 + 32];
    std::memcpy(raw, kEd25519, kTagSize);
    std::memcpy(raw + kTagSize, key.keyId.data(), key.keyId.size());
    std::memcpy(raw + kTagSize + key.keyId.size(), key.key.data(), key.key.size());
    return kUntrustedPrefix + "minisign public key " + keyIdText(key.keyId) + "\n" + toBase64(raw, sizeof raw) + "\n";
}

std::string formatSignatureFile(const SignatureFile& signature, const std::string& untrustedComment) {
    uint8_t raw[kTagSize + 8 + 64];
    std::memcpy(raw, signature.prehashed ? kPrehashed : kEd25519, kTagSize);
    std::memcpy(raw + kTagSize, signature.keyId.data(), signature.keyId.size());
    std::memcpy(raw + kTagSize + signature.keyId.size(), signature.signature.data(), signature.signature.size());
    return kUntrustedPrefix + untrustedComment + "\n" + toBase64(raw, sizeof raw) + "\n" + kTrustedPrefix +
           signature.trustedComment + "\n" +
           toBase64(signature.globalSignature.data(), signature.globalSignature.size()) + "\n";
}
