// Updating a large file from the blocks its local copy already holds plus Range requests.
#include "update/delta_update.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <vector>

#include "net/body_decoder.h"
#include "net/http_client.h"
#include "net/range_fetch.h"
#include "platform/platform.h"
#include "update/block_map.h"
#include "update/block_matcher.h"
#include "update/own_files.h"
#include "util/file_system.h"
#include "util/file_vouch.h"
#include "util/md5_pipe.h"

namespace {

// Bytes of the map read from the network at once.
constexpr size_t kMapReadSize = 64 * 1024;
// What a range costs beside its bytes: its part's header in a multipart answer, a share of a
// request's.
constexpr uint64_t kRangeOverheadBytes = 100;

// How long the rebuild waits for the scan before it looks again at the block it needs.
constexpr int kScanWaitMs = 2;
// Blocks looked at past the rebuild's place for gaps the scan has gone past.
constexpr size_t kMaxGapWalk = 4096;
// Ranges asked for at once while the scan runs, as many as one request takes.
constexpr size_t kMaxEarlyRanges = 32;

uint64_t readGzSize(const std::string& header) {
    uint64_t value = 0;
    for (size_t i = 40; i < 48 && i < header.size(); ++i) value = (value << 8) | uint8_t(header[i]);
    return value;
}

struct FileCloser {
    std::FILE* file;
    ~FileCloser() {
        if (file) std::fclose(file);
    }
};

// Writes the new version front to back: fetched bytes where they arrive, local blocks in the
// gaps between them, the digest taken on the way (on a second processor, as a download's is).
// While the scan still runs, it writes the blocks found so far, in order.
class Assembler {
public:
    Assembler(const BlockMap& map, BlockScan& scan, std::FILE* local, std::FILE* part, const PlatformCancel* cancel)
        : map_(map), scan_(scan), local_(local), part_(part), cancel_(cancel), buffer_(new uint8_t[kReadSize]) {}

    static bool take(void* context, uint64_t offset, const char* data, size_t length) {
        return static_cast<Assembler*>(context)->write(offset, data, length);
    }

    // Fills up to `offset` from local blocks; false when a block there is not held locally
    // (the server skipped a range), cannot be read or written, or the transfer is cancelled.
    // `soFar`: the blocks found so far, stopping (true) at one not found yet.
    bool fillTo(uint64_t offset, bool soFar = false) {
        while (written_ < offset) {
            if (platformCancelRaised(cancel_)) return false;
            size_t block = size_t(written_ / map_.blockSize);
            if (block >= map_.blockCount() || scan_.source(block) == kBlockNotHeld) return soFar;
            const int64_t from = scan_.source(block) + int64_t(written_ - uint64_t(block) * map_.blockSize);
            // Blocks that follow each other in the local file too are read in one go.
            uint64_t end = uint64_t(block) * map_.blockSize + map_.blockLength(block);
            while (end < offset && ++block < map_.blockCount() && scan_.source(block) == from + int64_t(end - written_))
                end = uint64_t(block) * map_.blockSize + map_.blockLength(block);
            const size_t count = size_t(std::min<uint64_t>(std::min(end, offset) - written_, kReadSize));
            // A seek empties the stream's buffer.
            if (from != localOffset_ && platformSeekFile(local_, from) != from) return false;
            if (std::fread(buffer_.get(), 1, count, local_) != count) return false;
            localOffset_ = from + int64_t(count);
            // The old copy is read once here and replaced afterwards: its cached pages are let
            // go as they are used, so that the new file's pages reuse them instead of holding a
            // second copy of a large pack in memory (fresh pages are slow to come by on a busy
            // machine, and slower still in a virtual one).
            platformForgetCachedBytes(local_, from, int64_t(count));
            if (!append(buffer_.get(), count)) return false;
            reused_ += count;
            expectedAt_ = localOffset_;
        }
        return true;
    }

    uint64_t written() const { return written_; }
    uint64_t reused() const { return reused_; }
    // Where in the local copy the next block would be if the run of blocks before it went on.
    int64_t expectedAt() const { return expectedAt_; }
    // The digest of everything written. Once only.
    std::string md5() { return md5_.finish(); }

private:
    static constexpr size_t kReadSize = 1 << 20;

    bool write(uint64_t offset, const char* data, size_t length) {
        if (offset > written_ && !fillTo(offset)) return false;
        // Bytes already written (a server may send a range joined with its neighbour) are skipped.
        const uint64_t end = offset + length;
        if (end <= written_) return true;
        const size_t skip = size_t(written_ - offset);
        expectedAt_ += int64_t(length - skip);
        return append(reinterpret_cast<const uint8_t*>(data) + skip, length - skip);
    }

    bool append(const uint8_t* data, size_t length) {
        if (written_ + length > map_.fileSize) return false;
        if (std::fwrite(data, 1, length, part_) != length) return false;
        md5_.append(data, length);
        written_ += length;
        return true;
    }

    const BlockMap& map_;
    BlockScan& scan_;
    std::FILE* local_;
    std::FILE* part_;
    const PlatformCancel* cancel_;
    std::unique_ptr<uint8_t[]> buffer_;
    Md5Pipe md5_;
    uint64_t written_ = 0;
    uint64_t reused_ = 0;
    // Where the next read of the local stream starts.
    int64_t localOffset_ = 0;
    int64_t expectedAt_ = 0;
};

bool giveUp(DownloadRequest& request, const std::string& why) {
    request.note = "\t\t\tDelta update of " + request.shortcut.localPath + " not possible (" + why +
                   "); fetching it whole\n";
    return false;
}

std::string bytesText(uint64_t count) { return std::to_string(count) + " bytes"; }

// Gathers a map as it arrives, wire or decoded bytes alike, and refuses it as soon as its
// header does not fit: nothing beyond the size the header names is ever held.
class MapGatherer {
public:
    // `wireLength`: the answer's Content-Length when it frames the map itself (-1: none, or
    // the map arrives compressed). `gzLine`: a ".gz" would be fetched instead.
    MapGatherer(std::string& bytes, int64_t wireLength, bool gzLine)
        : bytes_(bytes), wireLength_(wireLength), gzLine_(gzLine) {}

    // False once the map is refused (`why` says why) or complete with more bytes following.
    bool take(const char* data, size_t length) {
        if (!why_.empty()) return false;
        while (length > 0) {
            const uint64_t wanted = expected_ > 0 ? expected_ : kBlockMapHeaderSize;
            if (bytes_.size() >= wanted) return refuse("damaged block map");
            const size_t part = size_t(std::min<uint64_t>(length, wanted - bytes_.size()));
            bytes_.append(data, part);
            data += part;
            length -= part;
            if (expected_ == 0 && bytes_.size() == kBlockMapHeaderSize && !readHeader()) return false;
        }
        return true;
    }
    bool complete() const { return why_.empty() && expected_ > 0 && bytes_.size() == expected_; }
    const std::string& why() const { return why_; }
    bool refuse(const std::string& why) {
        if (why_.empty()) why_ = why;
        return false;
    }

private:
    bool readHeader() {
        expected_ = blockMapSizeFromHeader(reinterpret_cast<const uint8_t*>(bytes_.data()));
        if (expected_ == 0)
            return refuse(isBlockMapOfAnotherVersion(bytes_) ? "a block map of another format version"
                                                             : "damaged block map");
        // A length on the wire that is not the map's own is no map of this file.
        if (expected_ > uint64_t(kMaxBlockMapBytes) || (wireLength_ >= 0 && uint64_t(wireLength_) != expected_))
            return refuse("damaged block map");
        const uint64_t gzSize = readGzSize(bytes_);
        if (gzLine_ && gzSize > 0 && expected_ >= gzSize) return refuse("the block map alone would cost more than the .gz");
        bytes_.reserve(size_t(expected_));
        return true;
    }

    std::string& bytes_;
    const int64_t wireLength_;
    const bool gzLine_;
    uint64_t expected_ = 0;
    std::string why_;
};

// Fetches and reads the map; false with the reason when there is none to use. On a line with
// a ".gz" (`gzLine`), a map whose header says it alone would cost as much as the ".gz" is not
// read further.
bool fetchBlockMap(const DownloadRequest& request, const HttpOptions& options, bool gzLine, BlockMap& map,
                   uint64_t& mapBytes, std::string& why) {
    HttpResponse answer;
    if (!httpOpen(request.shortcut.url + kBlockMapSuffix, "", options, answer) || answer.head.status != 200) {
        why = "no block map on the server";
        return false;
    }
    const std::string& encoding = answer.head.contentEncoding;
    const bool encoded = encoding == "gzip" || encoding == "x-gzip";
    if (!encoded && !encoding.empty() && encoding != "identity") {
        why = "damaged block map";
        return false;
    }
    std::string bytes;
    MapGatherer gatherer(bytes, encoded ? -1 : answer.head.contentLength, gzLine);
    std::unique_ptr<GzipBodyDecoder> decoder(encoded ? new GzipBodyDecoder : nullptr);
    const GzipBodyDecoder::Writer take = [&](const char* data, size_t length) { return gatherer.take(data, length); };
    std::unique_ptr<char[]> block(new char[kMapReadSize]);
    // Compressed, a map is hardly any longer on the wire than its own length: a body that goes
    // on beyond the largest map (a gzip header whose comment never ends) is no map.
    uint64_t received = 0;
    for (;;) {
        const int64_t count = answer.receive(block.get(), kMapReadSize);
        if (count == 0) break;
        if (count < 0) {
            gatherer.refuse("no block map on the server");
            break;
        }
        received += uint64_t(count);
        if (received > uint64_t(kMaxBlockMapBytes) + kMapReadSize || !(decoder ? decoder->feed(block.get(), size_t(count), take) : take(block.get(), size_t(count)))) {
            gatherer.refuse("damaged block map");
            break;
        }
    }
    mapBytes = bytes.size();
    if (!gatherer.why().empty() || !gatherer.complete() || (decoder && !decoder->complete())) {
        why = !gatherer.why().empty() ? gatherer.why() : bytes.empty() ? "no block map on the server" : "damaged block map";
        return false;
    }
    answer.keepConnection();
    if (!parseBlockMap(bytes, map)) {
        why = "damaged block map";
        return false;
    }
    // The manifest's digest decides: a map left from another version is no use.
    if (map.md5 != request.shortcut.md5) {
        why = "the block map is of another version";
        return false;
    }
    return true;
}

// The blocks from the rebuild's place on that the scan has not found although it has gone past
// where the run before them would put them in the local copy: most likely missing, so that
// the rebuild need not wait for the scan's end to ask for them. None unless the blocks looked
// at, the rebuild's own included, are nine in ten found (a file changed here and there, not
// one that may turn out not to be worth a delta at all).
std::vector<ByteRange> passedGaps(const BlockMap& map, const BlockScan& scan, const Assembler& assembler) {
    std::vector<ByteRange> gaps;
    uint64_t seen = assembler.written();
    uint64_t found = assembler.reused();
    int64_t expected = assembler.expectedAt();
    // A gap is asked for once a found block ends it, so that it travels in one piece.
    bool closed = true;
    for (size_t block = size_t(assembler.written() / map.blockSize), walked = 0;
         block < map.blockCount() && walked < kMaxGapWalk; ++block, ++walked) {
        const uint64_t start = uint64_t(block) * map.blockSize;
        const uint64_t length = map.blockLength(block);
        const int64_t source = scan.source(block);
        if (source != kBlockNotHeld) {
            expected = source + int64_t(length);
            found += length;
            seen += length;
            closed = true;
            continue;
        }
        if (expected < 0 || !scan.passed(uint64_t(expected))) break;
        closed = false;
        if (!gaps.empty() && gaps.back().end == start)
            gaps.back().end = start + length;
        else if (gaps.size() < kMaxEarlyRanges)
            gaps.push_back({start, start + length});
        else
            break;
        expected += int64_t(length);
        seen += length;
    }
    if (!closed && !gaps.empty()) gaps.pop_back();
    if (found * 10 < seen * 9) gaps.clear();
    return gaps;
}

uint64_t bytesIn(const std::vector<ByteRange>& ranges) {
    uint64_t total = 0;
    for (const ByteRange& range : ranges) total += range.end - range.start;
    return total;
}

// Whether the ranges are worth fetching; false with the reason when the normal download (the
// ".gz", on a line that has one) is the better way.
bool worthFetching(const BlockMap& map, const std::vector<ByteRange>& missing, bool gzLine, std::string& why) {
    const uint64_t fetched = bytesIn(missing);
    const uint64_t reused = map.fileSize - fetched;
    // Reusing little saves little, and a map that finds almost nothing may be no map of this
    // file at all.
    if (map.fileSize > 0 && reused * 100 < map.fileSize * kDeltaMinReusedPercent) {
        why = "it would reuse only " + std::to_string(reused) + " of " + bytesText(map.fileSize);
        return false;
    }
    // The map is paid for either way: what is left to compare is the ranges against the .gz.
    const uint64_t ranges = fetched + missing.size() * kRangeOverheadBytes;
    if (gzLine && map.gzSize > 0 && ranges >= map.gzSize) {
        why = "the .gz costs less: " + bytesText(map.gzSize) + " against about " + bytesText(ranges) + " of ranges";
        return false;
    }
    return true;
}

}  // namespace

DownloadShortcutPlan deltaPlanFor(const std::string& url, const std::string& localPath, const std::string& md5) {
    DownloadShortcutPlan plan;
    if (md5.empty() || url.empty()) return plan;
    // Opened, not asked about by name: a link or anything but a regular file is left alone.
    std::FILE* local = platformOpenFile(localPath, PlatformOpenMode::Read);
    if (!local) return plan;
    const int64_t size = platformSeekFile(local, -1);
    std::fclose(local);
    if (size < int64_t(kDeltaMinLocalSize)) return plan;
    plan.url = url;
    plan.localPath = localPath;
    plan.md5 = md5;
    return plan;
}

bool tryDeltaUpdate(DownloadRequest& request, const HttpOptions& options) {
    const DownloadShortcutPlan& plan = request.shortcut;
    BlockMap map;
    std::string why;
    uint64_t mapBytes = 0;
    // The manager fetches the ".gz" when the shortcut gives up: the line has one when the
    // address it would fetch is not the plain file's.
    const bool gzLine = request.url != plan.url;
    if (!fetchBlockMap(request, options, gzLine, map, mapBytes, why)) return giveUp(request, why);

    const std::string partPath = downloadName(plan.resultPath);
    bool built = false;
    RangeFetchStats stats;
    uint64_t reused = 0;
    std::string digest;
    {
        FileCloser local{platformOpenFile(plan.localPath, PlatformOpenMode::Read)};
        if (!local.file) return giveUp(request, "the local copy could not be read");
        FileCloser part{platformOpenFile(partPath, PlatformOpenMode::Write)};
        if (!part.file) return giveUp(request, "the new version could not be written");
        // The scan runs beside the rebuild, which follows it with the blocks it finds, so that
        // the digest of the new version is mostly taken by the time the scan ends: one thread
        // for the scan, the other processor for the digest.
        BlockScan scan(map, plan.localPath, options.cancel, false);
        Assembler assembler(map, scan, local.file, part.file, options.cancel);
        RangeFetchResult result = RangeFetchResult::Fetched;
        bool filled = true;
        // Gaps the scan has gone past are asked for at once, within a budget: what a delta that
        // turns out not worth it would have spent for nothing.
        const uint64_t earlyBudget = (gzLine && map.gzSize > 0 ? std::min(map.gzSize, map.fileSize) : map.fileSize) / 16;
        uint64_t early = 0;
        while (filled && result == RangeFetchResult::Fetched) {
            filled = assembler.fillTo(map.fileSize, true);
            if (!filled || assembler.written() == map.fileSize || scan.wait(0)) break;
            const std::vector<ByteRange> gaps = passedGaps(map, scan, assembler);
            if (!gaps.empty() && early + bytesIn(gaps) <= earlyBudget) {
                early += bytesIn(gaps);
                result = fetchRanges(plan.url, gaps, map.fileSize, Assembler::take, &assembler, options, &stats);
                continue;
            }
            scan.wait(kScanWaitMs);
        }
        // The blocks the scan found last.
        filled = filled && result == RangeFetchResult::Fetched && scan.complete() && assembler.fillTo(map.fileSize, true);
        const std::vector<ByteRange> missing = missingRanges(map, scan.sources());
        std::vector<ByteRange> rest;
        for (const ByteRange& range : missing)
            if (range.end > assembler.written()) rest.push_back({std::max(range.start, assembler.written()), range.end});
        if (!scan.complete()) {
            why = "the local copy could not be read";
        } else if (result == RangeFetchResult::Fetched && !filled) {
            why = "the new version could not be written";
        } else if (result != RangeFetchResult::Fetched || worthFetching(map, missing, gzLine, why)) {
            if (result == RangeFetchResult::Fetched && !rest.empty())
                result = fetchRanges(plan.url, rest, map.fileSize, Assembler::take, &assembler, options, &stats);
            if (result == RangeFetchResult::RangesIgnored) why = "the server ignores Range requests";
            else if (result == RangeFetchResult::Failed) why = "a Range request failed";
            else if (!assembler.fillTo(map.fileSize) || assembler.written() != map.fileSize) why = "the blocks did not make up the file";
            else if ((digest = assembler.md5()) != plan.md5) why = "the result does not match its digest";
            else built = true;
        }
        reused = assembler.reused();
        const bool closed = std::fclose(part.file) == 0;
        part.file = nullptr;
        if (built && !closed) {
            built = false;
            why = "the new version could not be written";
        }
    }
    if (!built) {
        platformRemoveFile(partPath);
        return giveUp(request, why);
    }
    char note[512];
    std::snprintf(note, sizeof note,
                  "\t\t\tDelta update of %s: %" PRIu64 " of %" PRIu64 " bytes reused; fetched a %" PRIu64
                  "-byte block map and %" PRIu64 " bytes in %d Range requests\n",
                  plan.localPath.c_str(), reused, map.fileSize, mapBytes, stats.receivedBytes, stats.requests);
    // Checked as it was written; flushed to the disk before the rename.
    if (!placeVerifiedFile(partPath, plan.resultPath, &request.finishing.verifiedVouch)) {
        platformRemoveFile(partPath);
        return giveUp(request, "the new version could not be stored");
    }
    request.note = note;
    request.finishing.verifiedPath = plan.resultPath;
    request.finishing.verifiedMd5 = plan.md5;
    return true;
}
