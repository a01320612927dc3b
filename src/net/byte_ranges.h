// Reading the answers to Range requests: "Content-Range" values, the boundary of a
// "multipart/byteranges" body, and that body itself as it streams in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// One run of bytes of a file, [start, end).
struct ByteRange {
    uint64_t start = 0;
    uint64_t end = 0;
    bool operator==(const ByteRange& other) const { return start == other.start && end == other.end; }
};

// Reads "bytes FIRST-LAST/TOTAL" into the range [FIRST, LAST + 1) and the file's size. False
// for anything else, FIRST beyond LAST, LAST beyond TOTAL - 1, an unknown total ("*"), or
// numbers beyond 2^62.
bool parseContentRange(const std::string& value, ByteRange& range, uint64_t& total);

// The boundary of a "multipart/byteranges; boundary=..." content type (quoted or not); false
// for another type or a boundary that is empty, longer than 70 characters or holds a control
// character.
bool multipartBoundary(const std::string& contentType, std::string& boundary);

// A "multipart/byteranges" body fed as it arrives, in pieces of any size: hands the bytes of
// every part to the sink with their offset in the file. Each part must carry a Content-Range
// whose total is `fileSize`. Memory: a part's header at most (8 KiB).
class MultipartReader {
public:
    // Called with the bytes of a part in order; returning false stops the reading (failed).
    using Sink = bool (*)(void* context, uint64_t offset, const char* data, size_t length);
    // Called with a part's range once its header is read, before any of its bytes are; false
    // refuses the part, which stops the reading (failed).
    using PartCheck = bool (*)(void* context, const ByteRange& part);

    MultipartReader(const std::string& boundary, uint64_t fileSize, Sink sink, void* context,
                    PartCheck check = nullptr);
    // False once the body is malformed or the sink refused; the reader then takes nothing more.
    bool feed(const char* data, size_t length);
    // True when the closing delimiter has arrived (whatever follows it is ignored).
    bool complete() const { return state_ == State::Done; }

private:
    enum class State { Delimiter, PartHeader, Body, Done, Failed };
    bool fail();
    bool takeDelimiter();
    bool takePartHeader();

    std::string delimiter_;
    uint64_t fileSize_;
    Sink sink_;
    void* context_;
    PartCheck check_;
    State state_ = State::Delimiter;
    // Text of a delimiter or part header still being gathered.
    std::string pending_;
    bool firstPart_ = true;
    uint64_t offset_ = 0;
    uint64_t remaining_ = 0;
};
