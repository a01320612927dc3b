// Reading a redirect's Location header into the next address to fetch.
#include "net/location.h"

#include <cctype>
#include <vector>

#include "net/url.h"

namespace {

// RFC 3986's removal of "." and ".." segments from a path that starts with "/"; ".." never
// climbs above the root.
std::string withoutDotSegments(const std::string& path) {
    std::vector<std::string> segments;
    size_t start = 1;
    for (;;) {
        const size_t end = path.find('/', start);
        const bool last = end == std::string::npos;
        const std::string segment = path.substr(start, last ? std::string::npos : end - start);
        if (segment == "..") {
            if (!segments.empty()) segments.pop_back();
            if (last) segments.push_back("");
        } else if (segment == ".") {
            if (last) segments.push_back("");
        } else {
            segments.push_back(segment);
        }
        if (last) break;
        start = end + 1;
    }
    std::string out;
    for (const std::string& segment : segments) out += "/" + segment;
    return out.empty() ? "/" : out;
}

// Encodes what a request line cannot carry, but keeps '%', '?', '/' and the rest of a URL.
std::string encodedForRequest(const std::string& text) {
    static const char* const kHex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x80 || c == ' ' || c == '"' || c == '<' || c == '>' || c == '\\' || c == '^' || c == '`' ||
            c == '{' || c == '|' || c == '}') {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += char(c);
        }
    }
    return out;
}

bool startsWithIgnoringCase(const std::string& text, const char* prefix) {
    for (size_t i = 0; prefix[i]; ++i)
        if (i >= text.size() || std::tolower((unsigned char)text[i]) != prefix[i]) return false;
    return true;
}

// A scheme is letters, digits, '+', '-' or '.' before the first ':', starting with a letter.
bool hasScheme(const std::string& text) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || !std::isalpha((unsigned char)text[0])) return false;
    for (size_t i = 0; i < colon; ++i) {
        const char c = text[i];
        if (!std::isalnum((unsigned char)c) && c != '+' && c != '-' && c != '.') return false;
    }
    return true;
}

// Splits the path and the query: the dot segments are only those of the path.
std::string normalised(const std::string& pathAndQuery) {
    const size_t question = pathAndQuery.find('?');
    const std::string path = pathAndQuery.substr(0, question);
    const std::string query = question == std::string::npos ? "" : pathAndQuery.substr(question);
    return withoutDotSegments(path) + query;
}

}  // namespace

bool resolveLocation(const std::string& base, const std::string& location, std::string& target) {
    Url current;
    return parseUrl(base, current) && resolveLocation(current, location, target);
}

bool resolveLocation(const Url& current, const std::string& location, std::string& target) {
    // Surrounding whitespace is the header's, not the address's.
    size_t from = 0, to = location.size();
    while (from < to && (location[from] == ' ' || location[from] == '\t')) ++from;
    while (to > from && (location[to - 1] == ' ' || location[to - 1] == '\t' || location[to - 1] == '\r')) --to;
    std::string value = location.substr(from, to - from);
    for (unsigned char c : value)
        if (c < 0x20 || c == 0x7f) return false;
    value = value.substr(0, value.find('#'));
    if (value.empty()) return false;
    value = encodedForRequest(value);

    Url next;
    if (hasScheme(value)) {
        if (!startsWithIgnoringCase(value, "http://") && !startsWithIgnoringCase(value, "https://")) return false;
        const size_t hostStart = value.find("//") + 2;
        // An address without a path asks for the root.
        if (value.find('/', hostStart) == std::string::npos) {
            const size_t question = value.find('?', hostStart);
            value.insert(question == std::string::npos ? value.size() : question, "/");
        }
        if (!parseUrl(value, next)) return false;
    } else if (value.compare(0, 2, "//") == 0) {
        std::string rest = value.substr(2);
        if (rest.find('/') == std::string::npos) {
            const size_t question = rest.find('?');
            rest.insert(question == std::string::npos ? rest.size() : question, "/");
        }
        if (!parseUrl(current.scheme + "://" + rest, next)) return false;
    } else {
        next = current;
        if (value[0] == '/') {
            next.path = value;
        } else if (value[0] == '?') {
            next.path = current.path.substr(0, current.path.find('?')) + value;
        } else {
            const std::string basePath = current.path.substr(0, current.path.find('?'));
            next.path = basePath.substr(0, basePath.rfind('/') + 1) + value;
        }
    }
    if (next.host.empty() || next.host.find_first_of("/?") != std::string::npos) return false;
    next.path = normalised(next.path);
    // Credentials meant for one host are not handed to another.
    if (!next.hasUserInfo && current.hasUserInfo && next.host == current.host && next.scheme == current.scheme) {
        next.userInfo = current.userInfo;
        next.hasUserInfo = true;
    }
    // The base may carry what a request line cannot (a configured address beyond ASCII).
    const std::string formatted = encodedForRequest(formatUrl(next));
    for (unsigned char c : formatted)
        if (c < 0x20 || c == 0x7f || c == '#') return false;
    target = formatted;
    return true;
}
