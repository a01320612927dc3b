// The text of a manifest as the updater reads it: a "master:" line, then one line per file.
#pragma once

#include <string>
#include <vector>

enum class EntryKind {
    // "path": fetched only when missing, never verified or replaced.
    Presence,
    // "path:md5": fetched when missing or different, verified after the download.
    Digest,
    // "path.gz:md5<gzMd5": the ".gz" copy is fetched, verified and unpacked into path.
    Compressed,
};

struct PublishedEntry {
    // The file's path in the game's folder, "/"-separated (without the ".gz" of its copy).
    std::string path;
    EntryKind kind = EntryKind::Digest;
    // Digest of the file as the game has it (empty for a presence entry).
    std::string md5;
    // Digest of the ".gz" copy on the server (compressed entries only).
    std::string gzMd5;
};

// One line without its line feed.
std::string manifestLine(const PublishedEntry& entry);
// "master:" + base address, then the entries' lines in the order given, each ending in "\n".
std::string manifestText(const std::string& baseAddress, const std::vector<PublishedEntry>& entries);
