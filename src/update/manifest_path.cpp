// The rule for paths a manifest may name.
#include "update/manifest_path.h"

#include <cctype>
#include <cstring>
#include <string_view>

namespace {

// Calls `visit` with each "/"-separated segment of `path` until it returns true; true then.
template <typename Visit>
bool anySegment(const std::string& path, Visit visit) {
    size_t begin = 0;
    for (;;) {
        const size_t end = path.find('/', begin);
        if (visit(std::string_view(path).substr(begin, end == std::string::npos ? end : end - begin))) return true;
        if (end == std::string::npos) return false;
        begin = end + 1;
    }
}

// Windows opens a device, not a file, for these names in any folder and with any extension
// ("nul.txt", "data/COM1.pak"): a write there would reach a console, a printer or a serial port.
// Windows counts the superscript digits ¹, ² and ³ as digits too.
bool isWindowsDeviceName(std::string_view segment) {
    // Most names start with none of the letters every device name starts with.
    if (segment.empty() || std::strchr("cCpPaAnNlL", segment[0]) == nullptr) return false;
    std::string_view name = segment.substr(0, segment.find('.'));
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    // "CONOUT$" is the longest, "COM¹" takes five bytes.
    if (name.size() < 3 || name.size() > 7) return false;
    std::string stem(name);
    for (char& c : stem) c = char(std::toupper(static_cast<unsigned char>(c)));
    if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL" || stem == "CONIN$" ||
        stem == "CONOUT$")
        return true;
    const bool port = stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0;
    if (port && stem.size() == 4) return stem[3] >= '1' && stem[3] <= '9';
    return port && (stem.compare(3, std::string::npos, "\xC2\xB9") == 0 ||
                    stem.compare(3, std::string::npos, "\xC2\xB2") == 0 ||
                    stem.compare(3, std::string::npos, "\xC2\xB3") == 0);
}

// "~" and one or more digits, ending the segment or followed by ".".
bool looksLikeShortName(std::string_view segment) {
    for (size_t tilde = segment.find('~'); tilde != std::string_view::npos; tilde = segment.find('~', tilde + 1)) {
        size_t end = tilde + 1;
        while (end < segment.size() && std::isdigit(static_cast<unsigned char>(segment[end]))) ++end;
        if (end > tilde + 1 && (end == segment.size() || segment[end] == '.')) return true;
    }
    return false;
}

}  // namespace

bool isSafeManifestPath(const std::string& path) {
    if (path.empty() || path[0] == '/') return false;
    // On Windows "\" separates levels and ":" names a drive or a stream ("c:/x", "c:x",
    // "a\..\b", "a:stream"); one manifest serves every system, so every system refuses them.
    static const std::string kNeverInAPath("\\:\0", 3);
    if (path.find_first_of(kNeverInAPath) != std::string::npos) return false;
    return !hasParentSegment(path) && !anySegment(path, isWindowsDeviceName) && windowsNameProblem(path).empty();
}

bool hasParentSegment(const std::string& path) {
    return anySegment(path, [](std::string_view segment) { return segment == ".."; });
}

std::string windowsNameProblem(const std::string& path) {
    // ".." is no name but the way out of the folder, which isSafeManifestPath refuses.
    if (anySegment(path, [](std::string_view segment) {
            return !segment.empty() && segment != ".." && (segment.back() == '.' || segment.back() == ' ');
        }))
        return "a name ends in '.' or ' ', which Windows drops";
    if (anySegment(path, looksLikeShortName))
        return "a name looks like a Windows short name ('~' and digits), which may stand for another file";
    return "";
}
