// Reading, trusting and writing the record of verified files.
#include "update/verified_files.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string_view>
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
// No manifest names a longer path; a record that does is damaged.
constexpr size_t kMaxPathLength = 4096;

bool sameStamp(const PlatformFileStamp& a, const PlatformFileStamp& b) {
    return a.size == b.size && a.modifiedSeconds == b.modifiedSeconds &&
           a.modifiedNanoseconds == b.modifiedNanoseconds && a.changedSeconds == b.changedSeconds &&
           a.changedNanoseconds == b.changedNanoseconds && a.identity == b.identity;
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

// One entry as the record's line spells it.
struct Line {
    PlatformFileStamp stamp;
    uint8_t md5[16];
    bool vouched;
    std::string_view path;
};

// "<md5> <size> <modified> <changed> <identity> <path>" in [line, end); the path is the rest of
// the line. An entry whose stamp could not vouch for its bytes has a "?" behind its digest.
bool readEntry(const char* line, const char* end, Line& entry) {
    const char* fields[6];
    const char* position = line;
    for (int i = 0; i < 5; ++i) {
        const char* space = static_cast<const char*>(std::memchr(position, ' ', size_t(end - position)));
        if (!space) return false;
        fields[i] = position;
        position = space + 1;
    }
    fields[5] = position;
    const char* digestEnd = fields[1] - 1;
    entry.vouched = !(digestEnd - fields[0] == long(kDigestLength + 1) && digestEnd[-1] == '?');
    if (!entry.vouched) --digestEnd;
    uint64_t size;
    if (position == end || size_t(end - position) > kMaxPathLength || !md5FromText(fields[0], size_t(digestEnd - fields[0]), entry.md5) ||
        !readNumber(fields[1], fields[2] - 1, size) || size > uint64_t(INT64_MAX) ||
        !readTime(fields[2], fields[3] - 1, entry.stamp.modifiedSeconds, entry.stamp.modifiedNanoseconds) ||
        !readTime(fields[3], fields[4] - 1, entry.stamp.changedSeconds, entry.stamp.changedNanoseconds) ||
        !readNumber(fields[4], fields[5] - 1, entry.stamp.identity))
        return false;
    entry.stamp.size = int64_t(size);
    entry.path = std::string_view(position, size_t(end - position));
    return true;
}

// Writes a record's text a line at a time, with the digest of what it wrote in its closing
// line, to a stream in blocks or to a string.
class RecordWriter {
public:
    RecordWriter(std::FILE* file, std::string* text) : file_(file), text_(text) {
        md5Init(body_);
        append(kHeader.data(), kHeader.size());
        append("\n", 1);
    }
    void line(std::string_view path, const PlatformFileStamp& s, const uint8_t md5[16], bool vouched) {
        char digest[33];
        md5ToChars(md5, digest);
        char line[160];
        const int length = std::snprintf(line, sizeof line, "%s%s %" PRId64 " %" PRId64 ".%09" PRId32 " %" PRId64 ".%09" PRId32 " %" PRIu64 " ",
                                         digest, vouched ? "" : "?", s.size, s.modifiedSeconds, s.modifiedNanoseconds,
                                         s.changedSeconds, s.changedNanoseconds, s.identity);
        append(line, size_t(std::min(length, int(sizeof line) - 1)));
        append(path.data(), path.size());
        append("\n", 1);
    }
    // Writes the closing line; false when the stream failed.
    bool finish() {
        uint8_t digest[16];
        md5Finish(body_, digest);
        const std::string closing = kClosing + md5ToText(digest) + "\n";
        pending_ += closing;
        flush();
        return ok_;
    }

private:
    void append(const char* data, size_t size) {
        md5Append(body_, reinterpret_cast<const uint8_t*>(data), int32_t(size));
        pending_.append(data, size);
        if (pending_.size() >= kBlock) flush();
    }
    void flush() {
        if (text_) *text_ += pending_;
        else ok_ = ok_ && std::fwrite(pending_.data(), 1, pending_.size(), file_) == pending_.size();
        pending_.clear();
    }

    static constexpr size_t kBlock = size_t(64) << 10;
    std::FILE* file_;
    std::string* text_;
    std::string pending_;
    Md5State body_;
    bool ok_ = true;
};

// Reads a record fed to it in pieces of any size, a line at a time through one reused buffer:
// no copy of the whole text and no allocation per line. Each entry goes to `add(const Line&)`,
// which says false for a path met before. The line last seen is held back until the next one
// shows it was not the closing line.
template <typename Add>
class RecordReader {
public:
    explicit RecordReader(Add add) : add_(add) { md5Init(body_); }

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
        Line entry;
        ok_ = readEntry(begin, end, entry) && add_(entry);
    }

    Add add_;
    Md5State body_;
    // A line cut by the end of a piece, and the last whole line.
    std::string partial_;
    std::string last_;
    bool held_ = false;
    bool headerSeen_ = false;
    bool ok_ = true;
};

template <typename Add>
RecordReader<Add> readerInto(Add add) {
    return RecordReader<Add>(add);
}

}  // namespace

std::string VerifiedFiles::format(const Entries& entries) {
    std::string text;
    RecordWriter writer(nullptr, &text);
    for (const auto& [path, entry] : entries) {
        uint8_t md5[16] = {};
        md5FromText(entry.md5.data(), entry.md5.size(), md5);
        writer.line(path, entry.stamp, md5, entry.vouched);
    }
    writer.finish();
    return text;
}

bool VerifiedFiles::parse(const std::string& text, Entries& out) {
    Entries entries;
    auto reader = readerInto([&](const Line& line) {
        return entries.emplace(std::string(line.path), Entry{line.stamp, md5ToText(line.md5), line.vouched}).second;
    });
    if (!reader.feed(text.data(), text.size()) || !reader.finish()) return false;
    out.swap(entries);
    return true;
}

void VerifiedFiles::load(const std::string& path, size_t moreEntries, size_t morePathBytes) {
    *this = VerifiedFiles();
    // Read in pieces: a record of a million files is larger than the manifest that lists them.
    std::FILE* file = platformOpenFile(path, PlatformOpenMode::Read);
    auto reader = readerInto([&](const Line& line) {
        // Beyond what the slots can number: no record the updater writes.
        if (names_.size() + line.path.size() > UINT32_MAX || slots_.size() >= kNone - 1) return false;
        const Handle entry = add(line.path, line.stamp, line.md5, uint8_t(kLoaded | (line.vouched ? kVouched : 0)));
        if (index_.insert(entry, nameOf()) == PathIndex::kNone) return true;
        slots_.pop_back();
        return false;
    });
    bool whole = file != nullptr;
    if (file) {
        // About a hundred bytes a line (and a path of twenty): room for a few more, as the run
        // adds what it installs, but no copy of the slots that a guess too large would cost.
        const int64_t size = platformSeekFile(file, -1);
        if (size > 0 && size < int64_t(1) << 40) {
            reserve(size_t(size / 100) + moreEntries, size_t(size / 5) + morePathBytes);
            // The index's slots are all written at once: sized for the larger of the two alone
            // (a run mostly notes again what the record holds).
            index_.reserve(std::max(size_t(size / 100), moreEntries));
        }
        std::rewind(file);
        std::vector<char> piece(size_t(1) << 20);
        size_t got;
        while (whole && (got = std::fread(piece.data(), 1, piece.size(), file)) > 0) whole = reader.feed(piece.data(), got);
        whole = whole && !std::ferror(file) && reader.finish();
        std::fclose(file);
    }
    if (!whole) {
        *this = VerifiedFiles();
        reserve(moreEntries, morePathBytes);
        index_.reserve(moreEntries);
        // Writing a record anew is what repairs a damaged one.
        changed_ = true;
        return;
    }
    loadedCount_ = slots_.size();
}

void VerifiedFiles::reserve(size_t entries, size_t pathBytes) {
    if (entries > slots_.size()) slots_.reserve(entries);
    if (pathBytes > names_.size()) names_.reserve(pathBytes);
}

std::string_view VerifiedFiles::pathOf(Handle entry) const {
    const Slot& slot = slots_[entry];
    return std::string_view(names_.data() + slot.pathAt, slot.pathLength);
}

VerifiedFiles::Handle VerifiedFiles::find(std::string_view path) const { return index_.find(path, nameOf()); }

VerifiedFiles::Handle VerifiedFiles::add(std::string_view path, const PlatformFileStamp& stamp, const uint8_t md5[16],
                                         uint8_t flags) {
    Slot slot;
    slot.stamp = PackedStamp(stamp);
    std::memcpy(slot.md5, md5, sizeof slot.md5);
    slot.pathAt = uint32_t(names_.size());
    slot.pathLength = uint16_t(path.size());
    slot.flags = flags;
    names_.append(path.data(), path.size());
    slots_.push_back(slot);
    return Handle(slots_.size() - 1);
}

std::string VerifiedFiles::trustedDigest(std::string_view path, const PlatformFileStamp& stamp) const {
    const Handle entry = unchangedEntry(path, stamp);
    return entry == kNone ? std::string() : md5ToText(slots_[entry].md5);
}

bool VerifiedFiles::recorded(std::string_view path, const PlatformFileStamp& stamp, Found& out) const {
    const Handle entry = find(path);
    if (entry == kNone || !wasLoaded(entry) || !sameStamp(slots_[entry].stamp.unpacked(), stamp)) return false;
    const Slot& slot = slots_[entry];
    md5ToChars(slot.md5, out.md5);
    out.path = pathOf(entry);
    out.stamp = slot.stamp.unpacked();
    out.vouched = (slot.flags & kVouched) != 0;
    return true;
}

VerifiedFiles::Handle VerifiedFiles::unchangedEntry(std::string_view path, const PlatformFileStamp& stamp,
                                                    Handle guess) const {
    const Handle entry = guess < slots_.size() && pathOf(guess) == path ? guess : find(path);
    if (entry == kNone) return kNone;
    const Slot& slot = slots_[entry];
    if (!(slot.flags & kLoaded) || !(slot.flags & kVouched) || !sameStamp(slot.stamp.unpacked(), stamp)) return kNone;
    return entry;
}

bool VerifiedFiles::takeUnchanged(std::string_view path, std::string& md5, Handle entry) {
    if (entry == kNone) entry = find(path);
    if (entry == kNone || !(slots_[entry].flags & kUnchanged)) return false;
    // Noted again as it stands: kept as it was loaded.
    md5 = md5ToText(slots_[entry].md5);
    slots_[entry].flags &= uint8_t(~kPlaced);
    setNoted(slots_[entry], true);
    return true;
}

bool VerifiedFiles::notedDigest(std::string_view path, std::string& md5) const {
    const Handle entry = find(path);
    if (entry == kNone || !(slots_[entry].flags & kNoted)) return false;
    md5 = md5ToText(slots_[entry].md5);
    return true;
}

void VerifiedFiles::setNoted(Slot& slot, bool noted) {
    if (bool(slot.flags & kNoted) == noted) return;
    slot.flags = uint8_t(noted ? slot.flags | kNoted : slot.flags & ~kNoted);
    if (slot.flags & kLoaded) keptCount_ += noted ? 1 : size_t(-1);
}

void VerifiedFiles::note(std::string_view path, const FileVouch& vouch, const std::string& md5) {
    Handle entry = find(path);
    if (md5.empty()) {
        // Also what an earlier note of this run said: the file has changed since.
        if (entry == kNone) return;
        Slot& slot = slots_[entry];
        if (slot.flags & kLoaded) changed_ = true;
        setNoted(slot, false);
        slot.flags &= uint8_t(~kPlaced);
        return;
    }
    uint8_t digest[16];
    if (!md5FromText(md5.data(), md5.size(), digest)) return;
    const uint8_t placed = vouch.placed && vouch.trustworthy ? kPlaced : 0;
    const uint8_t vouched = vouch.trustworthy ? kVouched : 0;
    if (entry == kNone) {
        if (slots_.size() >= kNone - 1 || path.size() > kMaxPathLength) return;
        entry = add(path, vouch.stamp, digest, uint8_t(kNoted | placed | vouched));
        index_.insert(entry, nameOf());
        changed_ = true;
        return;
    }
    Slot& slot = slots_[entry];
    const bool same = std::memcmp(slot.md5, digest, sizeof digest) == 0 && (slot.flags & kVouched) == vouched &&
                      sameStamp(slot.stamp.unpacked(), vouch.stamp);
    // The usual case of a second start: nothing changes. Otherwise the entry takes what was
    // noted last; the record is written anew.
    if (!same) {
        slot.stamp = PackedStamp(vouch.stamp);
        std::memcpy(slot.md5, digest, sizeof digest);
        slot.flags = uint8_t((slot.flags & ~kVouched) | vouched);
        changed_ = true;
    }
    slot.flags = uint8_t((slot.flags & ~kPlaced) | placed);
    setNoted(slot, true);
}

bool VerifiedFiles::save(const std::string& path, const std::string& temporaryPath) const {
    if (!changed_ && keptCount_ == loadedCount_) return true;
    // A file renamed into place reached the disk before its rename; its new name does when its
    // folder is flushed, once for all the files renamed into that folder.
    std::map<std::string, bool> folders;
    std::vector<Handle> written;
    for (Handle entry = 0; entry < slots_.size(); ++entry) {
        const Slot& slot = slots_[entry];
        if (!(slot.flags & kNoted)) continue;
        if (slot.flags & kPlaced) {
            const std::string folder = directoryOf(std::string(pathOf(entry)));
            auto flushed = folders.find(folder);
            if (flushed == folders.end()) flushed = folders.emplace(folder, platformFlushFolder(folder)).first;
            // Rare: a folder that could not be flushed; its file is left out.
            if (!flushed->second) continue;
        }
        written.push_back(entry);
    }
    std::sort(written.begin(), written.end(), [this](Handle a, Handle b) { return pathOf(a) < pathOf(b); });
    makeDirectories(directoryOf(path));
    // Through the platform's file API: a link planted at either name is never written through.
    return replaceWholeFileWith(path, temporaryPath, [&](std::FILE* file) {
        RecordWriter writer(file, nullptr);
        for (Handle entry : written) {
            const Slot& slot = slots_[entry];
            writer.line(pathOf(entry), slot.stamp.unpacked(), slot.md5, (slot.flags & kVouched) != 0);
        }
        return writer.finish();
    });
}
