// Staging a release: every file a run fetches, unpacks, rebuilds or copies is written and
// verified beside the file it is for first (on the same volume, so the switch only renames),
// under a reserved name, so that nothing of the player's changes before the whole release is
// there. The switch (release_switch.h) then puts the staged files in place.
#pragma once

#include <string>
#include <vector>

#include "net/download_manager.h"
#include "platform/platform.h"
#include "util/file_vouch.h"

// The staged file for `path` (a path of the game's folder): `path` followed by kStagedSuffix.
// One name per path whatever the release: a later run finds what an earlier one staged for the
// path and checks it against the digest it needs.
std::string stagedName(const std::string& path);
// Where the ".gz" that unpacks into `path` is downloaded and kept until it is unpacked.
std::string stagedGzipName(const std::string& path);
// Every name staging `path` may leave: the staged file, the download of a ".gz", and the
// temporary names of both.
std::vector<std::string> stagingNames(const std::string& path);

// Adds `paths` to the list of files being staged (kStagedListPath), so that what a stopped run
// leaves is found again. False when the list cannot be written.
bool listStagedFiles(const std::vector<std::string>& paths);
// Removes every staging name of every listed file, then the list: once a release is in place,
// nothing staged for an earlier one is of any use.
void removeStagedFiles();

// The DownloadShortcut of every staged file, on a worker: the request's shortcut plan names the
// result (the staged file) and its digest. Tried in turn: the staged file an earlier run left,
// when it already has the digest; the ".gz" an earlier run left verified (verifyExisting; then
// `present`, and the finish step unpacks it); a file of the folder that already holds the
// digest (the plan's copyFrom), copied and checked as it is written; a delta update (the plan's
// url set). False when none applies or all failed: the plain download goes ahead.
bool stageByShortcut(DownloadRequest& request, const HttpOptions& options);

// Copies `from` into `to` through its download name, hashing what it writes; flushes it and
// renames it to `to` only when the digest is `md5`, filling `vouch` (when given) as
// placeVerifiedFile does. False, with nothing left at `to`'s download name, when `from` cannot
// be read, the copy cannot be written, the digest differs or `cancel` is raised.
bool copyVerified(const std::string& from, const std::string& to, const std::string& md5,
                  const PlatformCancel* cancel, FileVouch* vouch = nullptr);
