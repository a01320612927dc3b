// Scanning a local file with the rolling checksum for the blocks of a block map.
#include "update/block_matcher.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <system_error>
#include <thread>

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
// index finds the candidates of the rest. Blocks with equal sums (twins) are chained, so that
// the one local copy that is found serves all of them.
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
        // By weak sum, then strong hash, then index: twins end up side by side, in index order.
        std::sort(order_.begin(), order_.end(), [&](uint32_t a, uint32_t b) {
            if (map.weak[a] != map.weak[b]) return map.weak[a] < map.weak[b];
            const int strong = std::memcmp(strongOf(a), strongOf(b), map.strongBytes);
            return strong != 0 ? strong < 0 : a < b;
        });
        nextTwin_.assign(map.blockCount(), kNoTwin);
        firstTwin_.resize(map.blockCount());
        for (size_t k = 0; k < order_.size(); ++k) {
            const bool twin = k > 0 && sameSums(order_[k - 1], order_[k]);
            if (twin) nextTwin_[order_[k - 1]] = order_[k];
            firstTwin_[order_[k]] = twin ? firstTwin_[order_[k - 1]] : order_[k];
        }
    }

    bool mayHold(uint32_t weak) const {
        const uint32_t slot = slotOf(weak);
        return (present_[slot / 64] >> (slot % 64)) & 1;
    }
    // Where the blocks whose weak checksum is `weak` start in the index, or 0 when none has it.
    size_t firstWith(uint32_t weak) const {
        if (!mayHold(weak)) return 0;
        const auto first = std::lower_bound(order_.begin(), order_.end(), weak,
                                            [&](uint32_t block, uint32_t key) { return map_.weak[block] < key; });
        return first != order_.end() && map_.weak[*first] == weak ? size_t(first - order_.begin()) + 1 : 0;
    }
    // The first of the blocks from `start` (an answer of firstWith) on whose weak checksum is
    // `weak` and whose strong hash is `strong`, or kNoTwin.
    uint32_t find(size_t start, uint32_t weak, const uint8_t* strong) const {
        for (auto candidate = order_.begin() + (start - 1); candidate != order_.end() && map_.weak[*candidate] == weak;
             ++candidate) {
            const int order = std::memcmp(strongOf(*candidate), strong, map_.strongBytes);
            if (order == 0) return *candidate;
            if (order > 0) break;
        }
        return kNoTwin;
    }
    bool strongIs(uint32_t block, const uint8_t* strong) const {
        return std::memcmp(strongOf(block), strong, map_.strongBytes) == 0;
    }
    // The lowest-numbered block with the same sums as `block` (perhaps itself), and the next
    // one after `block` (kNoTwin after the last).
    uint32_t firstTwin(uint32_t block) const { return firstTwin_[block]; }
    uint32_t nextTwin(uint32_t block) const { return nextTwin_[block]; }

    static constexpr uint32_t kNoTwin = UINT32_MAX;

private:
    uint32_t slotOf(uint32_t weak) const { return ((weak ^ (weak >> 15)) * 0x9e3779b1u) >> shift_; }
    const uint8_t* strongOf(uint32_t block) const { return map_.strong.data() + size_t(block) * map_.strongBytes; }
    bool sameSums(uint32_t a, uint32_t b) const { return map_.weak[a] == map_.weak[b] && strongIs(a, strongOf(b)); }

    const BlockMap& map_;
    int shift_;
    std::vector<uint64_t> present_;
    std::vector<uint32_t> order_;
    std::vector<uint32_t> nextTwin_;
    std::vector<uint32_t> firstTwin_;
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

// Slides the window over the job's offsets; a found block's bytes are skipped. Behind a found
// block the local file mostly goes on with the map's next block: that one is tried first, by
// its strong hash alone (one comparison per block needs far fewer bits than the many a scan
// makes), and only where it does not match does the window roll.
void scan(ScanJob& job) {
    const BlockMap& map = *job.map;
    const WeakIndex& index = *job.index;
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
    // Per first twin: every block of its group is held.
    std::vector<uint8_t> groupHeld(map.blockCount(), 0);
    // The block expected at `offset`, after the one found just before it.
    uint32_t expected = WeakIndex::kNoTwin;
    uint64_t nextCancelCheck = offset + kCancelCheckEvery;
    // Bytes of the padding may only stand for the bytes past the end of a short last block.
    const auto fits = [&](uint32_t block) { return offset + map.blockLength(block) <= job.localSize; };
    while (offset < job.end) {
        if (offset >= nextCancelCheck) {
            if (platformCancelRaised(job.cancel)) return;
            nextCancelCheck = offset + kCancelCheckEvery;
        }
        const uint8_t* window = reader.at(offset, blockSize);
        if (!window) return;
        uint32_t found = WeakIndex::kNoTwin;
        bool hashed = false;
        if (expected != WeakIndex::kNoTwin && fits(expected)) {
            blockStrongHash(window, blockSize, map.strongBytes, strong);
            hashed = true;
            if (index.strongIs(expected, strong)) found = expected;
        }
        if (found == WeakIndex::kNoTwin) {
            if (fresh) {
                sum.reset(window, blockSize);
                fresh = false;
            }
            const uint32_t weak = sum.value() & mask;
            if (const size_t start = index.firstWith(weak)) {
                if (!hashed) blockStrongHash(window, blockSize, map.strongBytes, strong);
                found = index.find(start, weak, strong);
            }
        }
        bool held = false;
        if (found != WeakIndex::kNoTwin) {
            // The twins' first copy is the one kept; the block after the first twin not yet held
            // is the likeliest to follow. A group once wholly held is not walked again (a file
            // of one repeated block would otherwise walk it at every block).
            const uint32_t head = index.firstTwin(found);
            uint32_t next = WeakIndex::kNoTwin;
            if (groupHeld[head]) {
                held = fits(found);
            } else {
                bool all = true;
                for (uint32_t twin = head; twin != WeakIndex::kNoTwin; twin = index.nextTwin(twin)) {
                    if (job.sources[twin] != kBlockNotHeld) continue;
                    if (!fits(twin)) {
                        all = false;
                        continue;
                    }
                    held = true;
                    job.sources[twin] = int64_t(offset);
                    if (next == WeakIndex::kNoTwin) next = twin + 1;
                }
                held = held || fits(found);
                groupHeld[head] = all;
            }
            expected = next != WeakIndex::kNoTwin ? next : found + 1;
            if (expected >= map.blockCount()) expected = WeakIndex::kNoTwin;
        }
        if (held) {
            offset += blockSize;
            fresh = true;
            continue;
        }
        expected = WeakIndex::kNoTwin;
        if (offset + 1 >= job.end) break;
        const uint8_t* rolled = reader.at(offset, size_t(blockSize) + 1);
        if (!rolled) return;
        sum.roll(rolled[0], rolled[blockSize]);
        ++offset;
    }
    job.ok = true;
}

// Where the second half of a large scan runs: a thread of its own. False when none could be
// started; the caller then scans the whole file itself.
bool runBeside(std::function<void()> task, std::thread& helper) {
    try {
        helper = std::thread(std::move(task));
        return true;
    } catch (const std::system_error&) {
        return false;
    }
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
    // A large file is scanned in two halves at once: the scan is bound by its hashing, and the
    // worker's own transfer waits for it. Blocks that straddle the middle are found by the first
    // half, whose windows may reach past it. One helper thread in the whole process, so that
    // five workers scanning at once stay six threads, not ten.
    bool expected = false;
    const bool split = localSize >= kParallelScanMinSize && scanHelperBusy.compare_exchange_strong(expected, true);
    ScanJob first{&map, &index, localPath, localSize, 0, split ? localSize / 2 : localSize, cancel, {}};
    ScanJob second{&map, &index, localPath, localSize, localSize / 2, localSize, cancel, {}};
    std::thread helper;
    const bool helped = split && runBeside([&second] { scan(second); }, helper);
    if (split && !helped) first.end = localSize;
    scan(first);
    if (helped) helper.join();
    if (split) scanHelperBusy = false;
    if (!first.ok || (helped && !second.ok)) return false;
    for (size_t i = 0; i < sources.size(); ++i)
        sources[i] = first.sources[i] != kBlockNotHeld || !helped ? first.sources[i] : second.sources[i];
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
