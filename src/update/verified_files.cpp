// Reading, trusting and writing the record of verified files.
#include "update/verified_files.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

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

// Reads one whole decimal number from [position, end); false for anything else, including a
// sign or an empty field.
bool readNumber(const char* position, const char* end, uint64_t& out) {
    if (position >= end || end - position > 20) return false;
    out = 0;
    for (; position < end; ++position) {
        const char c = *position;
        if (c < '0' || c > '9') return false;
        const uint64_t next = out * 10 + uint64_t(c - '0');
        if (next / 10 != out) return false;
        out = next;
    }
    return true;
}

// "seconds.nanoseconds", nanoseconds with nine digits.
bool readTime(const char* begin, const char* end, int64_t& seconds, int32_t& nanoseconds) {
    const char* dot = static_cast<const char*>(std::memchr(begin, '.', size_t(end - begin)));
    uint64_t whole, fraction;
    if (!dot || end - dot - 1 != 9 || !readNumber(begin, dot, whole) || !readNumber(dot + 1, end, fraction) ||
        whole > uint64_t(INT64_MAX))
        return false;
    seconds = int64_t(whole);
    nanoseconds = int32_t(fraction);
    return true;
}

// "<md5> <size> <modified> <changed> <identity> <path>" in [line, end); the path is the rest of
// the line. An entry whose stamp could not vouch for its bytes has a "?" behind its digest.
// The path is left in [pathBegin, end).
bool readEntry(const char* line, const char* end, const char*& pathBegin, VerifiedFiles::Entry& entry) {
    const char* fields[6];
    const char* position = line;
    for (int i = 0; i < 5; ++i) {
        const char* space = static_cast<const char*>(std::memchr(position, ' ', size_t(end - position)));
        if (!space) return false;
        fields[i] = position;
        position = space + 1;
    }
    fields[5] = position;
    pathBegin = position;
    const char* digestEnd = fields[1] - 1;
    entry.vouched = !(digestEnd - fields[0] == long(kDigestLength + 1) && digestEnd[-1] == '?');
    if (!entry.vouched) --digestEnd;
    uint64_t size;
    if (pathBegin == end || digestEnd - fields[0] != long(kDigestLength) ||
        !readNumber(fields[1], fields[2] - 1, size) || size > uint64_t(INT64_MAX) ||
        !readTime(fields[2], fields[3] - 1, entry.stamp.modifiedSeconds, entry.stamp.modifiedNanoseconds) ||
        !readTime(fields[3], fields[4] - 1, entry.stamp.changedSeconds, entry.stamp.changedNanoseconds) ||
        !readNumber(fields[4], fields[5] - 1, entry.stamp.identity))
        return false;
    entry.stamp.size = int64_t(size);
    entry.md5.assign(fields[0], kDigestLength);
    return isDigest(entry.md5);
}

}  // namespace

namespace {

using Item = VerifiedFiles::Entries::value_type;

// The record's text for `sorted` (entries of one or more maps, in no order yet).
std::string formatItems(std::vector<const Item*>& sorted) {
    size_t pathBytes = 0;
    for (const Item* item : sorted) pathBytes += item->first.size();
    std::sort(sorted.begin(), sorted.end(), [](const auto* a, const auto* b) { return a->first < b->first; });
    std::string text;
    text.reserve(kHeader.size() + 1 + pathBytes + sorted.size() * 96 + kClosing.size() + kDigestLength + 1);
    text += kHeader;
    text += '\n';
    char line[256];
    for (const auto* item : sorted) {
        const VerifiedFiles::Entry& entry = item->second;
        const PlatformFileStamp& s = entry.stamp;
        const int length = std::snprintf(line, sizeof line, "%s%s %" PRId64 " %" PRId64 ".%09" PRId32 " %" PRId64 ".%09" PRId32 " %" PRIu64 " ",
                      entry.md5.c_str(), entry.vouched ? "" : "?", s.size, s.modifiedSeconds, s.modifiedNanoseconds, s.changedSeconds,
                      s.changedNanoseconds, s.identity);
        text.append(line, size_t(std::min(length, int(sizeof line) - 1)));
        text += item->first;
        text += '\n';
    }
    const std::string digest = digestOfText(text);
    text += kClosing;
    text += digest;
    text += '\n';
    return text;
}

}  // namespace

std::string VerifiedFiles::format(const Entries& entries) {
    std::vector<const Item*> items;
    items.reserve(entries.size());
    for (const Item& item : entries) items.push_back(&item);
    return formatItems(items);
}

namespace {

// Reads a record fed to it in pieces of any size, a line at a time through one reused buffer:
// no copy of the whole text and no allocation per line but the entry's own. The line last
// seen is held back until the next one shows it was not the closing line.
class RecordReader {
public:
    explicit RecordReader(VerifiedFiles::Entries& entries) : entries_(entries) { md5Init(body_); }

    // False once the text is seen to be damaged.
    bool feed(const char* data, size_t size) {
        const char* end = data + size;
        while (ok_ && data < end) {
            const char* feed = static_cast<const char*>(std::memchr(data, '\n', size_t(end - data)));
            if (!feed) {
                partial_.append(data, end);
                break;
            }
            if (partial_.empty()) {
                line(data, feed);
            } else {
                partial_.append(data, feed);
                line(partial_.data(), partial_.data() + partial_.size());
                partial_.clear();
            }
            data = feed + 1;
        }
        return ok_;
    }

    // Whether the text ended with its line feed, after a body that began with the header, in
    // a closing line that carries the body's digest.
    bool finish() {
        if (!ok_ || !partial_.empty() || !held_ || !headerSeen_) return false;
        uint8_t digest[16];
        md5Finish(body_, digest);
        return last_ == kClosing + md5ToText(digest);
    }

private:
    void line(const char* begin, const char* end) {
        if (held_) bodyLine();
        last_.assign(begin, end);
        held_ = true;
    }

    // The held line turned out to be part of the body: header or entry.
    void bodyLine() {
        last_ += '\n';
        md5Append(body_, reinterpret_cast<const uint8_t*>(last_.data()), int32_t(last_.size()));
        const char* begin = last_.data();
        const char* end = begin + last_.size() - 1;
        if (!headerSeen_) {
            headerSeen_ = true;
            ok_ = last_.compare(0, last_.size() - 1, kHeader) == 0;
            return;
        }
        const char* pathBegin = nullptr;
        VerifiedFiles::Entry entry;
        ok_ = readEntry(begin, end, pathBegin, entry) &&
              entries_.emplace(std::string(pathBegin, end), std::move(entry)).second;
    }

    VerifiedFiles::Entries& entries_;
    Md5State body_;
    // A line cut by the end of a piece, and the last whole line.
    std::string partial_;
    std::string last_;
    bool held_ = false;
    bool headerSeen_ = false;
    bool ok_ = true;
};

}  // namespace

bool VerifiedFiles::parse(const std::string& text, Entries& out) {
    Entries entries;
    RecordReader reader(entries);
    if (!reader.feed(text.data(), text.size()) || !reader.finish()) return false;
    out.swap(entries);
    return true;
}

void VerifiedFiles::load(const std::string& path) {
    loaded_.clear();
    keptCount_ = 0;
    // Read in pieces: a record of a million files is larger than the manifest that lists them.
    std::FILE* file = platformOpenFile(path, PlatformOpenMode::Read);
    RecordReader reader(loaded_);
    bool whole = file != nullptr;
    if (file) {
        // About a hundred bytes a line.
        const int64_t size = platformSeekFile(file, -1);
        if (size > 0) loaded_.reserve(size_t(size / 100));
        std::rewind(file);
        std::vector<char> piece(size_t(1) << 20);
        size_t got;
        while (whole && (got = std::fread(piece.data(), 1, piece.size(), file)) > 0) whole = reader.feed(piece.data(), got);
        whole = whole && !std::ferror(file) && reader.finish();
        std::fclose(file);
    }
    if (!whole) {
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

VerifiedFiles::Loaded VerifiedFiles::markUnchanged(const std::string& path, const PlatformFileStamp& stamp) {
    const auto found = loaded_.find(path);
    if (found == loaded_.end() || !found->second.vouched || !sameStamp(found->second.stamp, stamp)) return nullptr;
    found->second.unchanged = true;
    return &*found;
}

bool VerifiedFiles::takeUnchanged(const std::string& path, std::string& md5, Loaded entry) {
    if (!entry) {
        const auto found = loaded_.find(path);
        if (found == loaded_.end()) return false;
        entry = &*found;
    }
    if (!entry->second.unchanged) return false;
    FileVouch vouch;
    vouch.stamp = entry->second.stamp;
    vouch.trustworthy = true;
    md5 = entry->second.md5;
    noteFound(entry, path, vouch, md5);
    return true;
}

void VerifiedFiles::note(const std::string& path, const FileVouch& vouch, const std::string& md5) {
    const auto found = loaded_.find(path);
    noteFound(found == loaded_.end() ? nullptr : &*found, path, vouch, md5);
}

void VerifiedFiles::noteFound(Loaded found, const std::string& path, const FileVouch& vouch, const std::string& md5) {
    auto keep = [&](bool kept) {
        if (!found || found->second.kept == kept) return;
        found->second.kept = kept;
        keptCount_ += kept ? 1 : size_t(-1);
    };
    if (md5.empty()) {
        // Also what an earlier note of this run said: the file has changed since.
        keep(false);
        if (!noted_.empty()) noted_.erase(path);
        if (!placed_.empty()) placed_.erase(path);
        if (found) changed_ = true;
        return;
    }
    const bool placed = vouch.placed && vouch.trustworthy;
    if (placed)
        placed_.insert(path);
    else if (!placed_.empty())
        placed_.erase(path);
    const bool same = found && found->second.md5 == md5 &&
                      found->second.vouched == vouch.trustworthy && sameStamp(found->second.stamp, vouch.stamp);
    if (same) {
        // The usual case of a second start: nothing to copy.
        if (!noted_.empty()) noted_.erase(path);
        return keep(true);
    }
    keep(false);
    noted_[path] = Entry{vouch.stamp, md5, vouch.trustworthy};
    changed_ = true;
}

bool VerifiedFiles::save(const std::string& path, const std::string& temporaryPath) const {
    if (!changed_ && noted_.empty() && keptCount_ == loaded_.size()) return true;
    // A file renamed into place reached the disk before its rename; its new name does when its
    // folder is flushed, once for all the files renamed into that folder.
    std::vector<std::string> unflushed;
    std::map<std::string, bool> folders;
    for (const std::string& placed : placed_) {
        const std::string folder = directoryOf(placed);
        auto flushed = folders.find(folder);
        if (flushed == folders.end()) flushed = folders.emplace(folder, platformFlushFolder(folder)).first;
        if (!flushed->second) unflushed.push_back(placed);
    }
    makeDirectories(directoryOf(path));
    // Through the platform's file API: a link planted at either name is never written through.
    // A copy of the entries only in the rare run where a folder could not be flushed.
    std::vector<const Item*> items;
    items.reserve(noted_.size() + keptCount_);
    for (const Item& item : noted_) items.push_back(&item);
    for (const Item& item : loaded_)
        if (item.second.kept) items.push_back(&item);
    if (!unflushed.empty()) {
        // Rare: a folder that could not be flushed.
        std::unordered_set<std::string> left(unflushed.begin(), unflushed.end());
        items.erase(std::remove_if(items.begin(), items.end(), [&](const Item* item) { return left.count(item->first) > 0; }),
                    items.end());
    }
    return replaceWholeFile(path, temporaryPath, formatItems(items));
}
