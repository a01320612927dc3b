// The record of verified files: what earlier runs verified, by hashing or by downloading, so that
// a file the file system shows unchanged is taken at its recorded digest without being read.
#pragma once

#include <string>
#include <unordered_map>
#include <unordered_set>

#include "platform/platform.h"
#include "util/file_vouch.h"

// One run's view of the record: the entries read at its start and the ones it verifies.
// Not thread-safe: the update engine uses it on the main thread only.
class VerifiedFiles {
public:
    // Reads the record at `path`. A missing, unreadable or damaged record (one whose closing
    // line is missing or does not match what precedes it, or one of an older kind) leaves no
    // entry at all, so every file is hashed: never a failure.
    void load(const std::string& path);
    // The digest recorded for `path` when the file, as `stamp` shows it now, is exactly as it
    // was recorded and its vouch was trustworthy. Otherwise empty: the file must be hashed.
    std::string trustedDigest(const std::string& path, const PlatformFileStamp& stamp) const;
    // Keeps `path` with the stamp its verifier vouched for and its digest for the next save. A
    // vouch that is not trustworthy keeps the entry as one to hash before it is believed (the
    // updater still knows which bytes it verified there: a later release that drops the file
    // may remove it once a hash shows them unchanged); an empty digest drops the file. The
    // record holds only what the run noted: a file the manifest no longer lists drops out.
    void note(const std::string& path, const FileVouch& vouch, const std::string& md5);
    // Writes the noted entries to `temporaryPath`, flushed, and renames that over `path`, so
    // the record on disk is always whole. Before that, the folders of files this run renamed
    // into place are flushed, so that the record never reaches the disk before the files it
    // vouches for (a file whose folder cannot be flushed is left out). Writes nothing when the
    // record would stay as it was. False when the record could not be written; the old one then
    // stays, and the next run trusts it no more than before.
    bool save(const std::string& path, const std::string& temporaryPath) const;

    // One file as the record holds it.
    struct Entry {
        PlatformFileStamp stamp;
        std::string md5;
        // The stamp could vouch for the bytes; otherwise they must be hashed to be believed.
        bool vouched = true;
        // A loaded entry this run noted again exactly as it was (kept without a copy); never
        // read nor written.
        bool kept = false;
        // A loaded entry this run found unchanged by its stamp; never read nor written.
        bool unchanged = false;
    };
    // Looked up by the path as the caller holds it: no allocation per lookup.
    using Entries = std::unordered_map<std::string, Entry>;
    // An entry read at load, as markUnchanged hands it out; valid until the next load.
    using Loaded = std::pair<const std::string, Entry>*;
    // As trustedDigest, and marks the entry as found unchanged by this run, for takeUnchanged.
    // Null when the file must be hashed.
    Loaded markUnchanged(const std::string& path, const PlatformFileStamp& stamp);
    // For a file markUnchanged found (`entry`, or looked up by `path` when null): notes it again
    // as it stands (as note would) and sets `md5` to its digest. False, nothing done, for any
    // other path.
    bool takeUnchanged(const std::string& path, std::string& md5, Loaded entry = nullptr);
    // Calls `visit(path, md5)` for every entry markUnchanged found.
    template <typename Visit>
    void forEachUnchanged(Visit visit) const {
        for (const auto& [path, entry] : loaded_)
            if (entry.unchanged) visit(path, entry.md5);
    }
    // The record's text for these entries, and the entries of such a text (false, nothing
    // kept, for a damaged one). One pass each, in time linear in the text: the lines are written in the order of their
    // paths' bytes (as every record was), and read without a copy of any line.
    static std::string format(const Entries& entries);
    static bool parse(const std::string& text, Entries& out);
    // The entries read at load.
    const Entries& loaded() const { return loaded_; }
    // The entry read at load for `path` when the file, as `stamp` shows it now, has exactly the
    // recorded stamp, vouched for or not; null otherwise.
    const Entry* recorded(const std::string& path, const PlatformFileStamp& stamp) const;

private:
    void noteFound(Loaded found, const std::string& path, const FileVouch& vouch, const std::string& md5);

    Entries loaded_;
    // What the run noted that differs from the loaded entry (or has none); loaded entries
    // noted unchanged are marked kept instead, so an unchanged file costs no copy.
    Entries noted_;
    size_t keptCount_ = 0;
    // Noted files that this run renamed into place.
    std::unordered_set<std::string> placed_;
    // A noted entry differs from the loaded one, or a loaded one was dropped.
    bool changed_ = false;
};
