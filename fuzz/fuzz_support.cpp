// Checks and scratch folders for the fuzz targets.
#include "fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

namespace {

std::vector<std::string>& scratchFolders() {
    static std::vector<std::string> folders;
    return folders;
}

void removeScratchFolders() {
    std::error_code ignored;
    for (const std::string& folder : scratchFolders()) std::filesystem::remove_all(folder, ignored);
}

}  // namespace

void fuzzFailure(const char* file, int line, const char* condition, const std::string& what) {
    std::fprintf(stderr, "\n%s:%d: property violated: %s\n  %s\n", file, line, condition, what.c_str());
    std::abort();
}

std::string makeScratchFolder(const char* name) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/kib-fuzz-" + name + "-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    if (scratchFolders().empty()) std::atexit(removeScratchFolders);
    scratchFolders().push_back(pattern);
    return pattern;
}

void writeFile(const std::string& path, const std::string& content) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file || std::fwrite(content.data(), 1, content.size(), file) != content.size() || std::fclose(file) != 0) {
        std::perror(path.c_str());
        std::exit(1);
    }
}

bool pathExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }
