// The manifest: reading the local copy and comparing every listed file with the game's folder.
// Main thread only; runs inside the manifest's delivery, with the manager's finishedLock held.
#pragma once

#include <string>

// Local copy of the manifest, relative to the game's folder; it lives only for one run.
extern const char* const kManifestCopyPath;

// Hands one file that must be fetched to the download service: its address, the path it is
// written to (with ".gz" for a compressed line), the digest the download must have (empty for
// none) and, for a compressed line, the digest the file must have once unpacked (empty
// otherwise). In the updater this is queueFile.
using FileQueuer = void (*)(const std::string& url, const std::string& localPath,
                            const std::string& expectedMd5, const std::string& unpackedMd5);

// Reads "manifest.txt" and compares it with the folder (compareManifest with queueFile).
// False, with nothing logged of its own, when the copy is missing or empty; false after
// "\tMalformed manifest file\n" when it is malformed. At its successful end the phase becomes
// UpToDate when nothing was queued.
bool parseManifest();

// The comparison over manifest text already read: logs one line per compared file and hands
// every missing or stale file to `queue`. A file line before any non-empty "master:" prefix,
// or naming a path that would reach outside the folder, makes the manifest malformed: it ends
// the comparison at once (files queued by earlier lines stay queued) and returns false.
bool compareManifest(const std::string& manifest, FileQueuer queue);
