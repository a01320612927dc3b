// The manifest: reading the local copy and comparing every listed file with the game's folder.
// Main thread only; runs inside the manifest's delivery, with the manager's finishedLock held.
#pragma once

#include <cstddef>
#include <string>

// Limits no real game meets; a manifest past any of them is refused as a whole.
constexpr size_t kMaxManifestBytes = size_t(64) << 20;
constexpr size_t kMaxManifestLineLength = 4096;
constexpr size_t kMaxManifestPathLength = 1024;
// Levels of a path ("a/b/c" has three).
constexpr size_t kMaxManifestPathDepth = 64;

// Hands one file that must be fetched to the download service: its address, the path it is
// written to (with ".gz" for a compressed line), the digest the download must have (empty for
// none) and, for a compressed line, the digest the file must have once unpacked (empty
// otherwise). In the updater this is queueFile.
using FileQueuer = void (*)(const std::string& url, const std::string& localPath,
                            const std::string& expectedMd5, const std::string& unpackedMd5);
// Fails the file at `localPath`, of which something other than a regular file stands at a name
// the update would read or write. In the updater this is refuseFile, which ends the run.
using FileRefuser = void (*)(const std::string& localPath);

// Reads "manifest.txt" (at most kMaxManifestBytes) and compares it with the folder
// (compareManifest with queueFile and refuseFile). False, with nothing logged of its own, when
// the copy is missing or empty; false after a line saying why when it is too large or
// malformed. At its successful end the phase becomes UpToDate when nothing was queued.
bool parseManifest();

// The comparison over manifest text already read, in two passes. The first reads every line
// and refuses the whole manifest, before anything in the folder is looked at, for: a line
// longer than kMaxManifestLineLength, a file line before any non-empty "master:" prefix, a
// digest that is not 32 hexadecimal digits (letters of either case; compared lower-cased), a
// path that would reach outside the folder, is longer or deeper than the limits or is one of
// the updater's own names (own_files.h), and two lines that would write one name (such as "x"
// and "x.gz"). It then logs "\tLine %lu refused: %s\n" and "\tMalformed manifest file\n" and
// returns false. The second pass logs one line per compared file, and only once every file is
// compared, hands every missing or stale one to `queue`; when something other than a regular
// file stands at a name one of them would use, it logs that name, calls `refuse` (when given)
// with the file's path instead, queues nothing and returns false. Time linear in the text.
bool compareManifest(const std::string& manifest, FileQueuer queue, FileRefuser refuse = nullptr);
