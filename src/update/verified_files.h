// The record of verified files: what earlier runs verified, by hashing or by downloading, so that
// a file the file system shows unchanged is taken at its recorded digest without being read.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "util/file_vouch.h"
#include "util/path_index.h"

// One run's view of the record: the entries read at its start and the ones it verifies, held
// compactly (one block of names, a fixed-size slot and an index slot per file: about a hundred
// bytes a file), so that a record of a million files fits beside the manifest that lists them.
// Not thread-safe: the update engine uses it on the main thread only.
class VerifiedFiles {
public:
    // An entry, as lookups hand it out; valid until the next load.
    using Handle = uint32_t;
    static constexpr Handle kNone = PathIndex::kNone;

    // Reads the record at `path`. A missing, unreadable or damaged record (one whose closing
    // line is missing or does not match what precedes it, or one of an older kind) leaves no
    // entry at all, so every file is hashed: never a failure. With room for `moreEntries` to be
    // noted, of `morePathBytes` of paths.
    void load(const std::string& path, size_t moreEntries = 0, size_t morePathBytes = 0);
    // The digest recorded for `path` when the file, as `stamp` shows it now, is exactly as it
    // was recorded and its vouch was trustworthy. Otherwise empty: the file must be hashed.
    std::string trustedDigest(std::string_view path, const PlatformFileStamp& stamp) const;
    // Keeps `path` with the stamp its verifier vouched for and its digest for the next save. A
    // vouch that is not trustworthy keeps the entry as one to hash before it is believed (the
    // updater still knows which bytes it verified there: a later release that drops the file
    // may remove it once a hash shows them unchanged); an empty digest drops the file. The
    // record holds only what the run noted: a file the manifest no longer lists drops out.
    void note(std::string_view path, const FileVouch& vouch, const std::string& md5);
    // Writes the noted entries to `temporaryPath`, flushed, and renames that over `path`, so
    // the record on disk is always whole; the text is written as it is made, never held whole.
    // Before that, the folders of files this run renamed into place are flushed, so that the
    // record never reaches the disk before the files it vouches for (a file whose folder cannot
    // be flushed is left out). Writes nothing when the record would stay as it was. False when
    // the record could not be written; the old one then stays, and the next run trusts it no
    // more than before.
    bool save(const std::string& path, const std::string& temporaryPath) const;

    // The entry that vouches for `path` as trustedDigest would: kNone when the file must be
    // hashed. Any number of threads at once, while nothing changes the record. `guess`, the
    // entry likely to be `path`'s, is looked at first: a list in the record's order (as
    // manifests mostly are) is then read from one entry to the next, not all over the index.
    Handle unchangedEntry(std::string_view path, const PlatformFileStamp& stamp, Handle guess = kNone) const;
    // Marks `entry` (from unchangedEntry) as found unchanged by this run, for takeUnchanged.
    void markUnchanged(Handle entry) { slots_[entry].flags |= kUnchanged; }
    // For a file markUnchanged found (`entry`, or looked up by `path` when kNone): notes it again
    // as it stands (as note would) and sets `md5` to its digest. False, nothing done, for any
    // other path.
    bool takeUnchanged(std::string_view path, std::string& md5, Handle entry = kNone);
    // The digest this run noted for `path` (found unchanged, hashed or written), when it did.
    bool notedDigest(std::string_view path, std::string& md5) const;
    std::string_view pathOf(Handle entry) const;
    // The entry for `path`, read at load or noted since; kNone when there is none.
    Handle entryOf(std::string_view path) const { return find(path); }

    // What a lookup tells of one entry.
    struct Found {
        std::string_view path;
        // 32 hexadecimal digits.
        char md5[33];
        PlatformFileStamp stamp;
        // The stamp could vouch for the bytes; otherwise they must be hashed to be believed.
        bool vouched;
    };
    // The entry read at load for `path` when the file, as `stamp` shows it now, has exactly the
    // recorded stamp, vouched for or not. False otherwise.
    bool recorded(std::string_view path, const PlatformFileStamp& stamp, Found& out) const;

    // Entries are numbered from 0 to size() - 1, read at load or noted since.
    size_t size() const { return slots_.size(); }
    const uint8_t* digestOf(Handle entry) const { return slots_[entry].md5; }
    // Read at load (and noted since as it may have been).
    bool wasLoaded(Handle entry) const { return (slots_[entry].flags & kLoaded) != 0; }
    // This run noted it: found unchanged, hashed or written.
    bool wasNoted(Handle entry) const { return (slots_[entry].flags & kNoted) != 0; }

    // The record's text for a few entries, and the entries of such a text (false, nothing kept,
    // for a damaged one): what the tests and tools read and write. The lines are written in the
    // order of their paths' bytes (as every record was).
    struct Entry {
        PlatformFileStamp stamp;
        std::string md5;
        bool vouched = true;
    };
    using Entries = std::map<std::string, Entry>;
    static std::string format(const Entries& entries);
    static bool parse(const std::string& text, Entries& out);

    // Bits of Slot::flags.
    enum : uint8_t { kVouched = 1, kLoaded = 2, kNoted = 4, kUnchanged = 8, kPlaced = 16 };
    // A stamp without the padding between its fields: a slot takes 64 bytes.
    struct PackedStamp {
        int64_t size, modifiedSeconds, changedSeconds;
        uint64_t identity;
        int32_t modifiedNanoseconds, changedNanoseconds;

        PackedStamp() = default;
        explicit PackedStamp(const PlatformFileStamp& s)
            : size(s.size), modifiedSeconds(s.modifiedSeconds), changedSeconds(s.changedSeconds), identity(s.identity),
              modifiedNanoseconds(s.modifiedNanoseconds), changedNanoseconds(s.changedNanoseconds) {}
        PlatformFileStamp unpacked() const {
            PlatformFileStamp s;
            s.size = size, s.modifiedSeconds = modifiedSeconds, s.modifiedNanoseconds = modifiedNanoseconds;
            s.changedSeconds = changedSeconds, s.changedNanoseconds = changedNanoseconds, s.identity = identity;
            return s;
        }
    };
    struct Slot {
        PackedStamp stamp;
        uint8_t md5[16];
        uint32_t pathAt;
        uint16_t pathLength;
        uint8_t flags;
    };

private:
    // Room for `entries` in all, of `pathBytes` of paths, so that a run that notes a million
    // files does not move what it noted to grow (untouched room costs no memory).
    void reserve(size_t entries, size_t pathBytes);
    Handle find(std::string_view path) const;
    // Adds an entry for `path` (not indexed yet); its number.
    Handle add(std::string_view path, const PlatformFileStamp& stamp, const uint8_t md5[16], uint8_t flags);
    void setNoted(Slot& slot, bool noted);
    auto nameOf() const {
        return [this](uint32_t entry) { return pathOf(entry); };
    }

    // Every path, one after the other.
    std::string names_;
    std::vector<Slot> slots_;
    PathIndex index_;
    size_t loadedCount_ = 0;
    // Loaded entries this run noted exactly as they were loaded.
    size_t keptCount_ = 0;
    // A noted entry differs from the loaded one (or has none), or a loaded one was dropped.
    bool changed_ = false;
};
