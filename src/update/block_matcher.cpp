// Scanning a local file with the rolling checksum for the blocks of a block map.
#include "update/block_matcher.h"

#include <SDL.h>
#include <SDL_thread.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/platform.h"
#include "util/rolling_checksum.h"

namespace {

// Bytes read at once; the window slides through them before the next read.
constexpr size_t kReadChunk = 1 << 20;
// Files from this size on are scanned by two threads.
constexpr uint64_t kParallelScanMinSize = 16 << 20;
// Set while a scan's helper thread runs.
std::atomic<bool> scanHelperBusy{false};
// Offsets checked between two looks at the cancel flag.
constexpr uint64_t kCancelCheckEvery = 1 << 20;

// The local file as a sliding window, followed by blockSize - 1 zero bytes so that a short last
// block, hashed padded with zeros, is found at the file's end.
class PaddedReader {
public:
    // Reads `file` from `start` on.
    PaddedReader(std::FILE* file, uint64_t start, uint32_t blockSize)
        : file_(file), padding_(blockSize - 1), buffer_(kReadChunk + 2 * size_t(blockSize)), base_(start) {
        // A start the file cannot reach reads as its end.
        if (start > 0 && platformSeekFile(file_, int64_t(start)) != int64_t(start)) ended_ = true;
    }

    // The bytes [offset, offset + count), which must lie within the padded file and start at
    // or after the previous call's offset; null when the file cannot be read.
    const uint8_t* at(uint64_t offset, size_t count) {
        if (offset + count <= base_ + length_) return buffer_.data() + (offset - base_);
        const size_t keep = size_t(base_ + length_ - offset);
        std::memmove(buffer_.data(), buffer_.data() + (offset - base_), keep);
        base_ = offset;
        length_ = keep;
        while (length_ < count) {
            if (ended_) return nullptr;
            const size_t room = buffer_.size() - length_ - padding_;
            const size_t got = std::fread(buffer_.data() + length_, 1, room, file_);
            length_ += got;
            if (got == 0) {
                if (std::ferror(file_)) return nullptr;
                std::memset(buffer_.data() + length_, 0, padding_);
                length_ += padding_;
                ended_ = true;
            }
        }
        return buffer_.data() + (offset - base_);
    }

private:
    std::FILE* file_;
    size_t padding_;
    std::vector<uint8_t> buffer_;
    uint64_t base_ = 0;
    size_t length_ = 0;
    bool ended_ = false;
};

// The blocks by weak checksum: a bit table rules out most offsets with one lookup, a sorted
// index finds the candidates of the rest.
class WeakIndex {
public:
    explicit WeakIndex(const BlockMap& map) : map_(map) {
        size_t bits = 1024;
        shift_ = 22;
        while (bits < 16 * map.blockCount() && shift_ > 8) {
            bits *= 2;
            --shift_;
        }
        present_.assign(bits / 64, 0);
        order_.resize(map.blockCount());
        for (size_t i = 0; i < order_.size(); ++i) {
            order_[i] = uint32_t(i);
            const uint32_t slot = slotOf(map.weak[i]);
            present_[slot / 64] |= uint64_t(1) << (slot % 64);
        }
        std::stable_sort(order_.begin(), order_.end(),
                         [&](uint32_t a, uint32_t b) { return map.weak[a] < map.weak[b]; });
    }

    bool mayHold(uint32_t weak) const {
        const uint32_t slot = slotOf(weak);
        return (present_[slot / 64] >> (slot % 64)) & 1;
    }
    // The blocks whose weak checksum is `weak`, in index order.
    std::pair<const uint32_t*, const uint32_t*> blocksWith(uint32_t weak) const {
        const auto range = std::equal_range(order_.begin(), order_.end(), Key{weak}, Compare{map_});
        return {order_.data() + (range.first - order_.begin()), order_.data() + (range.second - order_.begin())};
    }

private:
    struct Key {
        uint32_t weak;
    };
    struct Compare {
        const BlockMap& map;
        bool operator()(uint32_t block, Key key) const { return map.weak[block] < key.weak; }
        bool operator()(Key key, uint32_t block) const { return key.weak < map.weak[block]; }
    };
    uint32_t slotOf(uint32_t weak) const { return ((weak ^ (weak >> 15)) * 0x9e3779b1u) >> shift_; }

    const BlockMap& map_;
    int shift_;
    std::vector<uint64_t> present_;
    std::vector<uint32_t> order_;
};

// One scanner's share of the local file: windows that start in [begin, end).
struct ScanJob {
    const BlockMap* map;
    const WeakIndex* index;
    std::string localPath;
    uint64_t localSize;
    uint64_t begin;
    uint64_t end;
    const PlatformCancel* cancel;
    std::vector<int64_t> sources;
    bool ok = false;
};

// Slides the window over the job's offsets; a found block's bytes are skipped.
void scan(ScanJob& job) {
    const BlockMap& map = *job.map;
    job.sources.assign(map.blockCount(), kBlockNotHeld);
    std::FILE* file = platformOpenFile(job.localPath, PlatformOpenMode::Read);
    if (!file) return;
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(file, std::fclose);
    const uint32_t blockSize = map.blockSize;
    const uint32_t mask = map.weakMask();
    PaddedReader reader(file, job.begin, blockSize);
    RollingChecksum sum;
    uint8_t strong[16];
    uint64_t offset = job.begin;
    bool fresh = true;
    uint64_t nextCancelCheck = offset + kCancelCheckEvery;
    while (offset < job.end) {
        if (offset >= nextCancelCheck) {
            if (platformCancelRaised(job.cancel)) return;
            nextCancelCheck = offset + kCancelCheckEvery;
        }
        const uint8_t* window = reader.at(offset, blockSize);
        if (!window) return;
        if (fresh) {
            sum.reset(window, blockSize);
            fresh = false;
        }
        const uint32_t weak = sum.value() & mask;
        bool found = false;
        if (job.index->mayHold(weak)) {
            const auto candidates = job.index->blocksWith(weak);
            bool hashed = false;
            for (const uint32_t* block = candidates.first; block != candidates.second; ++block) {
                // Bytes of the padding may only stand for the bytes past the end of a short last block.
                if (offset + map.blockLength(*block) > job.localSize) continue;
                if (!hashed) {
                    blockStrongHash(window, blockSize, map.strongBytes, strong);
                    hashed = true;
                }
                if (std::memcmp(strong, map.strong.data() + size_t(*block) * map.strongBytes, map.strongBytes) != 0)
                    continue;
                found = true;
                if (job.sources[*block] == kBlockNotHeld) job.sources[*block] = int64_t(offset);
            }
        }
        if (found) {
            offset += blockSize;
            fresh = true;
            continue;
        }
        if (offset + 1 >= job.end) break;
        const uint8_t* rolled = reader.at(offset, size_t(blockSize) + 1);
        if (!rolled) return;
        sum.roll(rolled[0], rolled[blockSize]);
        ++offset;
    }
    job.ok = true;
}

int SDLCALL runScan(void* job) {
    scan(*static_cast<ScanJob*>(job));
    return 0;
}

}  // namespace

bool matchLocalBlocks(const BlockMap& map, const std::string& localPath, std::vector<int64_t>& sources,
                      const PlatformCancel* cancel) {
    sources.assign(map.blockCount(), kBlockNotHeld);
    // Opened, not asked about by name: a link or anything but a regular file is left alone.
    std::FILE* local = platformOpenFile(localPath, PlatformOpenMode::Read);
    if (!local) return true;
    const int64_t size = platformSeekFile(local, -1);
    std::fclose(local);
    if (size <= 0 || map.blockCount() == 0) return true;
    const uint64_t localSize = uint64_t(size);

    const WeakIndex index(map);
    // A large file is scanned in two halves at once: the scan is digest-bound, and the worker's
    // own transfer waits for it. Blocks that straddle the middle are found by the first half,
    // whose windows may reach past it.
    // One helper thread in the whole process, so that five workers scanning at once stay six
    // threads, not ten.
    bool expected = false;
    const bool split = localSize >= kParallelScanMinSize && scanHelperBusy.compare_exchange_strong(expected, true);
    ScanJob first{&map, &index, localPath, localSize, 0, split ? localSize / 2 : localSize, cancel, {}};
    ScanJob second{&map, &index, localPath, localSize, localSize / 2, localSize, cancel, {}};
    SDL_Thread* helper = split ? SDL_CreateThread(runScan, &second) : nullptr;
    if (split && !helper) first.end = localSize;
    scan(first);
    if (helper) SDL_WaitThread(helper, nullptr);
    if (split) scanHelperBusy = false;
    if (!first.ok || (helper && !second.ok)) return false;
    for (size_t i = 0; i < sources.size(); ++i)
        sources[i] = first.sources[i] != kBlockNotHeld || !helper ? first.sources[i] : second.sources[i];
    return true;
}

std::vector<ByteRange> missingRanges(const BlockMap& map, const std::vector<int64_t>& sources) {
    std::vector<ByteRange> ranges;
    for (size_t i = 0; i < map.blockCount(); ++i) {
        if (i < sources.size() && sources[i] != kBlockNotHeld) continue;
        const uint64_t start = uint64_t(i) * map.blockSize;
        const uint64_t end = start + map.blockLength(i);
        if (!ranges.empty() && ranges.back().end == start)
            ranges.back().end = end;
        else
            ranges.push_back({start, end});
    }
    return ranges;
}
