// Fuzzes the reading of Range answers: the input is a Content-Type line, a Content-Range line
// and a multipart/byteranges body as a server could send them. The body fed whole and fed in
// small pieces must give the same parts and the same verdict (nothing may depend on where the
// network cut it), every byte handed on must lie inside the file, and a Content-Range that is
// read must describe a non-empty range inside the file.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "net/byte_ranges.h"

namespace {

constexpr uint64_t kFileSize = 100000;

struct Collected {
    std::vector<std::pair<uint64_t, std::string>> pieces;
    static bool take(void* context, uint64_t offset, const char* data, size_t length) {
        auto& pieces = static_cast<Collected*>(context)->pieces;
        FUZZ_CHECK(length > 0, "an empty piece was handed on");
        FUZZ_CHECK(offset < kFileSize && length <= kFileSize - offset, "bytes outside the file were handed on");
        if (!pieces.empty() && pieces.back().first + pieces.back().second.size() == offset)
            pieces.back().second.append(data, length);
        else
            pieces.emplace_back(offset, std::string(data, length));
        return true;
    }
};

struct Outcome {
    bool ok = true;
    bool complete = false;
    Collected collected;
};

Outcome feed(const std::string& boundary, const std::string& body, size_t piece) {
    Outcome outcome;
    MultipartReader reader(boundary, kFileSize, Collected::take, &outcome.collected);
    for (size_t at = 0; at < body.size() && outcome.ok; at += piece)
        outcome.ok = reader.feed(body.data() + at, std::min(piece, body.size() - at));
    outcome.complete = reader.complete();
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t firstLine = input.find('\n');
    if (firstLine == std::string::npos) return 0;
    const size_t secondLine = input.find('\n', firstLine + 1);
    if (secondLine == std::string::npos) return 0;
    const std::string contentType = input.substr(0, firstLine);
    const std::string contentRange = input.substr(firstLine + 1, secondLine - firstLine - 1);
    const std::string body = input.substr(secondLine + 1);

    ByteRange range;
    uint64_t total = 0;
    if (parseContentRange(contentRange, range, total))
        FUZZ_CHECK(range.start < range.end && range.end <= total, "a Content-Range outside its file was read");

    std::string boundary;
    if (!multipartBoundary(contentType, boundary)) return 0;
    FUZZ_CHECK(!boundary.empty() && boundary.size() <= 70, "an unusable boundary was read");
    const Outcome whole = feed(boundary, body, body.size() + 1);
    for (size_t piece : {size_t(1), size_t(3), size_t(64)}) {
        const Outcome cut = feed(boundary, body, piece);
        // A failure may come earlier in the stream, but whatever succeeds must agree.
        FUZZ_CHECK(cut.ok == whole.ok && cut.complete == whole.complete, "the verdict depends on how the body was cut");
        if (whole.ok) FUZZ_CHECK(cut.collected.pieces == whole.collected.pieces, "the parts depend on how the body was cut");
    }
    return 0;
}
