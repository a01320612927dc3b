// Signing the manifest and writing the presence digests beside it.
#include "manifest/signed_files.h"

#include <cstdio>

#include "platform/platform.h"
#include "update/presence_digests.h"
#include "util/file_system.h"

namespace {

bool writeFile(const std::string& path, const std::string& text) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    bool ok = out && std::fwrite(text.data(), 1, text.size(), out) == text.size();
    if (out) ok = std::fclose(out) == 0 && ok;
    if (!ok) deleteIfExists(path);
    return ok;
}

// Signs the file at `path` (named `fileName` in the trusted comment) into "<path>.minisig";
// `what` names it in the message when it cannot be signed.
bool signFile(const std::string& path, const std::string& fileName, const char* what, const SecretKey& key,
              const SigningTerms& terms) {
    std::string content, signature;
    if (!readWholeFile(content, path) ||
        !signManifest(key, content, fileName, terms.timestamp, terms.expiresAt, signature)) {
        std::fprintf(stderr, "kib-manifest: %s: cannot sign %s\n", path.c_str(), what);
        return false;
    }
    const std::string signaturePath = path + ".minisig";
    if (!writeFile(signaturePath, signature)) {
        std::fprintf(stderr, "kib-manifest: %s: cannot write the signature\n", signaturePath.c_str());
        return false;
    }
    std::printf("Signature: %s (key ID %s)\n", signaturePath.c_str(), keyIdText(key.keyId).c_str());
    return true;
}

// `what` names the file in the message when it cannot be removed.
bool removeIfThere(const std::string& path, const char* what) {
    if (platformFileKind(path) == PlatformFileKind::Missing) return true;
    if (platformRemoveFile(path)) return true;
    std::fprintf(stderr, "kib-manifest: %s: cannot remove %s\n", path.c_str(), what);
    return false;
}

const char* const kEarlierList = "the presence digests of the earlier manifest";

}  // namespace

std::vector<std::string> signedFileNames(const std::string& manifestName) {
    const std::string list = manifestName + kPresenceDigestsSuffix;
    return {manifestName + ".minisig", list, list + ".minisig"};
}

bool writeSignedFiles(const std::string& manifestPath, const std::string& manifestName,
                      const std::vector<std::pair<std::string, std::string>>& presenceDigests, const SecretKey& key,
                      const SigningTerms& terms) {
    if (!signFile(manifestPath, manifestName, "the manifest", key, terms)) return false;
    const std::string listPath = manifestPath + kPresenceDigestsSuffix;
    // Without a list a signed manifest's presence-only files could not be installed; without
    // presence-only files an earlier list would vouch for files no longer listed that way.
    if (presenceDigests.empty())
        return removeIfThere(listPath, kEarlierList) && removeIfThere(listPath + ".minisig", kEarlierList);
    if (!writeFile(listPath, formatPresenceDigests(presenceDigests))) {
        std::fprintf(stderr, "kib-manifest: %s: cannot write the digests of presence-only files\n", listPath.c_str());
        return false;
    }
    std::printf("Presence digests: %s (%zu presence-only files)\n", listPath.c_str(), presenceDigests.size());
    return signFile(listPath, manifestName + kPresenceDigestsSuffix, "the presence digests", key, terms);
}

bool removeSignedFiles(const std::string& manifestPath) {
    const std::string signature = manifestPath + ".minisig";
    const bool hadSignature = platformFileKind(signature) != PlatformFileKind::Missing;
    if (!removeIfThere(signature, "the signature of the earlier manifest")) return false;
    if (hadSignature)
        std::printf("Removed %s: it signed the earlier manifest (sign this one with --sign or minisign -S)\n",
                    signature.c_str());
    const std::string list = manifestPath + kPresenceDigestsSuffix;
    return removeIfThere(list, kEarlierList) && removeIfThere(list + ".minisig", kEarlierList);
}
