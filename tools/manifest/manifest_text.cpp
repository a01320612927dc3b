// Writing manifest lines.
#include "manifest/manifest_text.h"

std::string manifestLine(const PublishedEntry& entry) {
    switch (entry.kind) {
    case EntryKind::Presence:
        return entry.path;
    case EntryKind::Digest:
        return entry.path + ":" + entry.md5;
    case EntryKind::Compressed:
        return entry.path + ".gz:" + entry.md5 + "<" + entry.gzMd5;
    }
    return entry.path;
}

std::string manifestText(const std::string& baseAddress, const std::vector<PublishedEntry>& entries) {
    std::string text = "master:" + baseAddress + "\n";
    for (const PublishedEntry& entry : entries) text += manifestLine(entry) + "\n";
    return text;
}
