// Reading the status line and header fields of a response.
#include "net/http_response.h"

#include <cctype>

namespace {

// What the log shows at most of a text the server chose.
constexpr size_t kMaxQuotedBytes = 200;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool equalsIgnoringCase(const std::string& text, size_t from, size_t length, const char* word) {
    size_t i = 0;
    for (; word[i]; ++i)
        if (i >= length || std::tolower((unsigned char)text[from + i]) != word[i]) return false;
    return i == length;
}

bool parseLength(const std::string& value, int64_t& length) {
    if (value.empty()) return false;
    int64_t result = 0;
    for (char c : value) {
        if (!isDigit(c)) return false;
        if (result > (INT64_MAX - (c - '0')) / 10) return false;
        result = result * 10 + (c - '0');
    }
    length = result;
    return true;
}

std::string trimmed(const std::string& text, size_t from, size_t to) {
    while (from < to && (text[from] == ' ' || text[from] == '\t')) ++from;
    while (to > from && (text[to - 1] == ' ' || text[to - 1] == '\t' || text[to - 1] == '\r')) --to;
    return text.substr(from, to - from);
}

// "bytes N-M/T" or "bytes N-M/*": N. -1 for anything else.
int64_t rangeStartOf(const std::string& value) {
    if (value.compare(0, 6, "bytes ") != 0) return -1;
    const size_t dash = value.find('-', 6);
    const size_t slash = value.find('/', 6);
    if (dash == std::string::npos || slash == std::string::npos || dash > slash) return -1;
    int64_t start, end;
    if (!parseLength(value.substr(6, dash - 6), start) || !parseLength(value.substr(dash + 1, slash - dash - 1), end) ||
        end < start)
        return -1;
    return start;
}

// Hands each "name: value" line behind the status line to `take(nameStart, nameLength, value)`,
// in order, the value trimmed; stops at the first take that returns false, and returns that.
template <class Take>
bool forEachField(const std::string& header, Take take) {
    size_t lineStart = header.find('\n');
    while (lineStart != std::string::npos) {
        ++lineStart;
        size_t lineEnd = header.find('\n', lineStart);
        if (lineEnd == std::string::npos) lineEnd = header.size();
        const size_t colon = header.find(':', lineStart);
        if (colon != std::string::npos && colon < lineEnd &&
            !take(lineStart, colon - lineStart, trimmed(header, colon + 1, lineEnd)))
            return false;
        lineStart = lineEnd < header.size() ? lineEnd : std::string::npos;
    }
    return true;
}

}  // namespace

std::string textForLog(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (out.size() >= kMaxQuotedBytes) break;
        if (c >= 0x20 && c != 0x7f) out += char(c);
    }
    return out;
}

bool findHeaderField(const std::string& header, const char* name, std::string& value) {
    std::string wanted = name;
    for (char& c : wanted) c = char(std::tolower((unsigned char)c));
    // The walk stops (false) at the first field of that name.
    return !forEachField(header, [&](size_t nameStart, size_t nameLength, const std::string& fieldValue) {
        if (!equalsIgnoringCase(header, nameStart, nameLength, wanted.c_str())) return true;
        value = fieldValue;
        return false;
    });
}

namespace {

// Reads the fields behind the status line into `head`, whose status and version are set.
bool parseFields(const std::string& header, HttpResponseHead& head) {
    bool keepAliveOffered = false, closeAsked = false;
    const bool read = forEachField(header, [&](size_t nameStart, size_t nameLength, const std::string& value) {
        auto named = [&](const char* word) { return equalsIgnoringCase(header, nameStart, nameLength, word); };
        if (named("content-length")) {
            int64_t length;
            // Two different lengths leave the body's end unknown.
            if (!parseLength(value, length)) return false;
            if (head.contentLength >= 0 && head.contentLength != length) return false;
            head.contentLength = length;
        } else if (named("location")) {
            head.location = value;
        } else if (named("content-encoding")) {
            head.contentEncoding = value;
            for (char& c : head.contentEncoding) c = char(std::tolower((unsigned char)c));
        } else if (named("transfer-encoding")) {
            head.transferEncoding = value;
            for (char& c : head.transferEncoding) c = char(std::tolower((unsigned char)c));
        } else if (named("content-range")) {
            head.rangeStart = rangeStartOf(value);
        } else if (named("connection")) {
            std::string tokens = value;
            for (char& c : tokens) c = char(std::tolower((unsigned char)c));
            keepAliveOffered = tokens.find("keep-alive") != std::string::npos;
            closeAsked = tokens.find("close") != std::string::npos;
        } else if (named("retry-after")) {
            int64_t seconds;
            head.retryAfterSeconds = parseLength(value, seconds) ? seconds : -1;
        }
        return true;
    });
    if (!read) return false;
    head.chunked = head.transferEncoding == "chunked";
    const bool lengthAndChunks = head.chunked && head.contentLength >= 0;
    // Chunks end the body, whatever length was given beside them.
    if (head.chunked) head.contentLength = -1;
    head.keepAlive = !closeAsked && !lengthAndChunks && (head.version == 11 || keepAliveOffered);
    return true;
}

}  // namespace

bool parseResponseHead(const std::string& header, HttpResponseHead& head) {
    head = HttpResponseHead();
    // "HTTP/1.x NNN": the version digit, a space and three status digits.
    if (header.size() < 12 || header.compare(0, 7, "HTTP/1.") != 0 || !isDigit(header[7]) ||
        header[8] != ' ' || !isDigit(header[9]) || !isDigit(header[10]) || !isDigit(header[11]))
        return false;
    if (header.size() > 12 && header[12] != ' ' && header[12] != '\r' && header[12] != '\n') return false;
    head.version = header[7] == '0' ? 10 : 11;
    head.success = header[9] == '2';
    head.status = (header[9] - '0') * 100 + (header[10] - '0') * 10 + (header[11] - '0');
    head.statusLine = textForLog(header.substr(0, header.find('\n')));
    return parseFields(header, head);
}

bool parseHttp2Head(const std::string& header, HttpResponseHead& head) {
    head = HttpResponseHead();
    if (header.size() < 10 || header.compare(0, 7, "HTTP/2 ") != 0 || !isDigit(header[7]) || !isDigit(header[8]) ||
        !isDigit(header[9]) || (header.size() > 10 && header[10] != '\r'))
        return false;
    head.version = 20;
    head.success = header[7] == '2';
    head.status = (header[7] - '0') * 100 + (header[8] - '0') * 10 + (header[9] - '0');
    head.statusLine = header.substr(0, 10);
    return parseFields(header, head);
}
