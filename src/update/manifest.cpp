// Reads the manifest and decides, line by line, which files of the game's folder to fetch.
#include "update/manifest.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "net/url.h"
#include "update/manifest_path.h"
#include "update/run_state.h"
#include "update/transfers.h"
#include "util/file_system.h"
#include "util/md5.h"
#include "util/strings.h"

const char* const kManifestCopyPath = "manifest.txt";

namespace {

const std::string kMasterTag = "master:";
// The suffix a compressed file has on the server and loses once it is decompressed.
constexpr size_t kGzipSuffixLength = 3;

std::string asciiLowerCase(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return text;
}

bool rejectMalformed() {
    std::printf("\tMalformed manifest file\n");
    return false;
}

}  // namespace

bool compareManifest(const std::string& manifest, FileQueuer queue) {
    if (manifest.empty()) return false;
    std::string text = manifest;
    replaceAll(text, "\r", "");
    StringList lines;
    split(lines, text, "\n");

    // Two workers fetching one path would write the same temporary file at once, so a path
    // listed twice is fetched once, as its first line says. Paths that differ only in letter
    // case are one file on Windows, and so are listed twice on every system.
    std::set<std::string> queuedPaths;
    auto queueOnce = [&](const std::string& url, const std::string& path, const std::string& expectedMd5,
                         const std::string& unpackedMd5) {
        if (queuedPaths.insert(asciiLowerCase(path)).second)
            queue(url, path, expectedMd5, unpackedMd5);
        else
            std::printf("\t%s listed again; fetched once\n", path.c_str());
    };

    std::string masterPrefix;
    for (std::string& line : lines) {
        removeWhitespace(line);
        if (line.compare(0, kMasterTag.size(), kMasterTag) == 0) {
            masterPrefix = line.substr(kMasterTag.size());
            std::printf("\tMaster set to %s\n", masterPrefix.c_str());
            continue;
        }
        if (line.empty()) continue;
        if (masterPrefix.empty()) return rejectMalformed();

        const size_t colon = line.find(':');
        const std::string path = line.substr(0, colon);
        // The manifest comes from the network: none of its paths may leave the game's folder.
        if (!isSafeManifestPath(path)) return rejectMalformed();
        // Every downloaded ".gz" is decompressed into the name without it, whatever kind of
        // line named it: "x/...gz" would decompress into "x/..".
        const size_t stem = path.size() - std::min(path.size(), kGzipSuffixLength);
        const bool unpacked = path.compare(stem, std::string::npos, ".gz") == 0;
        const std::string unpackedName = unpacked ? path.substr(0, stem) : path;
        if (unpacked && !isSafeManifestPath(unpackedName)) return rejectMalformed();
        // Names with spaces or letters beyond ASCII reach the server encoded, as a browser sends them.
        const std::string url = masterPrefix + encodePath(path);

        if (colon == std::string::npos) {
            // A presence line: any copy will do. A ".gz" lives in the folder unpacked; looking
            // for the download itself would fetch it on every run and overwrite what the
            // player changed in the file.
            if (!fileExists(unpackedName)) queueOnce(url, path, "", "");
            continue;
        }

        const size_t angle = line.find('<', colon);
        if (angle == std::string::npos) {
            const std::string md5 = line.substr(colon + 1);
            if (md5OfFile(path) == md5) {
                std::printf("\t%s (%s) up to date\n", path.c_str(), md5.c_str());
            } else {
                std::printf("\t%s Local hash does not match %s\n", path.c_str(), md5.c_str());
                queueOnce(url, path, md5, "");
            }
            continue;
        }

        // A compressed line: the folder holds the decompressed file, the server the ".gz".
        const std::string uncompressedMd5 = line.substr(colon + 1, angle - colon - 1);
        const std::string localFile =
            path.size() < kGzipSuffixLength ? path : path.substr(0, path.size() - kGzipSuffixLength);
        // "x/...gz" would decompress into "x/..".
        if (!isSafeManifestPath(localFile)) return rejectMalformed();
        const std::string localMd5 = md5OfFile(localFile);
        if (localMd5 == uncompressedMd5) {
            std::printf("\t%s (%s) up to date\n", localFile.c_str(), uncompressedMd5.c_str());
            // A run killed after unpacking but before deleting the download leaves it behind,
            // and no later run would fetch (and so delete) it again. Only a name that the
            // unpacking itself would have deleted: the line's path need not end in ".gz".
            if (unpacked) deleteIfExists(path);
        } else {
            std::printf("\t%s Local uncompressed hash (%s) does not match %s\n", localFile.c_str(),
                        localMd5.c_str(), uncompressedMd5.c_str());
            queueOnce(url, path, line.substr(angle + 1), uncompressedMd5);
        }
    }

    // No delivery can happen while the comparison runs, so the counters are equal exactly
    // when nothing was queued.
    if (FilesToFetch == 0 || FilesToFetch == FilesFetched) UpdatePhase = UpToDate;
    return true;
}

bool parseManifest() {
    std::string manifest;
    // A missing copy reads as empty, which the comparison rejects.
    readWholeFile(manifest, kManifestCopyPath);
    return compareManifest(manifest, queueFile);
}
