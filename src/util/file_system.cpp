// File and path operations over the platform's file API, shared by every subsystem.
#include "util/file_system.h"

#include <algorithm>
#include <cstdio>

#include "platform/platform.h"

bool fileExists(const std::string& path) {
    // Only a regular file counts: a folder, a link or a pipe at the path is no file to the system.
    std::FILE* file = platformOpenFile(path, PlatformOpenMode::Read);
    if (!file) return false;
    std::fclose(file);
    return true;
}

bool deleteIfExists(const std::string& path) {
    if (!fileExists(path)) return false;
    platformRemoveFile(path);
    return true;
}

bool readWholeFile(std::string& destination, const std::string& path, size_t limit) {
    // Binary, as every file here: in text mode Windows' runtime stops at a byte 0x1A and turns
    // line ends.
    std::FILE* file = platformOpenFile(path, PlatformOpenMode::Read);
    if (!file) return false;
    char buffer[64 * 1024];
    size_t got;
    // One byte past the limit shows the caller that the file is larger.
    size_t left = limit == kNoSizeLimit ? kNoSizeLimit : limit + 1;
    // Room for all of it at once: growing step by step would hold up to twice the file.
    const int64_t size = platformSeekFile(file, -1);
    if (size > 0) destination.reserve(destination.size() + size_t(std::min<uint64_t>(uint64_t(size), left)));
    std::rewind(file);
    const size_t before = destination.size();
    while (left > 0 && (got = std::fread(buffer, 1, left < sizeof buffer ? left : sizeof buffer, file)) > 0) {
        destination.append(buffer, got);
        if (left != kNoSizeLimit) left -= got;
    }
    // A file cut short by a failing disk is no file read whole.
    const bool read = !std::ferror(file);
    std::fclose(file);
    if (!read) destination.resize(before);
    return read;
}

int64_t fileSize(const std::string& path) {
    std::FILE* file = platformOpenFile(path, PlatformOpenMode::Read);
    if (!file) return -1;
    const int64_t size = platformSeekFile(file, -1);
    std::fclose(file);
    return size;
}

bool replaceWholeFile(const std::string& path, const std::string& temporaryPath, const std::string& content) {
    return replaceWholeFileWith(path, temporaryPath, [&](std::FILE* file) {
        return std::fwrite(content.data(), 1, content.size(), file) == content.size();
    });
}

bool replaceWholeFileWith(const std::string& path, const std::string& temporaryPath,
                          const std::function<bool(std::FILE*)>& write) {
    std::FILE* file = platformOpenFile(temporaryPath, PlatformOpenMode::Write);
    if (!file) return false;
    bool ok = write(file);
    ok = platformFlushStream(file) && ok;
    // The close reports data the stream could not write out.
    ok = std::fclose(file) == 0 && ok;
    ok = ok && platformRenameFile(temporaryPath, path) && platformFlushFolder(directoryOf(path));
    if (!ok) platformRemoveFile(temporaryPath);
    return ok;
}

void writeBehind(std::FILE* file, size_t length, int64_t& pending) {
    pending += int64_t(length);
    if (pending < kWriteBehindBytes) return;
    platformWriteBehind(file);
    pending = 0;
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
    if (work.empty()) return -1;
    // Whether the last level was made here: it was missing before and is a folder now.
    const bool existed = platformFileKind(work) != PlatformFileKind::Missing;
    return platformMakeDirectories(work) && !existed ? 0 : -1;
}
