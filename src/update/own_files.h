// The files the updater keeps for itself in the game's folder, named in this one place, and
// the rule that keeps a manifest (and kib-manifest) from listing any of them.
#pragma once

#include <string>

// The download suffix and downloadName belong to the download service, which writes those
// files; they are reserved here with the rest.
#include "net/download_name.h"

// The local copy of the manifest; it lives only for one run.
extern const char* const kManifestCopyPath;
// The folder of the log, and the log itself, truncated at every start.
extern const char* const kLogFolder;
extern const char* const kLogPath;
// Held locked for the whole run, so that a second updater in the folder leaves it alone. It
// stays on disk between runs (removing it would let two runs lock two different files).
extern const char* const kLockPath;
// The signature fetched beside the manifest; it lives only while the manifest is checked.
extern const char* const kSignatureCopyPath;
// The signed digests of presence-only files' first copies, and their signature, fetched beside
// the manifest (presence_digests.h); they live only while a signed run checks them.
extern const char* const kPresenceDigestsCopyPath;
extern const char* const kPresenceSignatureCopyPath;
// The timestamp of the newest signed manifest accepted here, so that an older one is refused.
// It is replaced through its download name (kTrustStatePath with kDownloadSuffix).
extern const char* const kTrustStatePath;
// A ".gz" is unpacked into its output path with this appended, and renamed over the output
// only once it is complete and verified; on any failure it is removed.
extern const char* const kUnpackSuffix;
// The record of files verified by earlier runs (see verified_files.h).
extern const char* const kVerifiedFilesPath;
// Where the record is written before it replaces the old one in a single rename.
extern const char* const kVerifiedFilesTemporaryPath;

// The block map of "x" is published beside it as "x" with this appended, and fetched under
// that name in the game's folder while a delta update reads it.
extern const char* const kBlockMapSuffix;

// A release is staged before the switch puts it in place: each file the run fetches, unpacks,
// rebuilds or copies is written and verified beside the file it replaces, on the same volume,
// under the file's name with this appended (see update/staging.h).
extern const char* const kStagedSuffix;
// A ".gz" is downloaded beside the file it unpacks into, under the file's name with this
// appended, and kept there verified until it is unpacked.
extern const char* const kStagedGzipSuffix;
// The files a run began to stage, so that what a stopped run staged is removed once a release
// is in place, whatever its paths.
extern const char* const kStagedListPath;
// The switch's journal: written (and flushed) before the first file of a release is put in
// place, removed after the last. A start that finds it finishes the switch first.
extern const char* const kSwitchJournalPath;
// Old files the switch moved aside and could not remove yet (a program still running): each
// start removes what it can.
extern const char* const kLeftoversPath;
// The switch moves a file it replaces or removes aside under its name with this appended,
// until the whole release is in place.
extern const char* const kAsideSuffix;

// The name the unpacked form of a ".gz" is written to until it is verified.
std::string unpackName(const std::string& path);
// The name the switch moves `path` aside to.
std::string asideName(const std::string& path);

// Why the updater cannot let a manifest list `path` ("/"-separated, relative to the game's
// folder): one of its own files, anything under them, or a name ending like its temporary
// names. Letters are compared in Windows' case (foldCaseAsWindows), as Windows names them.
// Empty when the path is free. The manifest reader and kib-manifest both ask this.
std::string reservedNameProblem(const std::string& path);
// The same for a path already folded to Windows' case (for a caller that folds it anyway).
std::string reservedFoldedNameProblem(const std::string& folded);
