// The digests of the game's files for one run's comparison: taken from the record of verified
// files when the file system shows a file unchanged, otherwise hashed, several files at a time,
// on the shared worker pool. Every call is made on one thread (the run's); the hashing tasks
// never touch the record and only read files.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "update/verified_files.h"
#include "util/path_list.h"
#include "util/file_vouch.h"

class LocalDigests {
public:
    // The record lives at `recordPath` and is written through `temporaryPath`: one file for
    // the object's whole life (a record read ahead is taken for it, whichever call asks first).
    LocalDigests(std::string recordPath, std::string temporaryPath);
    // Ends any hashing still going on (each task leaves its file at once).
    ~LocalDigests();
    LocalDigests(const LocalDigests&) = delete;
    LocalDigests& operator=(const LocalDigests&) = delete;

    // Starts reading the record on the worker pool, with room for `entries` more of
    // `pathBytes` of paths, so that the caller reads its manifest meanwhile; the next prepare
    // (or any call that needs the record) takes it from there. Without a free thread, nothing.
    void loadRecordAhead(size_t entries, size_t pathBytes);
    // Reads the record (forgetting what an earlier call found, unless loadRecordAhead read it
    // for this call), then starts hashing every one of `paths` that it does not vouch for, in
    // that order, on as many pool threads as there are processors (at least two). Returns at
    // once. The paths need to last for the call only.
    void prepare(const std::vector<std::string_view>& paths);

    // The digest of the local file at `path`, or empty text when it cannot be read, once it is
    // known: true with `md5` set. False while a hashing task still reads the file. A path
    // prepare was not given is hashed here and now. Notes the file for the record when its
    // stamp stayed the same while it was hashed.
    bool tryDigest(const std::string& path, std::string& md5);
    // As tryDigest, waiting for the hashing task when it must.
    std::string digest(const std::string& path);

    // Lets the hashing tasks finish the file each is reading, starts no new one, and waits for
    // them. Digests found so far stay available.
    void endHashing();
    // Every hashing task leaves its file at once; every digest asked for from now on is the
    // empty text.
    void cancel();

    // A file of the folder that holds `md5` now, as this run found it or the record vouches for
    // it unchanged; empty when none is known. Once the comparison is over.
    std::string fileHolding(const std::string& md5);
    // The files the record vouches for, unchanged since it was written, that none of `listed`
    // names (compared without letter case) and that are none of the updater's own: files an
    // earlier release installed and the new one no longer lists.
    // `forEachListed(visit)` calls `visit` with each listed path, and may be called twice.
    using ForEachListed = std::function<void(const std::function<void(std::string_view)>&)>;
    std::vector<std::string> droppedFiles(const ForEachListed& forEachListed);

    // Notes for the record a file this run has just written and verified to have `md5`, by the
    // stamp its writer vouched for (see file_vouch.h): never one taken now.
    void noteVerified(const std::string& path, const std::string& md5, const FileVouch& vouch);
    // Ends any hashing, then writes the record of what this run verified, once at the end of a
    // run that finished (nothing written when it would not change). A record that cannot be
    // written is no failure: the next run hashes what it cannot trust.
    void save();

    // What is known of one local file.
    struct LocalFile {
        // Empty when it could not be read.
        std::string md5;
        // The stamp its hashing took (or the record's, when it was trusted), for the record.
        FileVouch vouch;
    };
    // The files being hashed, shared with the hashing tasks (defined in the source file).
    struct Job;

private:
    void loadRecordOnce();
    // Waits for a record loadRecordAhead is reading; true when it read one.
    bool awaitRecordAhead();
    // Takes `path`'s result from the job when the job holds it: false when it does not, or
    // (without `wait`) when it is not handed in yet.
    bool takeHashed(const std::string& path, LocalFile& out, bool wait, bool& held);
    std::string use(const std::string& path, const LocalFile& file);

    std::string recordPath_;
    std::string temporaryPath_;
    VerifiedFiles record_;
    bool recordLoaded_ = false;
    // A record being read ahead into record_, shared with the task reading it.
    struct Ahead;
    std::shared_ptr<Ahead> ahead_;
    bool cancelled_ = false;
    // The record's entries prepare found unchanged, in the order of its paths: the comparison
    // asks in the same order, so the entry next in line is checked by its key instead of being
    // looked up again (any other path is looked up).
    std::vector<VerifiedFiles::Handle> unchanged_;
    size_t cursor_ = 0;
    std::shared_ptr<Job> job_;
    // Every entry of the record by its digest, sorted; made on the first fileHolding.
    struct Holder {
        uint8_t md5[16];
        VerifiedFiles::Handle entry;
    };
    std::vector<Holder> holders_;
    bool holdersMade_ = false;
};
