// The signed digests of first copies: a presence-only line carries no digest, so in a signed run
// a missing presence-only file is fetched only when a list signed beside the manifest vouches
// for its bytes. The manifest keeps its line kinds; the list is a file of its own. One thread
// (the run's); the requests go through the run's download manager.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "net/download_manager.h"
#include "update/manifest.h"

// The list lives beside the manifest under the manifest's name with this appended, and its
// signature beside it with ".minisig" appended to that.
extern const char* const kPresenceDigestsSuffix;
// Presence-only files are a few settings; a list this long is no list.
constexpr int64_t kPresenceDigestsMaxBytes = int64_t(4) << 20;

// The list's address: kPresenceDigestsSuffix appended to the manifest's path, before any query.
std::string presenceDigestsUrlFor(const std::string& manifestUrl);

// md5sum's text, one "<md5>  <path>" line per file, as `md5sum` prints it and `md5sum -c`
// checks it in the release folder; the digest is that of the bytes the server holds at the
// manifest line's path.
std::string formatPresenceDigests(const std::vector<std::pair<std::string, std::string>>& pathsAndDigests);
// Reads such a text into `digests` (path to lower-case digest); "<md5> *<path>" (md5sum -b) and
// CR LF line ends are taken too, empty lines ignored. False, with `why` set, for any other line.
bool parsePresenceDigests(const std::string& text, std::map<std::string, std::string>& digests, std::string& why);

// True when `plan` fetches a file with no digest to check: a missing presence-only file.
bool plansUncheckedFetch(const Plan& plan);

// The list of one signed run: fetched once the comparison found a presence-only file missing,
// checked as the manifest is (same key, same trust state and trusted-comment rules, "file:"
// naming the list), and used only to give those fetches their digests.
class PresenceDigests {
public:
    // Queues the list and its signature for the manifest at `manifestUrl`, tagged `tag`; logs
    // that it does. False when the manager refuses either.
    bool request(DownloadManager& downloads, const std::string& manifestUrl, int32_t tag);
    // One of the two requests handed back (finished or untaken). True once both are in.
    bool arrived(DownloadRequest& request);
    // Once both are in: checks the list and gives every fetch of `plan` without a digest the
    // list's digest for its path; deletes both downloaded copies. Logs whether the list was
    // accepted and why not, then each path it cannot vouch for ("\t%s is missing and no signed
    // digest vouches for its first copy; not fetched"), and returns "Could not verify " + the
    // first such path; empty when every fetch has its digest.
    std::string apply(Plan& plan);

private:
    std::string listUrl_;
    int outstanding_ = 0;
    // Why a request failed, for the log; empty while both succeeded.
    std::string failure_;
};
