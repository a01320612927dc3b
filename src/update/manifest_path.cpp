// The rule for paths a manifest may name.
#include "update/manifest_path.h"

bool isSafeManifestPath(const std::string& path) {
    if (path.empty() || path[0] == '/') return false;
    // On Windows "\" separates levels and ":" names a drive or a stream ("c:/x", "c:x",
    // "a\..\b", "a:stream"); one manifest serves every system, so every system refuses them.
    if (path.find_first_of(std::string("\\:\0", 3)) != std::string::npos) return false;
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
