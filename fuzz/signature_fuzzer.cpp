// Fuzzes what a hostile server can send as a manifest's signature: the input is a public key
// file, a NUL byte, and a signature file for a fixed manifest (the seeds hold genuine ones,
// made by minisign, so every branch of the decision is reachable). A parsed file must write back
// into the same values, and the decision must accept only a signature that holds over this
// manifest, names it, names a timestamp not below the installed one, and has not expired.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "update/manifest_trust.h"
#include "util/minisign_files.h"
#include "util/signature_check.h"

namespace {

// The manifest the seeds were signed over (fuzz/make_seeds.sh writes the same bytes).
const std::string kManifest = "master:http://127.0.0.1:8/files/\nkib.exe:0123456789abcdef0123456789abcdef\n";
// The name the seeds were signed under, which the updater asked for.
const std::string kFileName = "manifest";
// The seeds' timestamps lie between these.
constexpr int64_t kInstalled = 1700000000;
constexpr int64_t kNow = 1800000000;

void checkRoundTrips(const std::string& publicKeyText, const std::string& signatureText) {
    std::string why;
    PublicKey key;
    if (parsePublicKey(publicKeyText, key, why)) {
        PublicKey again;
        FUZZ_CHECK(parsePublicKey(formatPublicKey(key), again, why), "a written public key does not parse: " + why);
        FUZZ_CHECK(again.keyId == key.keyId && again.key == key.key, "a public key changed on its way back");
    } else {
        FUZZ_CHECK(!why.empty(), "a refused public key has no reason");
    }
    SignatureFile signature;
    if (parseSignatureFile(signatureText, signature, why)) {
        FUZZ_CHECK(signature.trustedComment.find('\n') == std::string::npos, "the trusted comment holds a line feed");
        SignatureFile again;
        FUZZ_CHECK(parseSignatureFile(formatSignatureFile(signature, "x"), again, why),
                   "a written signature does not parse: " + why);
        FUZZ_CHECK(again.prehashed == signature.prehashed && again.keyId == signature.keyId &&
                       again.signature == signature.signature && again.globalSignature == signature.globalSignature,
                   "a signature changed on its way back");
        // A comment ending in "\r" loses it, as minisign's own reader drops it.
        FUZZ_CHECK(again.trustedComment == signature.trustedComment ||
                       again.trustedComment + "\r" == signature.trustedComment,
                   "a trusted comment changed on its way back");
    } else {
        FUZZ_CHECK(!why.empty(), "a refused signature has no reason");
    }
}

void checkDecision(const std::string& publicKeyText, const std::string& signatureText) {
    const TrustCheck check = checkManifestTrust(kManifest, signatureText, publicKeyText, kInstalled, kNow, kFileName);
    FUZZ_CHECK(!check.logLine.empty(), "a decision without a log line");
    if (!check.accepted) return;

    std::string why;
    PublicKey key;
    SignatureFile signature;
    FUZZ_CHECK(parsePublicKey(publicKeyText, key, why) && parseSignatureFile(signatureText, signature, why),
               "accepted what does not parse");
    const auto* bytes = reinterpret_cast<const uint8_t*>(kManifest.data());
    FUZZ_CHECK(checkSignature(key, signature, bytes, kManifest.size()) == SignatureVerdict::Valid,
               "accepted a signature that does not hold");
    // The signature binds the manifest: one more line is another manifest.
    const std::string forged = kManifest + "evil.exe\n";
    FUZZ_CHECK(checkSignature(key, signature, reinterpret_cast<const uint8_t*>(forged.data()), forged.size()) !=
                   SignatureVerdict::Valid,
               "the signature also holds over a forged manifest");
    const auto fields = trustedCommentFields(signature.trustedComment);
    int64_t timestamp = -1, expires = 0;
    FUZZ_CHECK(fields.count("timestamp") && parseUnixSeconds(fields.at("timestamp"), timestamp),
               "accepted without a timestamp");
    FUZZ_CHECK(timestamp == check.timestamp && timestamp >= kInstalled, "accepted an older release");
    FUZZ_CHECK(fields.count("file") && fields.at("file") == kFileName, "accepted a file signed under another name");
    if (fields.count("expires"))
        FUZZ_CHECK(parseUnixSeconds(fields.at("expires"), expires) && expires >= kNow, "accepted an expired manifest");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find('\0');
    const std::string publicKeyText = input.substr(0, split);
    const std::string signatureText = split == std::string::npos ? "" : input.substr(split + 1);
    checkRoundTrips(publicKeyText, signatureText);
    checkDecision(publicKeyText, signatureText);
    // Each file also through the other's door.
    checkRoundTrips(signatureText, publicKeyText);
    trustedCommentFields(input);
    return 0;
}
