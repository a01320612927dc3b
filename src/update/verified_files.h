// The record of verified files: what earlier runs verified, by hashing or by downloading, so that
// a file the file system shows unchanged is taken at its recorded digest without being read.
#pragma once

#include <map>
#include <string>

#include "platform/platform.h"

// One run's view of the record: the entries read at its start and the ones it verifies.
// Not thread-safe: the update engine uses it on the main thread only.
class VerifiedFiles {
public:
    // Reads the record at `path`. A missing, unreadable or damaged record (one whose closing
    // line is missing or does not match what precedes it) leaves no entry at all, so every file
    // is hashed: never a failure.
    void load(const std::string& path);
    // The digest recorded for `path` when the file, as `stamp` shows it now, is exactly as it was
    // recorded, and the record was written at least a second after the file's last change
    // (within that second the file may have changed again without its times showing it).
    // Otherwise empty: the file must be hashed.
    std::string trustedDigest(const std::string& path, const PlatformFileStamp& stamp) const;
    // Keeps `path` with its stamp and digest for the next save. The record holds only what the
    // run noted: a file the manifest no longer lists drops out.
    void note(const std::string& path, const PlatformFileStamp& stamp, const std::string& md5);
    // Writes the noted entries to `temporaryPath`, flushed to the disk, and renames that over
    // `path`, so the record on disk is always whole, also after a power cut. Writes nothing when the record would stay as it was, unless it held
    // entries too recent to trust. False when the record could not be written; the old one
    // then stays, and the next run trusts it no more than before.
    bool save(const std::string& path, const std::string& temporaryPath) const;

    // The record's text for these entries, and the entries of such a text (false, nothing
    // kept, for a damaged one); `recordSeconds` is when the record was written.
    struct Entry {
        PlatformFileStamp stamp;
        std::string md5;
    };
    using Entries = std::map<std::string, Entry>;
    static std::string format(const Entries& entries);
    static bool parse(const std::string& text, Entries& out);
    // The entries read at load.
    const Entries& loaded() const { return loaded_; }

private:
    Entries loaded_;
    Entries noted_;
    // Modification time of the loaded record: when its entries were written.
    int64_t recordSeconds_ = 0;
    // A noted entry differs from the loaded one, or was not trusted as it stood.
    bool changed_ = false;
};
