// Reads the manifest and decides, line by line, which files of the game's folder to fetch.
#include "update/manifest.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>
#include <set>
#include <unordered_map>
#include <vector>

#include "net/url.h"
#include "platform/platform.h"
#include "update/local_digests.h"
#include "update/manifest_path.h"
#include "update/own_files.h"
#include "update/run_state.h"
#include "update/transfers.h"
#include "util/file_system.h"
#include "util/md5.h"
#include "util/strings.h"

namespace {

const std::string kMasterTag = "master:";
const std::string kGzipSuffix = ".gz";
constexpr size_t kDigestLength = 32;

enum class LineKind { Master, Presence, Digest, Compressed };

// One line that mattered, as the first pass understood it.
struct ManifestLine {
    LineKind kind;
    // The prefix of a master line; the path of a file line.
    std::string text;
    // Digest line: the file's digest. Compressed line: the unpacked file's digest.
    std::string md5;
    // Compressed line: the digest of the ".gz" as the server has it.
    std::string compressedMd5;
};

bool endsWithGz(const std::string& path) {
    return path.size() >= kGzipSuffix.size() &&
           path.compare(path.size() - kGzipSuffix.size(), kGzipSuffix.size(), kGzipSuffix) == 0;
}

// The file in the folder that a line is compared with: a compressed line's path loses its
// last three characters (whatever they are), any other ".gz" is unpacked into the name without
// it, the rest is the path itself.
std::string localFileOf(const ManifestLine& line) {
    if (line.kind == LineKind::Compressed)
        return line.text.size() < kGzipSuffix.size() ? line.text
                                                     : line.text.substr(0, line.text.size() - kGzipSuffix.size());
    if (endsWithGz(line.text)) return line.text.substr(0, line.text.size() - kGzipSuffix.size());
    return line.text;
}

// Lower-cases a digest in place; false unless it is 32 hexadecimal digits.
bool normaliseDigest(std::string& digest) {
    if (digest.size() != kDigestLength) return false;
    for (char& c : digest) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        c = char(std::tolower(static_cast<unsigned char>(c)));
    }
    return true;
}

std::string asciiLowerCase(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return text;
}

// Why the updater cannot write `path`, or empty: it must stay in the folder, be none of the
// updater's own names, and stay within the limits.
std::string pathProblem(const std::string& path) {
    if (path.size() > kMaxManifestPathLength)
        return "the path is longer than " + std::to_string(kMaxManifestPathLength) + " bytes";
    if (size_t(std::count(path.begin(), path.end(), '/')) >= kMaxManifestPathDepth)
        return "the path has more than " + std::to_string(kMaxManifestPathDepth) + " levels";
    if (!isSafeManifestPath(path)) return "the path leaves the game's folder or names a device";
    return reservedNameProblem(path);
}

// The first pass: every line is read and checked before anything in the folder is looked at,
// so a bad line anywhere leaves the folder as it was. Appends to `lines`; on a refusal returns
// false with the reason and the line's number.
bool readLines(const std::string& manifest, std::vector<ManifestLine>& lines, std::string& problem,
               size_t& lineNumber) {
    // Which line claimed each name the run may write, so that two lines never write one file.
    // Both lower-cased: Windows does not tell "A.txt" from "a.txt", and a path listed again in
    // other letters is the same file, fetched once (as any path listed twice).
    std::unordered_map<std::string, std::string> claims;
    bool haveMaster = false;
    std::string line;
    size_t begin = 0;
    lineNumber = 0;
    while (begin <= manifest.size()) {
        const char* start = manifest.data() + begin;
        const void* feed = std::memchr(start, '\n', manifest.size() - begin);
        const size_t end = feed ? size_t(static_cast<const char*>(feed) - manifest.data()) : manifest.size();
        ++lineNumber;
        if (end - begin > kMaxManifestLineLength) {
            problem = "the line is longer than " + std::to_string(kMaxManifestLineLength) + " bytes";
            return false;
        }
        // Whitespace (carriage returns included) goes wherever it stands: one pass per line.
        line.assign(start, end - begin);
        removeWhitespace(line);
        begin = end + 1;

        if (line.compare(0, kMasterTag.size(), kMasterTag) == 0) {
            lines.push_back({LineKind::Master, line.substr(kMasterTag.size()), "", ""});
            haveMaster = !lines.back().text.empty();
            continue;
        }
        if (line.empty()) continue;
        if (!haveMaster) {
            problem = "a file line before any master line with an address";
            return false;
        }

        ManifestLine entry{LineKind::Presence, line, "", ""};
        const size_t colon = line.find(':');
        if (colon != std::string::npos) {
            entry.text = line.substr(0, colon);
            const size_t angle = line.find('<', colon);
            if (angle == std::string::npos) {
                entry.kind = LineKind::Digest;
                entry.md5 = line.substr(colon + 1);
            } else {
                entry.kind = LineKind::Compressed;
                entry.md5 = line.substr(colon + 1, angle - colon - 1);
                entry.compressedMd5 = line.substr(angle + 1);
            }
            if (!normaliseDigest(entry.md5) ||
                (entry.kind == LineKind::Compressed && !normaliseDigest(entry.compressedMd5))) {
                problem = "a digest is not 32 hexadecimal digits";
                return false;
            }
        }
        const std::string local = localFileOf(entry);
        for (const std::string& name : {entry.text, local}) {
            problem = pathProblem(name);
            if (!problem.empty()) {
                problem = name + ": " + problem;
                return false;
            }
            const auto claim = claims.emplace(asciiLowerCase(name), entry.text);
            if (!claim.second && asciiLowerCase(claim.first->second) != asciiLowerCase(entry.text)) {
                problem = "both " + claim.first->second + " and " + entry.text + " would write " + name;
                return false;
            }
        }
        lines.push_back(std::move(entry));
    }
    return true;
}

// A file that must be fetched, as queueFile takes it.
struct Fetch {
    std::string url, path, expectedMd5, unpackedMd5;
};

// Something other than a regular file stands where the run would read or write: that file
// cannot be updated, and nothing may be done to what is there.
bool isTrap(const std::string& path) { return platformFileKind(path) == PlatformFileKind::Other; }

bool refuseTrap(const std::string& path, const std::string& where, FileRefuser refuse) {
    std::printf("\t%s is not a regular file; left alone\n", where.c_str());
    if (refuse) refuse(path);
    return false;
}

// The second pass: compares every file line with the folder, then queues what differs. Every
// name the fetch of a file will write is looked at before the first file is queued.
bool compareLines(const std::vector<ManifestLine>& lines, FileQueuer queue, FileRefuser refuse) {
    std::vector<Fetch> fetches;
    // Two workers fetching one path would write the same temporary file at once, so a path
    // listed twice is fetched once, as its first line says. Paths that differ only in letter
    // case are one file on Windows, and so are listed twice on every system.
    std::set<std::string> queuedPaths;
    auto fetch = [&](const std::string& url, const std::string& path, const std::string& expectedMd5,
                     const std::string& unpackedMd5) {
        if (queuedPaths.insert(asciiLowerCase(path)).second)
            fetches.push_back({url, path, expectedMd5, unpackedMd5});
        else
            std::printf("\t%s listed again; fetched once\n", path.c_str());
    };

    // Every digest the lines below need: unchanged files from the record, the others hashed on
    // every processor in manifest order, so each line waits at most for its own file.
    std::vector<std::string> hashed;
    std::set<std::string> seen;
    for (const ManifestLine& line : lines) {
        if (line.kind != LineKind::Digest && line.kind != LineKind::Compressed) continue;
        const std::string local = line.kind == LineKind::Digest ? line.text : localFileOf(line);
        if (seen.insert(local).second) hashed.push_back(local);
    }
    prepareLocalDigests(hashed);
    // However the comparison ends, no hashing thread outlives it.
    struct HashingEnds {
        ~HashingEnds() { endLocalHashing(); }
    } hashingEnds;

    std::string masterPrefix;
    for (const ManifestLine& line : lines) {
        if (line.kind == LineKind::Master) {
            masterPrefix = line.text;
            std::printf("\tMaster set to %s\n", masterPrefix.c_str());
            continue;
        }
        const std::string& path = line.text;
        // Names with spaces or letters beyond ASCII reach the server encoded, as a browser sends them.
        const std::string url = encodeAddress(masterPrefix) + encodePath(path);
        const std::string local = localFileOf(line);
        switch (line.kind) {
        case LineKind::Presence:
            // Any copy will do. A ".gz" lives in the folder unpacked; looking for the download
            // itself would fetch it on every run and overwrite what the player changed.
            if (!fileExists(local)) fetch(url, path, "", "");
            break;
        case LineKind::Digest:
            if (localDigest(path) == line.md5) {
                std::printf("\t%s (%s) up to date\n", path.c_str(), line.md5.c_str());
            } else {
                std::printf("\t%s Local hash does not match %s\n", path.c_str(), line.md5.c_str());
                fetch(url, path, line.md5, "");
            }
            break;
        case LineKind::Compressed: {
            const std::string localMd5 = localDigest(local);
            if (localMd5 == line.md5) {
                std::printf("\t%s (%s) up to date\n", local.c_str(), line.md5.c_str());
                // A run killed after unpacking but before deleting the download leaves it
                // behind, and no later run would fetch (and so delete) it again. Only a name
                // that the unpacking itself would have deleted: the line's path need not end
                // in ".gz".
                if (endsWithGz(path)) deleteIfExists(path);
            } else {
                std::printf("\t%s Local uncompressed hash (%s) does not match %s\n", local.c_str(), localMd5.c_str(),
                            line.md5.c_str());
                fetch(url, path, line.compressedMd5, line.md5);
            }
            break;
        }
        case LineKind::Master: break;
        }
        // The player stopped the updater while files were being hashed: nothing is queued,
        // and the run ends as the window closes.
        if (localHashingStopped()) {
            std::printf("\tComparison stopped\n");
            return true;
        }
    }

    // Every digest is in: before a refusal or a queueing, either of which may end the process,
    // no hashing thread is left running.
    endLocalHashing();
    for (const Fetch& file : fetches) {
        std::vector<std::string> written = {file.path, downloadName(file.path)};
        if (endsWithGz(file.path)) {
            const std::string unpacked = file.path.substr(0, file.path.size() - kGzipSuffix.size());
            written.push_back(unpacked);
            written.push_back(unpackName(unpacked));
        }
        for (const std::string& name : written)
            if (isTrap(name)) return refuseTrap(file.path, name, refuse);
    }
    for (const Fetch& file : fetches) queue(file.url, file.path, file.expectedMd5, file.unpackedMd5);
    return true;
}

}  // namespace

bool compareManifest(const std::string& manifest, FileQueuer queue, FileRefuser refuse) {
    if (manifest.empty()) return false;
    try {
        std::vector<ManifestLine> lines;
        std::string problem;
        size_t lineNumber = 0;
        if (!readLines(manifest, lines, problem, lineNumber)) {
            std::printf("\tLine %lu refused: %s\n", static_cast<unsigned long>(lineNumber), problem.c_str());
            std::printf("\tMalformed manifest file\n");
            return false;
        }
        if (!compareLines(lines, queue, refuse)) return false;
        // Neither up to date nor anything to fetch: the run ends unfinished.
        if (localHashingStopped()) return true;
    } catch (const std::bad_alloc&) {
        // Within the size limit, yet more than this machine can hold.
        std::printf("\tManifest too large for the memory available\n");
        return false;
    }
    // No delivery can happen while the comparison runs, so the counters are equal exactly
    // when nothing was queued.
    if (FilesToFetch == 0 || FilesToFetch == FilesFetched) UpdatePhase = UpToDate;
    return true;
}

bool parseManifest() {
    std::string manifest;
    try {
        // A missing copy reads as empty, which the comparison rejects. A copy past the limit
        // is not read at all.
        if (fileSize(kManifestCopyPath) > int64_t(kMaxManifestBytes) ||
            (readWholeFile(manifest, kManifestCopyPath, kMaxManifestBytes) && manifest.size() > kMaxManifestBytes)) {
            std::printf("\tManifest larger than %lu bytes\n", static_cast<unsigned long>(kMaxManifestBytes));
            return false;
        }
    } catch (const std::bad_alloc&) {
        std::printf("\tManifest too large for the memory available\n");
        return false;
    }
    return compareManifest(manifest, queueFile, refuseFile);
}
