// The publishing rules for file paths and the base address.
#include "manifest/path_rules.h"

#include "update/manifest_path.h"
#include "update/own_files.h"
#include "util/case_fold.h"

namespace {

bool isSpaceOrControl(unsigned char c) { return c <= 0x20 || c == 0x7f; }

}  // namespace

std::string manifestPathProblem(const std::string& path) {
    if (path.empty()) return "the path is empty";
    for (const char c : path) {
        if (isSpaceOrControl(static_cast<unsigned char>(c)))
            return "it contains a space or a control character (the updater deletes whitespace from manifest lines)";
    }
    if (path.find('\\') != std::string::npos) return "it contains a backslash (the updater refuses it)";
    if (path.find(':') != std::string::npos) return "it contains ':' (it separates a path from its digest in the manifest)";
    if (path.find('<') != std::string::npos) return "it contains '<' (it separates the two digests of a compressed file)";
    if (path.find_first_of("?#%") != std::string::npos)
        return "it contains '?', '#' or '%' (they cannot stand unencoded in a web address)";
    if (hasParentSegment(path)) return "it has a '..' segment (the updater refuses it)";
    const std::string windows = windowsNameProblem(path);
    if (!windows.empty()) return windows + " (the updater refuses it)";
    if (!isSafeManifestPath(path)) return "the updater refuses it (absolute path)";
    return reservedNameProblem(path);
}

std::string manifestPathWarning(const std::string& path) {
    if (path.find_first_of("\"*|>") != std::string::npos)
        return "Windows cannot hold a file name with '\"', '*', '|' or '>': players on Windows will fail to update";
    const size_t nameStart = path.rfind('/') + 1;
    const std::string name = path.substr(nameStart);
    if ((!name.empty() && name.back() == '~') || (name.size() >= 4 && name.compare(name.size() - 4, 4, ".inc") == 0))
        return "Debian's lighttpd refuses to serve names ending in '~' or '.inc' (url.access-deny)";
    if (name.compare(0, 3, ".ht") == 0) return "Apache httpd refuses to serve file names beginning with '.ht'";
    return "";
}

std::string caseClashWarning(const std::string& path, const std::string& other) {
    if (path == other || foldCaseAsWindows(path) != foldCaseAsWindows(other)) return "";
    return "differs from " + other + " only in the case of letters: Windows and macOS cannot hold both";
}

bool normaliseBaseAddress(std::string& address, std::string& problem) {
    for (const char c : address) {
        if (isSpaceOrControl(static_cast<unsigned char>(c))) {
            problem = "the base address contains a space or a control character";
            return false;
        }
    }
    const bool secure = address.compare(0, 8, "https://") == 0;
    const std::string scheme = secure ? "https://" : "http://";
    if (address.compare(0, scheme.size(), scheme) != 0) {
        problem = "the base address must begin with http:// or https://";
        return false;
    }
    const size_t hostEnd = address.find('/', scheme.size());
    const size_t hostLength = (hostEnd == std::string::npos ? address.size() : hostEnd) - scheme.size();
    if (hostLength == 0) {
        problem = "the base address names no host";
        return false;
    }
    if (address.find_first_of("?#", scheme.size()) != std::string::npos) {
        problem = "the base address must not hold a query or a fragment ('?', '#'): file paths are appended to it";
        return false;
    }
    if (address.back() != '/') address += '/';
    return true;
}
