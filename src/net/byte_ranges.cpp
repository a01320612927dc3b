// Reading the answers to Range requests: Content-Range values and multipart/byteranges bodies.
#include "net/byte_ranges.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "net/http_response.h"

namespace {

constexpr size_t kMaxPartHeader = 8 * 1024;
// Text a server may put before the first delimiter (RFC 2046's preamble).
constexpr size_t kMaxPreamble = 1024;
constexpr uint64_t kMaxNumber = uint64_t(1) << 62;

std::string lowered(std::string text) {
    for (char& c : text) c = char(std::tolower((unsigned char)c));
    return text;
}

std::string trimmed(const std::string& text) {
    size_t from = 0, to = text.size();
    while (from < to && (text[from] == ' ' || text[from] == '\t')) ++from;
    while (to > from && (text[to - 1] == ' ' || text[to - 1] == '\t' || text[to - 1] == '\r')) --to;
    return text.substr(from, to - from);
}

// Reads decimal digits at `at`; false when there are none or the number is too large.
bool readNumber(const std::string& text, size_t& at, uint64_t& value) {
    const size_t start = at;
    value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        value = value * 10 + uint64_t(text[at] - '0');
        if (value > kMaxNumber) return false;
        ++at;
    }
    return at > start;
}

}  // namespace

bool parseContentRange(const std::string& value, ByteRange& range, uint64_t& total) {
    if (lowered(value.substr(0, 6)) != "bytes ") return false;
    size_t at = 6;
    uint64_t first, last, size;
    if (!readNumber(value, at, first) || at >= value.size() || value[at++] != '-') return false;
    if (!readNumber(value, at, last) || at >= value.size() || value[at++] != '/') return false;
    if (!readNumber(value, at, size) || at != value.size()) return false;
    if (first > last || last >= size) return false;
    range = {first, last + 1};
    total = size;
    return true;
}

bool multipartBoundary(const std::string& contentType, std::string& boundary) {
    const size_t semicolon = contentType.find(';');
    if (lowered(trimmed(contentType.substr(0, semicolon))) != "multipart/byteranges") return false;
    if (semicolon == std::string::npos) return false;
    const std::string parameters = contentType.substr(semicolon + 1);
    const size_t key = lowered(parameters).find("boundary=");
    if (key == std::string::npos) return false;
    std::string text = parameters.substr(key + 9);
    if (!text.empty() && text[0] == '"') {
        const size_t close = text.find('"', 1);
        if (close == std::string::npos) return false;
        text = text.substr(1, close - 1);
    } else {
        text = trimmed(text.substr(0, text.find(';')));
    }
    if (text.empty() || text.size() > 70) return false;
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f) return false;
    boundary = text;
    return true;
}

MultipartReader::MultipartReader(const std::string& boundary, uint64_t fileSize, Sink sink, void* context,
                                 PartCheck check)
    : delimiter_("--" + boundary), fileSize_(fileSize), sink_(sink), context_(context), check_(check) {}

bool MultipartReader::fail() {
    state_ = State::Failed;
    pending_.clear();
    return false;
}

// A delimiter is "--boundary" followed by CRLF (a part follows) or "--" (the end). Before the
// first one only a short preamble may come; between parts only the CRLF that ends a body.
bool MultipartReader::takeDelimiter() {
    const size_t at = pending_.find(delimiter_);
    if (at == std::string::npos) {
        if (pending_.size() > kMaxPreamble + delimiter_.size()) return fail();
        return true;
    }
    if (firstPart_ ? at > kMaxPreamble : pending_.compare(0, at, "\r\n") != 0) return fail();
    const size_t after = at + delimiter_.size();
    if (pending_.size() < after + 2) return true;
    if (pending_.compare(after, 2, "--") == 0) {
        state_ = State::Done;
        pending_.clear();
        return true;
    }
    if (pending_.compare(after, 2, "\r\n") != 0) return fail();
    pending_.erase(0, after + 2);
    firstPart_ = false;
    state_ = State::PartHeader;
    return true;
}

bool MultipartReader::takePartHeader() {
    // The limit is on where the blank line starts, not on what has been gathered, so that the
    // verdict does not depend on how the network cut the body.
    const size_t end = pending_.find("\r\n\r\n");
    if (end == std::string::npos) {
        if (pending_.size() > kMaxPartHeader + 3) return fail();
        return true;
    }
    if (end > kMaxPartHeader) return fail();
    // The part's own fields, read as a header with an empty first line.
    std::string value;
    ByteRange range;
    uint64_t total;
    if (!findHeaderField("\n" + pending_.substr(0, end), "content-range", value) ||
        !parseContentRange(value, range, total) || total != fileSize_)
        return fail();
    if (check_ && !check_(context_, range)) return fail();
    offset_ = range.start;
    remaining_ = range.end - range.start;
    pending_.erase(0, end + 4);
    state_ = State::Body;
    return true;
}

bool MultipartReader::feed(const char* data, size_t length) {
    for (;;) {
        if (state_ == State::Failed) return false;
        if (state_ == State::Done) return true;
        if (state_ == State::Body) {
            // Bytes gathered behind a part header belong to its body first.
            const bool fromPending = !pending_.empty();
            if (!fromPending && length == 0) return true;
            const char* bytes = fromPending ? pending_.data() : data;
            const size_t available = fromPending ? pending_.size() : length;
            const size_t take = size_t(std::min<uint64_t>(remaining_, available));
            if (take > 0 && !sink_(context_, offset_, bytes, take)) return fail();
            offset_ += take;
            remaining_ -= take;
            if (fromPending) {
                pending_.erase(0, take);
            } else {
                data += take;
                length -= take;
            }
            if (remaining_ == 0) state_ = State::Delimiter;
            continue;
        }
        // Delimiters and part headers are short: gathered as text a little at a time, so that
        // the body bytes behind them are not copied in bulk.
        const State before = state_;
        if (!(state_ == State::Delimiter ? takeDelimiter() : takePartHeader())) return false;
        if (state_ != before) continue;
        if (length == 0) return true;
        const size_t take = std::min<size_t>(length, 256);
        pending_.append(data, take);
        data += take;
        length -= take;
    }
}
