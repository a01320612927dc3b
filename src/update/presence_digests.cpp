// Fetching, checking and applying the signed digests of presence-only files' first copies.
#include "update/presence_digests.h"

#include <cctype>
#include <cstdio>

#include "net/url.h"
#include "update/manifest_request.h"
#include "update/manifest_trust.h"
#include "update/own_files.h"
#include "update/transfers.h"
#include "util/file_system.h"

const char* const kPresenceDigestsSuffix = ".presence.md5";

namespace {

constexpr size_t kDigestLength = 32;

bool isHexDigest(const std::string& text) {
    if (text.size() != kDigestLength) return false;
    for (const char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

}  // namespace

std::string presenceDigestsUrlFor(const std::string& manifestUrl) {
    std::string url = manifestUrl;
    const size_t query = url.find('?');
    url.insert(query == std::string::npos ? url.size() : query, kPresenceDigestsSuffix);
    return url;
}

std::string formatPresenceDigests(const std::vector<std::pair<std::string, std::string>>& pathsAndDigests) {
    std::string text;
    for (const auto& [path, md5] : pathsAndDigests) text += md5 + "  " + path + "\n";
    return text;
}

bool parsePresenceDigests(const std::string& text, std::map<std::string, std::string>& digests, std::string& why) {
    size_t begin = 0, lineNumber = 0;
    while (begin < text.size()) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(begin, end - begin);
        begin = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        // md5sum writes two spaces, or a space and "*" for a file read in binary.
        std::string md5 = line.substr(0, kDigestLength);
        const bool separated = line.size() > kDigestLength + 2 && line[kDigestLength] == ' ' &&
                               (line[kDigestLength + 1] == ' ' || line[kDigestLength + 1] == '*');
        if (!isHexDigest(md5) || !separated) {
            why = "line " + std::to_string(lineNumber) + " is not \"<md5>  <path>\"";
            return false;
        }
        for (char& c : md5) c = char(std::tolower(static_cast<unsigned char>(c)));
        digests.emplace(line.substr(kDigestLength + 2), md5);
    }
    return true;
}

bool plansUncheckedFetch(const Plan& plan) {
    for (const PlannedFetch& file : plan.fetches)
        if (file.expectedMd5.empty()) return true;
    return false;
}

bool PresenceDigests::request(DownloadManager& downloads, const std::string& manifestUrl, int32_t tag) {
    listUrl_ = presenceDigestsUrlFor(manifestUrl);
    std::printf("Presence-only files missing: fetching the signed digests of their first copies\n");
    outstanding_ = 2;
    DownloadRequest list = presenceDigestsRequest(manifestUrl), signature = presenceSignatureRequest(manifestUrl);
    list.userData = signature.userData = tag;
    return downloads.enqueue(std::move(list)) && downloads.enqueue(std::move(signature));
}

bool PresenceDigests::arrived(DownloadRequest& request) {
    const bool isList = request.localPath == kPresenceDigestsCopyPath;
    const std::string what = isList ? "Presence digests" : "Presence digests signature";
    logTransferNotes(request, what + ": ");
    if (request.status != Done && failure_.empty())
        failure_ = what + " missing: " + withoutCredentials(request.url) + " could not be fetched. Reason: " +
                   std::to_string(request.status);
    return --outstanding_ == 0;
}

std::string PresenceDigests::apply(Plan& plan) {
    std::map<std::string, std::string> digests;
    if (failure_.empty()) {
        const TrustCheck check = verifyFetchedCopy({kPresenceDigestsCopyPath, kPresenceSignatureCopyPath,
                                                    requestedFileName(listUrl_), "Presence digests", false});
        std::printf("%s\n", check.logLine.c_str());
        std::string text, why;
        if (check.accepted && (!readWholeFile(text, kPresenceDigestsCopyPath, size_t(kPresenceDigestsMaxBytes)) ||
                               !parsePresenceDigests(text, digests, why))) {
            std::printf("Presence digests malformed: %s\n", why.empty() ? "the downloaded copy cannot be read" : why.c_str());
            digests.clear();
        }
    } else {
        std::printf("%s\n", failure_.c_str());
    }
    deleteIfExists(kPresenceDigestsCopyPath);
    deleteIfExists(kPresenceSignatureCopyPath);

    std::string refused;
    for (PlannedFetch& file : plan.fetches) {
        if (!file.expectedMd5.empty()) continue;
        const auto digest = digests.find(file.localPath);
        if (digest != digests.end()) {
            file.expectedMd5 = digest->second;
            continue;
        }
        std::printf("\t%s is missing and no signed digest vouches for its first copy; not fetched\n",
                    file.localPath.c_str());
        if (refused.empty()) refused = file.localPath;
    }
    return refused.empty() ? "" : "Could not verify " + refused;
}
