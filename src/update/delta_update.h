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
// A map whose header names a size larger than this is refused (and the file fetched whole),
// counting what is decoded when the server compressed it on the way.
constexpr int64_t kMaxBlockMapBytes = 32 * 1024 * 1024;
// A delta update that would reuse less than this share of the file (in percent) is not
// attempted: the file is fetched the normal way.
constexpr uint64_t kDeltaMinReusedPercent = 10;

// What a delta update of the stale file `localPath` needs, when its local copy exists and is at
// least kDeltaMinLocalSize: `url` is where the new version is served plain, `md5` its digest.
// Its url is empty (no attempt) otherwise. The caller sets where the result goes. Main thread.
DownloadShortcutPlan deltaPlanFor(const std::string& url, const std::string& localPath, const std::string& md5);

// A delta update, on a worker thread: fetches the map (url + the map suffix, into memory no
// larger than its header names, refused as soon as that header does not fit), scans the local
// copy on a thread of its own while it writes the new version under the result
// path's download name from the blocks found so far, then asks Range requests for the rest (when they are worth it: the scan must find at least
// kDeltaMinReusedPercent of the file, and on a line with a ".gz" the ranges must cost less than
// the ".gz" the map says is beside it), checks its digest as it writes it, and renames it to
// the result path. On success the request's `finishing` names the result and its digest, and
// its note tells what was reused and fetched. False, with the local copy untouched, the
// download name removed and a note naming the reason, when there is no usable map (none, too
// large, damaged, of another format or version, or larger than the ".gz"), the ranges are not
// worth it, the server ignores Range or answers with more than was asked, a request fails, the
// result does not match or cannot be stored, or the transfer is cancelled.
bool tryDeltaUpdate(DownloadRequest& request, const HttpOptions& options);
