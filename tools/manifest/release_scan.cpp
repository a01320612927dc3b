// Walking a release folder.
#include "manifest/release_scan.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "manifest/options.h"
#include "platform/platform.h"

namespace {

bool scanFolder(const std::string& root, const std::string& relative,
                const std::vector<std::string>& excludePatterns, std::vector<ReleaseFile>& files,
                std::string& error) {
    const std::string folder = relative.empty() ? root : root + "/" + relative;
    std::vector<std::string> names;
    if (!platformListFolder(folder, names)) {
        error = "cannot read the folder " + folder + ": " + std::strerror(errno);
        return false;
    }

    for (const std::string& name : names) {
        const std::string path = relative.empty() ? name : relative + "/" + name;
        if (matchesAnyPattern(excludePatterns, path)) continue;
        const std::string full = root + "/" + path;
        PlatformPathInfo info;
        if (!platformPathInfo(full, info)) {
            error = "cannot read " + full + ": " + std::strerror(errno);
            return false;
        }
        if (info.kind == PlatformPathInfo::Kind::Folder) {
            if (info.link) {
                error = full + " is a symbolic link to a folder; copy the folder or exclude the link";
                return false;
            }
            if (!scanFolder(root, path, excludePatterns, files, error)) return false;
        } else if (info.kind == PlatformPathInfo::Kind::File) {
            files.push_back({path, info.size});
        } else {
            error = full + " is neither a file nor a folder";
            return false;
        }
    }
    return true;
}

}  // namespace

bool scanRelease(const std::string& root, const std::vector<std::string>& excludePatterns,
                 std::vector<ReleaseFile>& files, std::string& error) {
    PlatformPathInfo info;
    if (!platformPathInfo(root, info) || info.kind != PlatformPathInfo::Kind::Folder) {
        error = "the release folder " + root + " does not exist or is not a folder";
        return false;
    }
    std::vector<ReleaseFile> found;
    if (!scanFolder(root, "", excludePatterns, found, error)) return false;
    std::sort(found.begin(), found.end(),
              [](const ReleaseFile& a, const ReleaseFile& b) { return a.path < b.path; });
    files.insert(files.end(), found.begin(), found.end());
    return true;
}
