// Reads the manifest and decides, line by line, which files of the game's folder to fetch.
#include "update/manifest.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <set>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "net/url.h"
#include "platform/platform.h"
#include "update/local_digests.h"
#include "update/manifest_path.h"
#include "update/own_files.h"
#include "update/staging.h"
#include "util/case_fold.h"
#include "util/file_system.h"
#include "util/md5.h"
#include "util/path_index.h"
#include "util/strings.h"

namespace {

const std::string kMasterTag = "master:";
// About 160,000 lines.
constexpr size_t kReadRecordAheadBytes = size_t(8) << 20;
constexpr size_t kDigestLength = 32;

enum class LineKind : uint8_t { Master, Presence, Digest, Compressed };

// One line that mattered, as the first pass understood it: 28 bytes, its text kept with every
// other line's in one block, so that a manifest's lines take less than the manifest itself.
struct ManifestLine {
    // The prefix of a master line; the path of a file line: where it starts in the block.
    uint32_t textAt;
    uint16_t textLength;
    LineKind kind;
    // Digest line: the file's digest. Compressed line: the unpacked file's digest.
    uint8_t md5[16];
    // Compressed line: where the digest of the ".gz" as the server has it is kept.
    uint32_t compressedAt;
};

// The lines and their texts.
struct ManifestLines {
    std::vector<ManifestLine> lines;
    std::string text;
    // The ".gz" digests of compressed lines, which most manifests have few of.
    std::vector<std::array<uint8_t, 16>> compressedMd5s;
    // No two lines name one file, in any letter case (as most manifests): nothing is listed twice.
    bool namesDistinct = false;

    std::string_view textOf(const ManifestLine& line) const {
        return std::string_view(text.data() + line.textAt, line.textLength);
    }
    // The file in the folder that a line is compared with: a compressed line's path loses its
    // last three characters (whatever they are), any other ".gz" is unpacked into the name
    // without it, the rest is the path itself.
    std::string_view localFileOf(const ManifestLine& line) const {
        const std::string_view path = textOf(line);
        const bool gzip = path.size() >= 3 && path.compare(path.size() - 3, 3, ".gz") == 0;
        if ((line.kind == LineKind::Compressed || gzip) && path.size() >= 3) return path.substr(0, path.size() - 3);
        return path;
    }
};

// Keeps the `length` characters at `text` as `digest`; false unless they are 32 hexadecimal
// digits (of either case).
bool readDigest(const char* text, size_t length, uint8_t digest[16]) {
    if (length != kDigestLength) return false;
    char lower[kDigestLength];
    // ASCII alone: the locale's case has no say in a digest.
    for (size_t i = 0; i < length; ++i) lower[i] = text[i] >= 'A' && text[i] <= 'Z' ? char(text[i] - 'A' + 'a') : text[i];
    return md5FromText(lower, length, digest);
}

// A digest as the log spells it.
struct DigestText {
    explicit DigestText(const uint8_t digest[16]) { md5ToChars(digest, text); }
    const char* c_str() const { return text; }
    char text[kDigestLength + 1];
};

// Why the updater cannot write `path` (`folded` in Windows' case), or empty: it must stay in the
// folder, be none of the updater's own names, and stay within the limits.
std::string pathProblem(const std::string& path, const std::string& folded) {
    if (path.size() > kMaxManifestPathLength)
        return "the path is longer than " + std::to_string(kMaxManifestPathLength) + " bytes";
    if (size_t(std::count(path.begin(), path.end(), '/')) >= kMaxManifestPathDepth)
        return "the path has more than " + std::to_string(kMaxManifestPathDepth) + " levels";
    const std::string windowsProblem = windowsNameProblem(path);
    if (!windowsProblem.empty()) return windowsProblem;
    if (!isSafeManifestPath(path)) return "the path leaves the game's folder or names a device";
    return reservedFoldedNameProblem(folded);
}

// A name a line claims, known by the hash of its Windows-case form: 12 bytes a name instead of
// a map node and a folded copy, so a manifest's claims take a fraction of its size.
struct Claim {
    // Equal names have equal hashes; the names are compared whenever hashes are.
    uint32_t hash;
    // The claiming line's index in `lines`, and whether it claims the line's local file rather
    // than its path.
    uint32_t line : 31;
    uint32_t local : 1;
    // The line's number in the manifest.
    uint32_t number;
};

// The index's hash, folded to 32 bits: the same on every system.
uint32_t hashOf(const std::string& text) {
    const uint64_t hash = PathIndex::hashOf(text);
    return uint32_t(hash ^ (hash >> 32));
}

// The earliest claim (in manifest order) of a name that an earlier line already claimed with a
// path that differs from its own in more than letter case: false, and `problem` and
// `lineNumber` set for it. Sorting the claims by hash puts equal names side by side; only those
// are folded again. True when there is none, with `distinct` set when no two names share a
// hash (then no path is listed twice). Sorts `claims`.
bool checkClaims(std::vector<Claim>& claims, const ManifestLines& read, std::string& problem, size_t& lineNumber,
                 bool& distinct) {
    const std::vector<ManifestLine>& lines = read.lines;
    auto nameOf = [&](const Claim& claim) {
        const ManifestLine& line = lines[claim.line];
        return std::string(claim.local ? read.localFileOf(line) : read.textOf(line));
    };
    auto pathOf = [&](uint32_t line) { return std::string(read.textOf(lines[line])); };
    // Claims were made in manifest order: a line's path before its local file.
    auto earlier = [](const Claim& a, const Claim& b) { return a.line != b.line ? a.line < b.line : a.local < b.local; };
    std::sort(claims.begin(), claims.end(),
              [&](const Claim& a, const Claim& b) { return a.hash != b.hash ? a.hash < b.hash : earlier(a, b); });
    distinct = true;
    const Claim* worst = nullptr;
    std::string claimantOfWorst;
    for (size_t first = 0; first < claims.size();) {
        size_t last = first + 1;
        while (last < claims.size() && claims[last].hash == claims[first].hash) ++last;
        if (last - first > 1) {
            distinct = false;
            std::vector<std::string> folded;
            for (size_t i = first; i < last; ++i) folded.push_back(foldCaseAsWindows(nameOf(claims[i])));
            for (size_t j = first + 1; j < last; ++j) {
                size_t i = first;
                while (folded[i - first] != folded[j - first]) ++i;
                if (i == j) continue;
                const std::string claimant = pathOf(claims[i].line);
                if ((!worst || earlier(claims[j], *worst)) &&
                    foldCaseAsWindows(claimant) != foldCaseAsWindows(pathOf(claims[j].line))) {
                    worst = &claims[j];
                    claimantOfWorst = claimant;
                }
            }
        }
        first = last;
    }
    if (!worst) return true;
    problem = "both " + claimantOfWorst + " and " + pathOf(worst->line) + " would write " + nameOf(*worst);
    lineNumber = worst->number;
    return false;
}

// The first pass: every line is read and checked before anything in the folder is looked at,
// so a bad line anywhere leaves the folder as it was. Appends to `read` and `claims`; on a
// refusal returns false with the reason and the line's number (two lines that would write one
// name are found afterwards, by checkClaims).
bool readEachLine(const std::string& manifest, ManifestLines& read, std::vector<Claim>& claims, std::string& problem,
                  size_t& lineNumber) {
    bool haveMaster = false;
    std::string line, folded;
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
        line.resize(end - begin);
        line.resize(size_t(std::remove_copy_if(start, manifest.data() + end, line.begin(), isWhitespace) - line.begin()));
        begin = end + 1;

        ManifestLine entry{uint32_t(read.text.size()), 0, LineKind::Presence, {}, 0};
        if (line.compare(0, kMasterTag.size(), kMasterTag) == 0) {
            entry.kind = LineKind::Master;
            entry.textLength = uint16_t(line.size() - kMasterTag.size());
            read.text.append(line, kMasterTag.size(), std::string::npos);
            read.lines.push_back(entry);
            haveMaster = entry.textLength > 0;
            continue;
        }
        if (line.empty()) continue;
        if (!haveMaster) {
            problem = "a file line before any master line with an address";
            return false;
        }

        const size_t colon = line.find(':');
        if (colon != std::string::npos) {
            const size_t angle = line.find('<', colon);
            const char* digest = line.data() + colon + 1;
            bool digestRead;
            if (angle == std::string::npos) {
                entry.kind = LineKind::Digest;
                digestRead = readDigest(digest, line.size() - colon - 1, entry.md5);
            } else {
                entry.kind = LineKind::Compressed;
                entry.compressedAt = uint32_t(read.compressedMd5s.size());
                read.compressedMd5s.emplace_back();
                digestRead = readDigest(digest, angle - colon - 1, entry.md5) &&
                             readDigest(line.data() + angle + 1, line.size() - angle - 1, read.compressedMd5s.back().data());
            }
            if (!digestRead) {
                problem = "a digest is not 32 hexadecimal digits";
                return false;
            }
            line.resize(colon);
        }
        // Checked before it is kept: no longer than the limit, which fits the line's count.
        entry.textLength = uint16_t(std::min(line.size(), kMaxManifestPathLength + 1));
        read.text.append(line, 0, entry.textLength);
        // Most lines name one file only: it is checked and claimed once.
        const size_t localLength = read.localFileOf(entry).size();
        for (const bool local : {false, true}) {
            if (local && localLength == line.size()) break;
            if (local) line.resize(localLength);
            foldCaseAsWindows(line, folded);
            problem = pathProblem(line, folded);
            if (!problem.empty()) {
                problem = line + ": " + problem;
                // The line's path is claimed already: checkClaims finds the line there.
                if (local) read.lines.push_back(entry);
                return false;
            }
            claims.push_back({hashOf(folded), uint32_t(read.lines.size()), local, uint32_t(lineNumber)});
        }
        read.lines.push_back(entry);
    }
    return true;
}

// Reads every line as readEachLine does. Which line claimed each name the run may write, so
// that two lines never write one file: both in Windows' case, as Windows does not tell "A.txt"
// from "a.txt" (nor "É" from "é"), and a path listed again in other letters is the same file,
// fetched once (as any path listed twice). The refusal reported is the first in the manifest,
// whichever kind it is. `count` is the number of its lines.
bool readLines(const std::string& manifest, size_t count, ManifestLines& lines, std::string& problem,
               size_t& lineNumber) {
    // Room for every line at once: a list grown step by step holds up to three times its lines
    // while it moves. The texts take less than the manifest: its digests and line ends stay out.
    lines.lines.reserve(count);
    lines.text.reserve(manifest.size() - std::min(manifest.size(), count * (kDigestLength + 2)));
    std::vector<Claim> claims;
    claims.reserve(count);
    const bool read = readEachLine(manifest, lines, claims, problem, lineNumber);
    std::string clash;
    size_t clashLine = 0;
    // A clash on a line's path comes before a problem with the same line's local file.
    if (!checkClaims(claims, lines, clash, clashLine, lines.namesDistinct) && (read || clashLine <= lineNumber)) {
        problem = clash;
        lineNumber = clashLine;
        return false;
    }
    return read;
}

// Something other than a regular file stands where the run would read or write: that file
// cannot be updated, and nothing may be done to what is there.
bool isTrap(const std::string& path) { return platformFileKind(path) == PlatformFileKind::Other; }

// The names of the game's folder that the fetch of `file` writes: the file it ends in, the names
// it is staged under, and the name the switch moves the old file aside to.
std::vector<std::string> namesWritten(const PlannedFetch& file) {
    const std::string path = file.finalPath();
    std::vector<std::string> names = {path};
    for (const std::string& staged : stagingNames(path)) names.push_back(staged);
    names.push_back(asideName(path));
    return names;
}

}  // namespace

std::string PlannedFetch::finalPath() const {
    return hasGzipSuffix(localPath) ? withoutGzipSuffix(localPath) : localPath;
}

const std::string& PlannedFetch::finalMd5() const { return hasGzipSuffix(localPath) ? unpackedMd5 : expectedMd5; }

struct ManifestComparison::State {
    ManifestLines read;
    // The next line to compare.
    size_t next = 0;
    std::string masterPrefix;
    // Two workers fetching one path would write the same temporary file at once, so a path
    // listed twice is fetched once, as its first line says. Paths that differ only in letter
    // case are one file on Windows, and so are listed twice on every system.
    std::set<std::string> queuedPaths;
    Plan plan;
    // The digest of the file being compared, its path and its file: reused from line to line.
    std::string localMd5;
    std::string path;
    std::string local;
    bool done = false;
};

ManifestComparison::ManifestComparison(LocalDigests& digests) : digests_(digests) {}

ManifestComparison::~ManifestComparison() = default;

const Plan& ManifestComparison::plan() const {
    static const Plan kNone;
    return state_ ? state_->plan : kNone;
}

bool ManifestComparison::begin(std::string manifest) {
    state_.reset();
    if (manifest.empty()) return false;
    std::unique_ptr<State> state(new State);
    const size_t lineCount = size_t(std::count(manifest.begin(), manifest.end(), '\n')) + 1;
    // The record is read on another processor while the lines are: the two take about as long.
    // Not for the largest manifests, whose text would then be held beside the whole record.
    if (manifest.size() <= kReadRecordAheadBytes) digests_.loadRecordAhead(lineCount, manifest.size());
    std::string problem;
    size_t lineNumber = 0;
    if (!readLines(manifest, lineCount, state->read, problem, lineNumber)) {
        std::printf("\tLine %lu refused: %s\n", static_cast<unsigned long>(lineNumber), problem.c_str());
        std::printf("\tMalformed manifest file\n");
        return false;
    }
    // The lines hold all that matters of it.
    std::string().swap(manifest);
    // Every digest the lines need: unchanged files from the record, the others hashed on every
    // processor in manifest order, so each line waits at most for its own file.
    // The paths to look at, without a copy of each (a compressed line's file is the start of
    // its path), each once.
    const ManifestLines& read = state->read;
    std::vector<std::string_view> hashed;
    hashed.reserve(read.lines.size());
    {
        // Only a manifest with two lines of one name needs to be told which it listed before.
        PathIndex seen;
        if (!read.namesDistinct) seen.reserve(read.lines.size());
        for (const ManifestLine& line : read.lines) {
            if (line.kind != LineKind::Digest && line.kind != LineKind::Compressed) continue;
            hashed.push_back(read.localFileOf(line));
            if (!read.namesDistinct &&
                seen.insert(uint32_t(hashed.size() - 1), [&](uint32_t at) { return hashed[at]; }) != PathIndex::kNone)
                hashed.pop_back();
        }
    }
    digests_.prepare(hashed);
    state_ = std::move(state);
    return true;
}

void ManifestComparison::forEachListedFile(const std::function<void(std::string_view)>& visit) const {
    if (!state_) return;
    for (const ManifestLine& line : state_->read.lines)
        if (line.kind != LineKind::Master) visit(state_->read.localFileOf(line));
}

void ManifestComparison::stop() {
    digests_.cancel();
    if (state_ && !state_->done) std::printf("\tComparison stopped\n");
    if (state_) state_->done = true;
}

namespace {

// Compares one line: logs it and adds what it needs to the plan. False, with nothing done, when
// its file is still being hashed and `wait` is not set.
bool compareLine(const ManifestLine& line, ManifestComparison::State& state, LocalDigests& digests, bool wait) {
    if (line.kind == LineKind::Master) {
        state.masterPrefix = state.read.textOf(line);
        // A prefix with a password in it is logged masked: players post their logs when they ask for help.
        std::printf("\tMaster set to %s\n", withoutCredentials(state.masterPrefix).c_str());
        return true;
    }
    const ManifestLines& read = state.read;
    std::string& local = state.local;
    std::string& path = state.path;
    local.assign(read.localFileOf(line));
    path.assign(read.textOf(line));
    std::string& localMd5 = state.localMd5;
    localMd5.clear();
    if (line.kind != LineKind::Presence) {
        if (wait) localMd5 = digests.digest(local);
        else if (!digests.tryDigest(local, localMd5)) return false;
    }
    const DigestText md5(line.md5);
    auto fetch = [&](const std::string& expectedMd5, const std::string& unpackedMd5) {
        // Names with spaces or letters beyond ASCII reach the server encoded, as a browser sends them.
        if (state.queuedPaths.insert(foldCaseAsWindows(path)).second)
            state.plan.fetches.push_back({encodeAddress(state.masterPrefix) + encodePath(path), path, expectedMd5, unpackedMd5});
        else
            std::printf("\t%s listed again; fetched once\n", path.c_str());
    };
    switch (line.kind) {
    case LineKind::Presence:
        // Any copy will do. A ".gz" lives in the folder unpacked; looking for the download
        // itself would fetch it on every run and overwrite what the player changed.
        if (!fileExists(local)) fetch("", "");
        break;
    case LineKind::Digest:
        if (localMd5 == md5.c_str()) {
            std::printf("\t%s (%s) up to date\n", path.c_str(), md5.c_str());
        } else {
            std::printf("\t%s Local hash does not match %s\n", path.c_str(), md5.c_str());
            fetch(md5.c_str(), std::string());
        }
        break;
    case LineKind::Compressed:
        if (localMd5 == md5.c_str()) {
            std::printf("\t%s (%s) up to date\n", local.c_str(), md5.c_str());
            // A run killed after unpacking but before deleting the download leaves it behind,
            // and no later run would fetch (and so delete) it again. Only a name that the
            // unpacking itself would have deleted: the line's path need not end in ".gz".
            if (hasGzipSuffix(path)) deleteIfExists(path);
        } else {
            std::printf("\t%s Local uncompressed hash (%s) does not match %s\n", local.c_str(), localMd5.c_str(),
                        md5.c_str());
            fetch(DigestText(read.compressedMd5s[line.compressedAt].data()).c_str(), md5.c_str());
        }
        break;
    case LineKind::Master:
        break;
    }
    return true;
}

// Once every line is compared: every name a fetch will write is looked at before anything is
// fetched, and the first one that is no regular file refuses the plan.
void checkWhatFetchesWrite(Plan& plan) {
    for (const PlannedFetch& file : plan.fetches)
        for (const std::string& name : namesWritten(file))
            if (isTrap(name)) {
                std::printf("\t%s is not a regular file; left alone\n", name.c_str());
                plan.refusedPath = file.localPath;
                plan.fetches.clear();
                return;
            }
}

bool advanceComparison(ManifestComparison::State& state, LocalDigests& digests, bool wait,
                       std::chrono::steady_clock::time_point deadline) {
    if (state.done) return true;
    const std::vector<ManifestLine>& lines = state.read.lines;
    while (state.next < lines.size()) {
        if (!compareLine(lines[state.next], state, digests, wait)) return false;
        ++state.next;
        // The rest waits for the next frame once the slice is spent (at least one line a slice).
        if (!wait && state.next < lines.size() && std::chrono::steady_clock::now() >= deadline) return false;
    }
    // Every digest is in: no hashing task outlives the comparison.
    digests.endHashing();
    checkWhatFetchesWrite(state.plan);
    state.done = true;
    return true;
}

}  // namespace

bool ManifestComparison::step(std::chrono::milliseconds budget) {
    if (!state_) return true;
    return advanceComparison(*state_, digests_, false, std::chrono::steady_clock::now() + budget);
}

void ManifestComparison::finish() {
    if (state_) advanceComparison(*state_, digests_, true, std::chrono::steady_clock::time_point());
}

bool compareManifest(std::string manifest, LocalDigests& digests, Plan& plan) {
    ManifestComparison comparison(digests);
    if (!comparison.begin(std::move(manifest))) return false;
    comparison.finish();
    plan = comparison.plan();
    return true;
}

