// The rule for paths a manifest may name.
#include "update/manifest_path.h"

bool isSafeManifestPath(const std::string& path) {
    if (path.empty() || path[0] == '/') return false;
    if (path.find('\\') != std::string::npos || path.find('\0') != std::string::npos) return false;
    return !hasParentSegment(path);
}

bool hasParentSegment(const std::string& path) {
    size_t begin = 0;
    for (;;) {
        const size_t end = path.find('/', begin);
        const size_t length = (end == std::string::npos ? path.size() : end) - begin;
        if (length == 2 && path.compare(begin, 2, "..") == 0) return true;
        if (end == std::string::npos) return false;
        begin = end + 1;
    }
}
