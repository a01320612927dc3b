// Updating a large file by fetching only the blocks that changed: the block map published
// beside it says which blocks the new version has, the local copy supplies those it already
// holds, Range requests the rest.
#pragma once

#include <cstdint>
#include <string>

#include "net/download_manager.h"

// Local files smaller than this are fetched whole: a map request for every small stale file
// would cost old servers a 404 each, for a saving of at most the file.
constexpr uint64_t kDeltaMinLocalSize = 1024 * 1024;
// A map larger than this is refused (and the file fetched whole); about 1 % of a 3 GiB file.
constexpr int64_t kMaxBlockMapBytes = 32 * 1024 * 1024;

// The shortcut for a stale file whose local copy `localPath` exists and is at least
// kDeltaMinLocalSize: `url` is where the new version is served plain, `md5` its digest. An
// empty plan (no attempt) otherwise. Main thread.
DownloadShortcutPlan deltaPlanFor(const std::string& url, const std::string& localPath, const std::string& md5);

// The DownloadShortcut of a delta update, on a worker thread. With verifyExisting it makes the
// manager's check of the local file (request.localPath against expectedMd5) first: a file
// already right is `present` (true, nothing fetched or replaced). Otherwise it fetches the map
// (url + the map suffix, through a temporary file beside the local one), scans the local copy,
// builds the new version under the local copy's download name from local blocks and Range
// requests, checks its digest as it writes it, and renames it over the local copy. On success
// the request's `finishing` names the plain file and its digest (whichever file the request
// was for: a ".gz" line's plain file needs no unpacking) and its note tells what was reused and
// fetched. False, with the local copy untouched and a note naming the reason, when there is no
// usable map (none, too large, damaged or of another version), the server ignores Range, a
// request fails, the result does not match or cannot take the old copy's place, or the
// transfer is cancelled.
bool tryDeltaUpdate(DownloadRequest& request, const HttpOptions& options);
