// The command line of kib-manifest: what a game maker can ask for, with the defaults.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ManifestOptions {
    // The folder holding the game's files exactly as players should have them.
    std::string releaseFolder;
    // The address the updater fetches the files from ("http://host/path/").
    std::string baseAddress;
    // Where the server copy goes (files, ".gz" files and the manifest); empty: into the
    // release folder itself, the ".gz" files beside their originals.
    std::string outputFolder;
    // The manifest's file name inside the server copy.
    std::string manifestName = "manifest.txt";
    // Files smaller than this are never compressed.
    uint64_t compressMinSize = 4096;
    // A compressed copy is kept only when it saves at least this share of the size.
    int minSavingPercent = 10;
    // zlib's level; 6 is gzip's default.
    int compressionLevel = 6;
    bool compress = true;
    // Files of at least this size get a block map beside them, so that updaters fetch only
    // their changed blocks, and are served uncompressed as well.
    uint64_t deltaMinSize = 8u << 20;
    bool delta = true;
    // Glob patterns (fnmatch); a pattern without "/" matches any file or folder name, one with
    // "/" matches the whole relative path.
    std::vector<std::string> excludePatterns;
    // Files listed by name only: the updater creates them when missing and then leaves them
    // alone (settings the player edits, for example).
    std::vector<std::string> presencePatterns;
    // Files processed at the same time; 0 picks one per processor.
    int jobs = 0;
    // No progress line.
    bool quiet = false;
    // A minisign secret key: the manifest gets "<manifest name>.minisig" beside it.
    std::string signingKeyPath;
    // Days until the signature expires (0: never); only with signingKeyPath.
    int expiresInDays = 0;
    // The trusted comment's timestamp (Unix seconds) instead of the clock's (0); only with
    // signingKeyPath. Players refuse every later release signed with an earlier one.
    int64_t timestamp = 0;
    // Lets `timestamp` lie ahead of the clock: only to continue after a release signed with a
    // wrong clock, whose timestamp players now hold.
    bool allowFutureTimestamp = false;
    // Makes NAME.pub and NAME.key instead of publishing anything.
    std::string generateKeyName;
};

enum class ParseResult {
    // Run with the options.
    Run,
    // --help was asked for: print usageText() and exit with 0.
    Help,
    // --version was asked for: print the program's version and exit with 0.
    Version,
    // Bad command line: print the error and the usage, exit with 2.
    Invalid,
};

// Fills `options` from the arguments after the program name; `error` names the problem when
// the result is Invalid.
ParseResult parseArguments(const std::vector<std::string>& arguments, ManifestOptions& options,
                           std::string& error);
std::string usageText();
// True when `relativePath` (or, for a pattern without "/", any of its names) matches one of
// the patterns.
bool matchesAnyPattern(const std::vector<std::string>& patterns, const std::string& relativePath);
