// The rule for paths a manifest may name.
#include "update/manifest_path.h"

#include <cctype>

namespace {

// Windows opens a device, not a file, for these names in any folder and with any extension
// ("nul.txt", "data/COM1.pak"): a write there would reach a console, a printer or a serial port.
bool isWindowsDeviceName(const std::string& segment) {
    std::string stem = segment.substr(0, segment.find('.'));
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    for (char& c : stem) c = char(std::toupper(static_cast<unsigned char>(c)));
    if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL" || stem == "CONIN$" ||
        stem == "CONOUT$")
        return true;
    return stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
           stem[3] >= '1' && stem[3] <= '9';
}

bool hasDeviceSegment(const std::string& path) {
    size_t begin = 0;
    for (;;) {
        const size_t end = path.find('/', begin);
        if (isWindowsDeviceName(path.substr(begin, end == std::string::npos ? end : end - begin))) return true;
        if (end == std::string::npos) return false;
        begin = end + 1;
    }
}

}  // namespace

bool isSafeManifestPath(const std::string& path) {
    if (path.empty() || path[0] == '/') return false;
    // On Windows "\" separates levels and ":" names a drive or a stream ("c:/x", "c:x",
    // "a\..\b", "a:stream"); one manifest serves every system, so every system refuses them.
    if (path.find_first_of(std::string("\\:\0", 3)) != std::string::npos) return false;
    return !hasParentSegment(path) && !hasDeviceSegment(path);
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
