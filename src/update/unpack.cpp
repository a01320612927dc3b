// Unpacking an arrived ".gz" beside the file it replaces, bounded and hashed as it is written.
#include "update/unpack.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "update/own_files.h"
#include "util/file_system.h"
#include "util/file_vouch.h"
#include "util/md5.h"
#include "util/strings.h"

namespace {

constexpr unsigned kGunzipBufferSize = 1024;
// The compressed side is read in larger pieces: fewer reads, and still a fixed memory.
constexpr unsigned kGunzipInputSize = 16 * 1024;
const unsigned char kGzipMagic[2] = {0x1f, 0x8b};

// Reads `in` whole and writes what it holds to `out`: the data of every gzip member, one after
// another, or the bytes themselves when `in` does not start with gzip's magic, as zlib's gzip
// reader does. That reader (gzread) is not used: when a stream is cut right where its output
// buffer fills with a copy still pending, it reports a clean end. Here a member must reach its
// end and its check values must match; what follows the last member and is no gzip magic is
// ignored, as by gzip and zlib.
bool copyInflated(std::FILE* in, std::FILE* out, int64_t maxBytes, bool& tooLarge, bool& diskFull, Md5State& digest,
                  const std::atomic<bool>* stop) {
    int64_t written = 0;
    int64_t unwritten = 0;
    // Counts what goes out and refuses to pass the bound; hashes it, so the check of the result
    // needs no second read. A stop ends a large file's unpacking at once.
    auto emit = [&](const unsigned char* data, size_t length) {
        if (stop && stop->load(std::memory_order_relaxed)) return false;
        written += int64_t(length);
        if (maxBytes > 0 && written > maxBytes) {
            tooLarge = true;
            return false;
        }
        md5Append(digest, data, int32_t(length));
        if (std::fwrite(data, 1, length, out) != length) {
            diskFull = errno == ENOSPC;
            return false;
        }
        // Written out while it is unpacked: the flush before the rename then waits for little.
        writeBehind(out, length, unwritten);
        return true;
    };
    unsigned char input[kGunzipInputSize];
    unsigned char output[kGunzipBufferSize];
    size_t have = std::fread(input, 1, sizeof input, in);
    if (have < 2 || input[0] != kGzipMagic[0] || input[1] != kGzipMagic[1]) {
        // Not gzip data: copied unchanged.
        while (have > 0) {
            if (!emit(input, have)) return false;
            have = std::fread(input, 1, sizeof input, in);
        }
        return !std::ferror(in);
    }

    z_stream stream{};
    // 16 + the largest window: gzip wrapping only.
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) return false;
    stream.next_in = input;
    stream.avail_in = uInt(have);
    bool inputEnded = false;
    bool ok = false;
    for (;;) {
        if (stream.avail_in == 0 && !inputEnded) {
            have = std::fread(input, 1, sizeof input, in);
            inputEnded = have == 0;
            stream.next_in = input;
            stream.avail_in = uInt(have);
        }
        stream.next_out = output;
        stream.avail_out = sizeof output;
        const int status = inflate(&stream, Z_NO_FLUSH);
        // Z_BUF_ERROR is no progress: with the input at its end, the member was cut short. Any
        // other error is damaged data, whose last output is not written.
        if (status != Z_OK && status != Z_STREAM_END) break;
        const size_t produced = sizeof output - stream.avail_out;
        // A short write is a full disk or a failing device.
        if (!emit(output, produced)) break;
        if (status != Z_STREAM_END) continue;

        // Another member follows only behind gzip's magic.
        if (stream.avail_in < 2 && !inputEnded) {
            std::memmove(input, stream.next_in, stream.avail_in);
            have = stream.avail_in + std::fread(input + stream.avail_in, 1, sizeof input - stream.avail_in, in);
            inputEnded = have == stream.avail_in;
            stream.next_in = input;
            stream.avail_in = uInt(have);
        }
        if (stream.avail_in < 2 || stream.next_in[0] != kGzipMagic[0] || stream.next_in[1] != kGzipMagic[1]) {
            ok = true;
            break;
        }
        if (inflateReset(&stream) != Z_OK) break;
    }
    inflateEnd(&stream);
    return ok && !std::ferror(in);
}

}  // namespace

FinishOutcome unpackArrived(const std::string& gzPath, const std::string& outPath, const std::string& shownPath,
                            const std::string& unpackedMd5, bool unverified, const std::atomic<bool>* stop) {
    FinishOutcome outcome;
    auto note = [&outcome](const std::string& line) { outcome.lines.push_back("\t\t\t" + line); };
    note("Decompressing " + shownPath);
    const std::string shownOut = withoutGzipSuffix(shownPath);
    // Unpacked beside its output, which it becomes only once it is whole and verified.
    const std::string temporary = unpackName(outPath);
    const int64_t limit = unpackLimit(gzPath);
    bool tooLarge = false;
    std::string producedMd5;
    if (!gunzipFile(gzPath, temporary, limit, &tooLarge, &producedMd5, stop, &outcome.diskFull)) {
        if (tooLarge) note(shownPath + " unpacks to more than " + std::to_string(limit) + " bytes");
        if (outcome.diskFull) note("The disk is full");
        note("Failed to decompress " + shownPath);
        // A verified ".gz" stays, and the next run decompresses it without a transfer; one that
        // nothing vouches for would only be fetched again. A stop keeps it, as a kill would.
        if (unverified && !(stop && stop->load())) platformRemoveFile(gzPath);
        outcome.failure = "Could not decompress " + shownPath;
        return outcome;
    }
    // The download was checked as it is on the server; only this shows that it unpacks into
    // the file the manifest lists. Otherwise the run would end with "Done!" and every later
    // run would fetch it again.
    if (!unpackedMd5.empty() && producedMd5 != unpackedMd5) {
        platformRemoveFile(temporary);
        note("Decompressed " + shownOut + " (" + producedMd5 + ") does not match " + unpackedMd5);
        outcome.failure = "Could not decompress " + shownPath;
        return outcome;
    }
    // Flushed to the disk before the rename, so a power cut never leaves its name over zeroes.
    if (!placeVerifiedFile(temporary, outPath, &outcome.verifiedVouch)) {
        platformRemoveFile(temporary);
        note("Could not replace " + shownOut);
        outcome.failure = "Could not decompress " + shownPath;
        return outcome;
    }
    outcome.verifiedPath = outPath;
    outcome.verifiedMd5 = producedMd5;
    deleteIfExists(gzPath);
    return outcome;
}

int64_t unpackLimit(const std::string& gzPath) {
    std::FILE* in = platformOpenFile(gzPath, PlatformOpenMode::Read);
    if (!in) return kUnpackFloor;
    const int64_t size = std::max<int64_t>(0, platformSeekFile(in, -1));
    std::fclose(in);
    return std::max(kUnpackFloor, size * kUnpackRatio);
}

bool gunzipFile(const std::string& gzPath, const std::string& outPath, int64_t maxBytes, bool* tooLarge,
                std::string* unpackedMd5, const std::atomic<bool>* stop, bool* diskFull) {
    std::FILE* in = platformOpenFile(gzPath, PlatformOpenMode::Read);
    // Opened only once the input is known to be readable, so that a missing ".gz" does not
    // touch the output.
    if (!in) return false;
    std::FILE* out = platformOpenFile(outPath, PlatformOpenMode::Write);
    if (!out) {
        std::fclose(in);
        return false;
    }
    bool bounded = false;
    bool full = false;
    Md5State digest;
    md5Init(digest);
    bool ok = copyInflated(in, out, maxBytes, bounded, full, digest, stop);
    std::fclose(in);
    // The close reports data the stream buffer could not write out.
    if (std::fclose(out) != 0) {
        full = full || errno == ENOSPC;
        ok = false;
    }
    if (diskFull) *diskFull = full && !ok;
    // What was unpacked before a fault is no file at all: it must not fill the disk, nor pass
    // for an older copy.
    if (!ok) platformRemoveFile(outPath);
    if (tooLarge) *tooLarge = bounded;
    if (ok && unpackedMd5) {
        uint8_t bytes[16];
        md5Finish(digest, bytes);
        *unpackedMd5 = md5ToText(bytes);
    }
    return ok;
}
