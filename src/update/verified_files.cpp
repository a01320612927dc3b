// Reading, trusting and writing the record of verified files.
#include "update/verified_files.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "util/file_system.h"
#include "util/md5.h"
#include "util/strings.h"

namespace {

// The kind of record: 2 holds only stamps their verifiers took before the hash that matched.
// Records of kind 1 paired digests with stamps taken later, and are read as damaged.
const std::string kHeader = "kib verified files 2";
// The closing line carries the digest of everything before it: a record cut short or changed
// by a disk error is seen as damaged.
const std::string kClosing = "end ";
constexpr size_t kDigestLength = 32;

std::string digestOfText(const std::string& text) {
    Md5State state;
    uint8_t digest[16];
    md5Init(state);
    md5Append(state, reinterpret_cast<const uint8_t*>(text.data()), int32_t(text.size()));
    md5Finish(state, digest);
    return md5ToText(digest);
}

bool sameStamp(const PlatformFileStamp& a, const PlatformFileStamp& b) {
    return a.size == b.size && a.modifiedSeconds == b.modifiedSeconds &&
           a.modifiedNanoseconds == b.modifiedNanoseconds && a.changedSeconds == b.changedSeconds &&
           a.changedNanoseconds == b.changedNanoseconds && a.identity == b.identity;
}

bool isDigest(const std::string& text) {
    if (text.size() != kDigestLength) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

// Reads one whole decimal number from `text` at `position` up to `end` (exclusive); false for
// anything else, including a sign or an empty field.
bool readNumber(const std::string& text, size_t position, size_t end, uint64_t& out) {
    if (position >= end || end - position > 20) return false;
    out = 0;
    for (size_t i = position; i < end; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return false;
        const uint64_t next = out * 10 + uint64_t(c - '0');
        if (next / 10 != out) return false;
        out = next;
    }
    return true;
}

// "seconds.nanoseconds", nanoseconds with nine digits.
bool readTime(const std::string& field, int64_t& seconds, int32_t& nanoseconds) {
    const size_t dot = field.find('.');
    uint64_t whole, fraction;
    if (dot == std::string::npos || field.size() - dot - 1 != 9 || !readNumber(field, 0, dot, whole) ||
        !readNumber(field, dot + 1, field.size(), fraction) || whole > uint64_t(INT64_MAX))
        return false;
    seconds = int64_t(whole);
    nanoseconds = int32_t(fraction);
    return true;
}

// "<md5> <size> <modified> <changed> <identity> <path>"; the path is the rest of the line. An
// entry whose stamp could not vouch for its bytes has a "?" behind its digest.
bool readEntry(const std::string& line, std::string& path, VerifiedFiles::Entry& entry) {
    std::string fields[5];
    size_t position = 0;
    for (std::string& field : fields) {
        const size_t space = line.find(' ', position);
        if (space == std::string::npos) return false;
        field = line.substr(position, space - position);
        position = space + 1;
    }
    path = line.substr(position);
    uint64_t size;
    entry.vouched = fields[0].size() != kDigestLength + 1 || fields[0].back() != '?';
    if (!entry.vouched) fields[0].pop_back();
    if (path.empty() || !isDigest(fields[0]) || !readNumber(fields[1], 0, fields[1].size(), size) ||
        size > uint64_t(INT64_MAX) ||
        !readTime(fields[2], entry.stamp.modifiedSeconds, entry.stamp.modifiedNanoseconds) ||
        !readTime(fields[3], entry.stamp.changedSeconds, entry.stamp.changedNanoseconds) ||
        !readNumber(fields[4], 0, fields[4].size(), entry.stamp.identity))
        return false;
    entry.stamp.size = int64_t(size);
    entry.md5 = fields[0];
    return true;
}

}  // namespace

std::string VerifiedFiles::format(const Entries& entries) {
    std::string text = kHeader + "\n";
    char line[256];
    for (const auto& [path, entry] : entries) {
        const PlatformFileStamp& s = entry.stamp;
        std::snprintf(line, sizeof line, "%s%s %" PRId64 " %" PRId64 ".%09" PRId32 " %" PRId64 ".%09" PRId32 " %" PRIu64 " ",
                      entry.md5.c_str(), entry.vouched ? "" : "?", s.size, s.modifiedSeconds, s.modifiedNanoseconds, s.changedSeconds,
                      s.changedNanoseconds, s.identity);
        text += line + path + "\n";
    }
    return text + kClosing + digestOfText(text) + "\n";
}

bool VerifiedFiles::parse(const std::string& text, Entries& out) {
    // The closing line is the last one, and nothing follows its line feed.
    if (text.empty() || text.back() != '\n') return false;
    const size_t closing = text.rfind('\n', text.size() - 2);
    if (closing == std::string::npos) return false;
    const std::string body = text.substr(0, closing + 1);
    if (text.compare(closing + 1, std::string::npos, kClosing + digestOfText(body) + "\n") != 0)
        return false;
    StringList lines;
    split(lines, body.substr(0, body.size() - 1), "\n");
    if (lines.empty() || lines.front() != kHeader) return false;
    Entries entries;
    for (size_t i = 1; i < lines.size(); ++i) {
        std::string path;
        Entry entry;
        if (!readEntry(lines[i], path, entry) || !entries.emplace(path, entry).second) return false;
    }
    out.swap(entries);
    return true;
}

void VerifiedFiles::load(const std::string& path) {
    loaded_.clear();
    std::string text;
    if (!readWholeFile(text, path) || !parse(text, loaded_)) {
        loaded_.clear();
        // Writing a record anew is what repairs a damaged one.
        changed_ = true;
    }
}

std::string VerifiedFiles::trustedDigest(const std::string& path, const PlatformFileStamp& stamp) const {
    const auto found = loaded_.find(path);
    if (found == loaded_.end() || !found->second.vouched || !sameStamp(found->second.stamp, stamp)) return std::string();
    return found->second.md5;
}

const VerifiedFiles::Entry* VerifiedFiles::recorded(const std::string& path, const PlatformFileStamp& stamp) const {
    const auto found = loaded_.find(path);
    return found != loaded_.end() && sameStamp(found->second.stamp, stamp) ? &found->second : nullptr;
}

void VerifiedFiles::note(const std::string& path, const FileVouch& vouch, const std::string& md5) {
    const auto found = loaded_.find(path);
    if (md5.empty()) {
        // Also what an earlier note of this run said: the file has changed since.
        noted_.erase(path);
        placed_.erase(path);
        if (found != loaded_.end()) changed_ = true;
        return;
    }
    noted_[path] = Entry{vouch.stamp, md5, vouch.trustworthy};
    if (vouch.placed && vouch.trustworthy)
        placed_.insert(path);
    else
        placed_.erase(path);
    if (found == loaded_.end() || found->second.md5 != md5 || found->second.vouched != vouch.trustworthy ||
        !sameStamp(found->second.stamp, vouch.stamp))
        changed_ = true;
}

bool VerifiedFiles::save(const std::string& path, const std::string& temporaryPath) const {
    if (!changed_ && noted_.size() == loaded_.size()) return true;
    // A file renamed into place reached the disk before its rename; its new name does when its
    // folder is flushed, once for all the files renamed into that folder.
    Entries vouched = noted_;
    std::map<std::string, bool> folders;
    for (const std::string& placed : placed_) {
        const std::string folder = directoryOf(placed);
        auto flushed = folders.find(folder);
        if (flushed == folders.end()) flushed = folders.emplace(folder, platformFlushFolder(folder)).first;
        if (!flushed->second) vouched.erase(placed);
    }
    makeDirectories(directoryOf(path));
    // Through the platform's file API: a link planted at either name is never written through.
    return replaceWholeFile(path, temporaryPath, format(vouched));
}
