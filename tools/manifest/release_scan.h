// Listing the files of a release folder, as the manifest names them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ReleaseFile {
    // Relative to the release folder, "/"-separated.
    std::string path;
    uint64_t size = 0;
};

// Appends every regular file under `root` whose path matches none of `excludePatterns` (see
// matchesAnyPattern; an excluded folder is not entered), sorted by path byte for byte.
// Symbolic links to files are followed. False, with the reason in `error`, when a folder
// cannot be read, or for a link to a folder (it could loop) or anything that is not a file
// or folder.
bool scanRelease(const std::string& root, const std::vector<std::string>& excludePatterns,
                 std::vector<ReleaseFile>& files, std::string& error);
