// Walking a release folder.
#include "manifest/release_scan.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "manifest/options.h"

namespace {

bool scanFolder(const std::string& root, const std::string& relative,
                const std::vector<std::string>& excludePatterns, std::vector<ReleaseFile>& files,
                std::string& error) {
    const std::string folder = relative.empty() ? root : root + "/" + relative;
    DIR* directory = opendir(folder.c_str());
    if (!directory) {
        error = "cannot read the folder " + folder + ": " + std::strerror(errno);
        return false;
    }
    std::vector<std::string> names;
    while (const dirent* entry = readdir(directory)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(directory);

    for (const std::string& name : names) {
        const std::string path = relative.empty() ? name : relative + "/" + name;
        if (matchesAnyPattern(excludePatterns, path)) continue;
        const std::string full = root + "/" + path;
        struct stat linkInfo, info;
        if (lstat(full.c_str(), &linkInfo) != 0 || stat(full.c_str(), &info) != 0) {
            error = "cannot read " + full + ": " + std::strerror(errno);
            return false;
        }
        if (S_ISDIR(info.st_mode)) {
            if (S_ISLNK(linkInfo.st_mode)) {
                error = full + " is a symbolic link to a folder; copy the folder or exclude the link";
                return false;
            }
            if (!scanFolder(root, path, excludePatterns, files, error)) return false;
        } else if (S_ISREG(info.st_mode)) {
            files.push_back({path, uint64_t(info.st_size)});
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
    struct stat info;
    if (stat(root.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
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
