// Fuzzes gunzipFile with the input as a downloaded ".gz" file, against zlib's own inflate of
// the same bytes: it must succeed exactly when the input is whole gzip data (or no gzip data
// at all, which is copied), write exactly what inflate yields, and never touch the ".gz".
#include <zlib.h>

#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "update/unpack.h"
#include "util/file_system.h"

namespace {

std::string g_gzPath;
std::string g_outPath;

struct Inflated {
    // Every byte inflate produced, also before an error.
    std::string data;
    bool ok = true;
};

bool startsWithGzipMagic(const uint8_t* data, size_t size) {
    return size >= 2 && data[0] == 0x1f && data[1] == 0x8b;
}

// What a gzip reader must make of the bytes: one member after another for as long as the next
// bytes are gzip's magic; anything else after a member is trailing garbage, which gzip and
// zlib ignore. A member that is damaged or cut short is an error.
Inflated inflateMembers(const uint8_t* data, size_t size) {
    Inflated result;
    size_t offset = 0;
    unsigned char out[4096];
    while (startsWithGzipMagic(data + offset, size - offset)) {
        z_stream stream{};
        if (inflateInit2(&stream, 15 + 16) != Z_OK) fuzzFailure(__FILE__, __LINE__, "inflateInit2", "");
        stream.next_in = const_cast<uint8_t*>(data + offset);
        stream.avail_in = uInt(size - offset);
        int status;
        do {
            stream.next_out = out;
            stream.avail_out = sizeof out;
            status = inflate(&stream, Z_NO_FLUSH);
            result.data.append(reinterpret_cast<char*>(out), sizeof out - stream.avail_out);
        } while (status == Z_OK);
        offset = size - stream.avail_in;
        inflateEnd(&stream);
        if (status != Z_STREAM_END) {
            // Z_BUF_ERROR here is input that ended inside the member.
            result.ok = false;
            return result;
        }
    }
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::string folder = makeScratchFolder("gunzip");
    g_gzPath = folder + "/file.dat.gz";
    g_outPath = folder + "/file.dat";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    writeFile(g_gzPath, input);
    // A stale result of an earlier input, as an interrupted run leaves one.
    writeFile(g_outPath, "stale output of an earlier run");

    const bool ok = gunzipFile(g_gzPath, g_outPath);

    std::string gz, out;
    FUZZ_CHECK(readWholeFile(gz, g_gzPath) && gz == input, "the .gz must stay as it was");
    const bool written = readWholeFile(out, g_outPath);
    if (!startsWithGzipMagic(data, size)) {
        // Not gzip data: copied unchanged.
        FUZZ_CHECK(ok, "a file without the gzip magic is copied, which cannot fail here");
        FUZZ_CHECK(written && out == input, "a file without the gzip magic is copied byte for byte");
        return 0;
    }
    const Inflated expected = inflateMembers(data, size);
    FUZZ_CHECK(ok == expected.ok, ok ? "damaged or truncated gzip data decompressed successfully"
                                     : "whole gzip data failed to decompress");
    if (ok) {
        FUZZ_CHECK(written && out == expected.data, "the output is not what inflate makes of the input");
    } else {
        // The output is a temporary name: a failed decompression removes it whole, so that
        // nothing half-written can ever be renamed over the player's file.
        FUZZ_CHECK(!written, "a failed decompression left its output behind");
    }
    return 0;
}
