// Updating a large file from the blocks its local copy already holds plus Range requests.
#include "update/delta_update.h"

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <vector>

#include "net/http_client.h"
#include "net/range_fetch.h"
#include "platform/platform.h"
#include "update/block_map.h"
#include "update/block_matcher.h"
#include "update/own_files.h"
#include "util/file_system.h"
#include "util/md5_pipe.h"

namespace {

struct FileCloser {
    std::FILE* file;
    ~FileCloser() {
        if (file) std::fclose(file);
    }
};

// Writes the new version front to back: fetched bytes where they arrive, local blocks in the
// gaps between them, the digest taken on the way (on a second processor, as a download's is).
class Assembler {
public:
    Assembler(const BlockMap& map, const std::vector<int64_t>& sources, std::FILE* local, std::FILE* part,
              const PlatformCancel* cancel)
        : map_(map), sources_(sources), local_(local), part_(part), cancel_(cancel), buffer_(new uint8_t[kReadSize]) {}

    static bool take(void* context, uint64_t offset, const char* data, size_t length) {
        return static_cast<Assembler*>(context)->write(offset, data, length);
    }

    // Fills up to `offset` from local blocks; false when a block there is not held locally
    // (the server skipped a range), cannot be read or written, or the transfer is cancelled.
    bool fillTo(uint64_t offset) {
        while (written_ < offset) {
            if (platformCancelRaised(cancel_)) return false;
            size_t block = size_t(written_ / map_.blockSize);
            if (block >= sources_.size() || sources_[block] == kBlockNotHeld) return false;
            const int64_t from = sources_[block] + int64_t(written_ - uint64_t(block) * map_.blockSize);
            // Blocks that follow each other in the local file too are read in one go.
            uint64_t end = uint64_t(block) * map_.blockSize + map_.blockLength(block);
            while (end < offset && ++block < sources_.size() && sources_[block] == from + int64_t(end - written_))
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
        }
        return true;
    }

    uint64_t written() const { return written_; }
    uint64_t reused() const { return reused_; }
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
    const std::vector<int64_t>& sources_;
    std::FILE* local_;
    std::FILE* part_;
    const PlatformCancel* cancel_;
    std::unique_ptr<uint8_t[]> buffer_;
    Md5Pipe md5_;
    uint64_t written_ = 0;
    uint64_t reused_ = 0;
    // Where the next read of the local stream starts.
    int64_t localOffset_ = 0;
};

bool giveUp(DownloadRequest& request, const std::string& why) {
    request.note = "\t\t\tDelta update of " + request.shortcut.localPath + " not possible (" + why +
                   "); fetching it whole\n";
    return false;
}

// Fetches and reads the map; false with the reason when there is none to use.
bool fetchBlockMap(const DownloadRequest& request, const HttpOptions& options, BlockMap& map, uint64_t& mapBytes,
                   std::string& why) {
    const std::string mapPath = request.shortcut.localPath + kBlockMapSuffix;
    const bool fetched = httpGet(request.shortcut.url + kBlockMapSuffix, mapPath, kMaxBlockMapBytes, options);
    std::string bytes;
    const bool read = fetched && readWholeFile(bytes, mapPath);
    platformRemoveFile(mapPath);
    if (!read || bytes.empty()) {
        why = "no block map on the server";
        return false;
    }
    mapBytes = bytes.size();
    if (int64_t(bytes.size()) > kMaxBlockMapBytes || !parseBlockMap(bytes, map)) {
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
    std::vector<int64_t> sources;
    const bool fetched = fetchBlockMap(request, options, map, mapBytes, why);
    const bool scanned = fetched && matchLocalBlocks(map, plan.localPath, sources, options.cancel);
    if (!fetched) return giveUp(request, why);
    if (!scanned) return giveUp(request, "the local copy could not be read");
    const std::vector<ByteRange> missing = missingRanges(map, sources);

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
        Assembler assembler(map, sources, local.file, part.file, options.cancel);
        RangeFetchResult result = RangeFetchResult::Fetched;
        if (!missing.empty())
            result = fetchRanges(plan.url, missing, map.fileSize, Assembler::take, &assembler, options, &stats);
        if (result == RangeFetchResult::RangesIgnored) why = "the server ignores Range requests";
        else if (result == RangeFetchResult::Failed) why = "a Range request failed";
        else if (!assembler.fillTo(map.fileSize) || assembler.written() != map.fileSize) why = "the blocks did not make up the file";
        else if ((digest = assembler.md5()) != plan.md5) why = "the result does not match its digest";
        else built = true;
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
    // Checked as it was written.
    if (!platformRenameFile(partPath, plan.resultPath)) {
        platformRemoveFile(partPath);
        return giveUp(request, "the new version could not be stored");
    }
    request.note = note;
    request.finishing.verifiedPath = plan.resultPath;
    request.finishing.verifiedMd5 = plan.md5;
    return true;
}
