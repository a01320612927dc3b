// Publishing a release: scanning it, checking every path, digesting and compressing the files
// on several threads, and writing the manifest last.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "manifest/options.h"

struct PublishSummary {
    int files = 0;
    int compressedFiles = 0;
    int presenceFiles = 0;
    // Files published with a block map beside them.
    int blockMaps = 0;
    // Bytes of the release, and bytes the server copy holds for them.
    uint64_t releaseBytes = 0;
    uint64_t serverBytes = 0;
    // Where the manifest was written, and the address update.cfg must hold.
    std::string manifestPath;
    std::string manifestAddress;
    // (path, md5) of every presence-only file, in manifest order: a signed manifest's presence
    // digests.
    std::vector<std::pair<std::string, std::string>> presenceDigests;
    // Files left out in place because they are compressed copies from an earlier run.
    int skippedCopies = 0;
    // "path: reason" for every published path that some players or servers will trouble over
    // (manifestPathWarning, caseClashWarning); published all the same.
    std::vector<std::string> warnings;
};

// Does the whole job for `options`. Progress lines go to `progress` (null: none): rewritten in
// place on a terminal, one every few seconds otherwise, only on runs longer than a second.
// False, with every reason in `error` (one per line), when the release cannot be published;
// the manifest is then not written (an earlier one stays as it was) and no temporary file is
// left, though server files already finished stay.
bool publishRelease(const ManifestOptions& options, PublishSummary& summary, std::string& error,
                    std::FILE* progress);
