// The digests of the game's files for one run's comparison: taken from the record of verified
// files when the file system shows a file unchanged, otherwise hashed, several files at a time.
// Every call is made on the main thread; the hashing threads live from prepareLocalDigests until
// the next one or saveVerifiedFiles, never touch the record, and only read files.
#pragma once

#include <string>
#include <vector>

// Reads the record of verified files (forgetting what an earlier call found), then hashes every one of `paths` that it does not vouch
// for, on as many threads as there are processors (at least two). Returns when all are done.
void prepareLocalDigests(const std::vector<std::string>& paths);

// The digest of the local file at `path`, or empty text when it cannot be read: the one
// prepareLocalDigests found, or computed now for a path it was not given. Notes the file for
// the record when its stamp stayed the same while it was hashed.
std::string localDigest(const std::string& path);

// Lets the hashing threads finish the file each is reading and joins them; the comparison calls
// it when it is over, also when it ends early. Digests found so far stay available.
void endLocalHashing();

// Called on the main thread, about every 20 ms, while localDigest waits for a file still
// being hashed: the application redraws its window and answers the player there. It returns
// false when the player asked to stop: the hashing then ends at once (every thread leaves its
// file), and localDigest gives the empty text from then on. Null: none.
using HashingWaitHook = bool (*)();
void setHashingWaitHook(HashingWaitHook hook);
// True once the hook asked to stop during this comparison: nothing it found may be acted on.
bool localHashingStopped();

// Notes for the record a file this run has just written and verified to have `md5`.
void noteVerifiedFile(const std::string& path, const std::string& md5);

// Ends any hashing still going on, then writes the record of what this run verified, once at
// the end of a run that finished (nothing
// written when it would not change). A record that cannot be written is no failure: the next
// run hashes what it cannot trust.
void saveVerifiedFiles();
