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

// What a delta update of the stale file `localPath` needs, when its local copy exists and is at
// least kDeltaMinLocalSize: `url` is where the new version is served plain, `md5` its digest.
// Its url is empty (no attempt) otherwise. The caller sets where the result goes. Main thread.
DownloadShortcutPlan deltaPlanFor(const std::string& url, const std::string& localPath, const std::string& md5);

// A delta update, on a worker thread: fetches the map (url + the map suffix, through a
// temporary file beside the local copy), scans the local copy, builds the new version under the
// result path's download name from local blocks and Range requests, checks its digest as it
// writes it, and renames it to the result path. On success the request's `finishing` names the
// result and its digest, and its note tells what was reused and fetched. False, with the local
// copy untouched and a note naming the reason, when there is no usable map (none, too large,
// damaged or of another version), the server ignores Range, a request fails, the result does
// not match or cannot be stored, or the transfer is cancelled.
bool tryDeltaUpdate(DownloadRequest& request, const HttpOptions& options);
