// The manifest: reading the local copy and comparing every listed file with the game's folder.
// One thread (the run's).
#pragma once

#include <chrono>
#include <functional>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>


class LocalDigests;

// Limits no real game meets; a manifest past any of them is refused as a whole.
constexpr size_t kMaxManifestBytes = size_t(64) << 20;
constexpr size_t kMaxManifestLineLength = 4096;
constexpr size_t kMaxManifestPathLength = 1024;
// Levels of a path ("a/b/c" has three).
constexpr size_t kMaxManifestPathDepth = 64;

// One file that must be fetched: its address, the path it is written to (with ".gz" for a
// compressed line), the digest the download must have (empty for none) and, for a compressed
// line, the digest the file must have once unpacked (empty otherwise).
struct PlannedFetch {
    std::string url;
    std::string localPath;
    std::string expectedMd5;
    std::string unpackedMd5;
    // The file of the game's folder the fetch ends in: a ".gz" is unpacked into its name without
    // the suffix, any other download is the file itself.
    std::string finalPath() const;
    // The digest that file must have (empty for a presence line).
    const std::string& finalMd5() const;
    bool operator==(const PlannedFetch& other) const {
        return url == other.url && localPath == other.localPath && expectedMd5 == other.expectedMd5 &&
               unpackedMd5 == other.unpackedMd5;
    }
};

// What the comparison decided.
struct Plan {
    // Every missing or stale file, in manifest order, each path once.
    std::vector<PlannedFetch> fetches;
    // Something other than a regular file stands at a name one of the fetches would use: that
    // fetch's path. Nothing may then be fetched, nor anything done to what stands there.
    std::string refusedPath;
};

// The comparison of a manifest with the game's folder, a slice at a time, so that the window
// keeps answering while the game's files are hashed.
class ManifestComparison {
public:
    // Digests of the local files come from `digests`, which must outlive this.
    explicit ManifestComparison(LocalDigests& digests);
    ~ManifestComparison();
    ManifestComparison(const ManifestComparison&) = delete;
    ManifestComparison& operator=(const ManifestComparison&) = delete;

    // The first pass over the manifest's text: every line is read and checked before anything
    // in the folder is looked at, and the whole manifest is refused for a line longer than
    // kMaxManifestLineLength, a file line before any non-empty "master:" prefix, a digest that
    // is not 32 hexadecimal digits (letters of either case; compared lower-cased), a path that
    // would reach outside the folder, is longer or deeper than the limits or is one of the
    // updater's own names (own_files.h), and two lines that would write one name (such as "x"
    // and "x.gz"). It then logs "\tLine %lu refused: %s\n" and "\tMalformed manifest file\n"
    // and returns false; an empty text is refused without a line. Otherwise it starts hashing
    // the files the record of verified files cannot vouch for, and returns true. Time linear
    // in the text.
    // The text is taken and let go of once its lines are read, before the record is.
    bool begin(std::string manifest);
    // The second pass: compares lines in order, logging one line per compared file, until
    // `budget` is spent or the next line's file is still being hashed. True once every line is
    // compared: the plan is then final (every name a fetch will write looked at).
    bool step(std::chrono::milliseconds budget);
    // Compares every line left, waiting for the hashing where it must.
    void finish();
    // Stops the hashing at once; logs "\tComparison stopped" when lines were left to compare.
    void stop();
    const Plan& plan() const;
    // Calls `visit` with the file of the folder each file line names (a compressed line's
    // unpacked file), in manifest order: what the new release keeps.
    void forEachListedFile(const std::function<void(std::string_view)>& visit) const;

    struct State;

private:
    LocalDigests& digests_;
    std::unique_ptr<State> state_;
};

// The whole comparison at once, waiting for the hashing: begin, then steps until the plan is
// final. False when begin refuses the manifest.
bool compareManifest(std::string manifest, LocalDigests& digests, Plan& plan);
