// File and path operations over the C runtime, shared by every subsystem.
#include "util/file_system.h"

#include <cstdio>
#include <sys/stat.h>

#include "platform/platform.h"

namespace {

bool isRegularOrOther(std::FILE* file) {
    // fopen succeeds on a directory on POSIX; the system treats a directory as no file.
    struct stat info;
    return fstat(fileno(file), &info) != 0 || !S_ISDIR(info.st_mode);
}

}  // namespace

bool fileExists(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (!file) return false;
    const bool exists = isRegularOrOther(file);
    std::fclose(file);
    return exists;
}

bool deleteIfExists(const std::string& path) {
    if (!fileExists(path)) return false;
    std::remove(path.c_str());
    return true;
}

bool readWholeFile(std::string& destination, const std::string& path) {
    // Binary: in text mode Windows' runtime stops at a byte 0x1A and turns line ends.
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return false;
    char buffer[1024];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) destination.append(buffer, got);
    std::fclose(file);
    return true;
}

std::string directoryOf(const std::string& path) {
    size_t slash = path.find_last_of('\\');
    if (slash == std::string::npos) slash = path.find_last_of('/');
    if (slash == std::string::npos) return std::string();
    return path.substr(0, slash + 1);
}

int makeDirectories(const std::string& path) {
    std::string work = path;
    if (!work.empty() && work.back() == '/') work.pop_back();
    // Index 0 is skipped: a leading "/" is the root of an absolute path, not a level.
    for (size_t i = 1; i < work.size(); ++i) {
        if (work[i] == '/') platformMakeDirectory(work.substr(0, i));
    }
    if (work.empty()) return -1;
    return platformMakeDirectory(work) == 0 ? 0 : -1;
}
