// The stamp a file's verifier vouches for: taken by whoever read or wrote the bytes whose digest
// matched, so that the record of verified files never pairs a digest with a later file.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

// A file's stamp as its verifier saw it, and whether a later run may take the file at its
// digest while the stamp stays the same.
struct FileVouch {
    PlatformFileStamp stamp;
    // The stamp held still while the bytes were verified, and any later change of the file
    // shows in it: the file's times lie at least one tick of the file system's clock before the
    // verification began, so a write after that cannot leave them as they are.
    bool trustworthy = false;
    // The file was renamed into place by this run: its folder must reach the disk before a
    // record vouches for it.
    bool placed = false;
};

// What a verifier that hashes a file notes before it reads the first byte.
struct HashStart {
    PlatformFileStamp before;
    bool stamped = false;
    // The wall clock when the hashing began (platformWallClock).
    int64_t startedAt = 0;
};

// Any thread: the clock, then the stamp of `path`, just before it is hashed.
HashStart beginHashing(const std::string& path);
// Any thread, right after the hash: the stamp once more, and the vouch for the stamp taken at
// `start` (trustworthy only when nothing about the file moved meanwhile and its times lie a
// clock tick before `start`). The caller vouches only with a digest it actually obtained.
FileVouch endHashing(const std::string& path, const HashStart& start);

// For whoever renames a vouched file once more (the switch that puts a staged release in
// place). Before the rename: `vouch`, trustworthy only when the file at `path` still has exactly
// the stamp vouched for (a change of any kind since, even with its times put back, moved its
// change time). Right after it: the vouch for the file at its new `path`, with the stamp it has
// there (the rename set its change time; taken also when it cannot vouch), trustworthy only
// when it was before and the file is still the one vouched for (the same size, last write and
// identity); marked placed.
FileVouch vouchBeforeRename(const std::string& path, const FileVouch& vouch);
FileVouch vouchAfterRename(const std::string& path, const FileVouch& vouch);

// Any thread, by the one who wrote `from` and verified what it wrote: makes `from` reach the
// disk, renames it over `to` (as platformRenameFile) and fills `vouch` (when given) with the
// stamp the file has in its place, trustworthy when it is the file that was flushed and its
// last write lies a clock tick before the rename. The folder is not flushed: the record does
// that for every folder it vouches in (see FileVouch::placed). False when `from` could not be
// flushed or renamed; both are then as they were.
bool placeVerifiedFile(const std::string& from, const std::string& to, FileVouch* vouch);
