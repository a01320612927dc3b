// The manifest's and its signature's requests, and reading the fetched copy.
#include "update/manifest_request.h"

#include <cstdio>
#include <new>

#include "update/manifest.h"
#include "update/manifest_trust.h"
#include "update/own_files.h"
#include "update/presence_digests.h"
#include "util/file_system.h"

namespace {

// Fresh, with no expected digest: the download is always fetched anew, and replaces the old
// copy only once complete.
DownloadRequest freshRequest(const std::string& url, const std::string& localPath, int64_t maxBytes) {
    DownloadRequest request;
    request.url = url;
    request.localPath = localPath;
    request.maxBytes = maxBytes;
    request.fresh = true;
    return request;
}

}  // namespace

DownloadRequest manifestRequest(const std::string& manifestUrl) {
    // Never more than the reader takes: an endless body would otherwise fill the disk.
    return freshRequest(manifestUrl, kManifestCopyPath, int64_t(kMaxManifestBytes));
}

DownloadRequest signatureRequest(const std::string& manifestUrl) {
    return freshRequest(signatureUrlFor(manifestUrl), kSignatureCopyPath, kSignatureMaxBytes);
}

DownloadRequest presenceDigestsRequest(const std::string& manifestUrl) {
    return freshRequest(presenceDigestsUrlFor(manifestUrl), kPresenceDigestsCopyPath, kPresenceDigestsMaxBytes);
}

DownloadRequest presenceSignatureRequest(const std::string& manifestUrl) {
    return freshRequest(signatureUrlFor(presenceDigestsUrlFor(manifestUrl)), kPresenceSignatureCopyPath,
                        kSignatureMaxBytes);
}

bool readManifestCopy(std::string& manifest) {
    try {
        // A copy past the limit is not read at all.
        if (fileSize(kManifestCopyPath) > int64_t(kMaxManifestBytes) ||
            (readWholeFile(manifest, kManifestCopyPath, kMaxManifestBytes) && manifest.size() > kMaxManifestBytes)) {
            std::printf("\tManifest larger than %lu bytes\n", static_cast<unsigned long>(kMaxManifestBytes));
            return false;
        }
    } catch (const std::bad_alloc&) {
        std::printf("\tManifest too large for the memory available\n");
        return false;
    }
    return true;
}
