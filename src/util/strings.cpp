// Text operations with the classic locale's idea of whitespace.
#include "util/strings.h"

#include <climits>
#include <cstdio>

std::string intToString(int32_t value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%i", int(value));
    return buffer;
}

bool split(StringList& out, const std::string& text, const std::string& separator) {
    if (text.empty() || separator.empty()) return false;
    size_t position = 0;
    for (;;) {
        const size_t match = text.find(separator, position);
        if (match == std::string::npos) {
            out.push_back(text.substr(position));
            return true;
        }
        if (match > position) out.push_back(text.substr(position, match - position));
        position = match + separator.size();
    }
}

void replaceAll(std::string& text, const std::string& pattern, const std::string& replacement) {
    if (pattern.empty()) return;
    // Each pass copies the text once (replacing in place would move the rest of the text at
    // every occurrence: quadratic in megabytes of carriage returns). A replacement that makes
    // the pattern anew, against the contract, takes further passes until none is left.
    while (text.find(pattern) != std::string::npos) {
        std::string result;
        result.reserve(text.size());
        size_t from = 0;
        for (size_t at = text.find(pattern); at != std::string::npos; at = text.find(pattern, from)) {
            result.append(text, from, at - from);
            result += replacement;
            from = at + pattern.size();
        }
        result.append(text, from, std::string::npos);
        text.swap(result);
    }
}

bool isWhitespace(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u == ' ' || (u >= 9 && u <= 13);
}

void removeWhitespace(std::string& text) {
    size_t kept = 0;
    for (char c : text)
        if (!isWhitespace(c)) text[kept++] = c;
    text.resize(kept);
}

void trimWhitespace(std::string& text) {
    size_t end = text.size();
    while (end > 0 && isWhitespace(text[end - 1])) --end;
    size_t begin = 0;
    while (begin < end && isWhitespace(text[begin])) ++begin;
    text = text.substr(begin, end - begin);
}

std::string asciiLowerCase(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return text;
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool hasGzipSuffix(const std::string& name) { return endsWith(name, ".gz"); }

std::string withoutGzipSuffix(const std::string& name) {
    return name.size() < 3 ? name : name.substr(0, name.size() - 3);
}
