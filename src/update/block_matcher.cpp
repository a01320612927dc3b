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
// Offsets rolled over between two looks at the cancel flag (each strong hash is followed by
// one too): a few hundred microseconds of work.
constexpr uint32_t kCancelCheckEvery = 1 << 14;
// Blocks of one pair key looked at; a key shared by more is taken for a hit worth a strong
// hash (within the allowance), never walked.
constexpr size_t kMaxCandidates = 8;
// Strong hashes that find nothing new allowed per block's length scanned, and from the start.
constexpr uint64_t kMissesPerBlock = 2;
constexpr uint64_t kMissesAtStart = 64;
// The home shift is given up after this many of its blocks were not where it puts them.
constexpr int kHomeMisses = 2;

constexpr uint32_t kNone = UINT32_MAX;

// The local file as a sliding window, followed by zero bytes so that a short last block,
// hashed padded with zeros, is found at the file's end, and a window's successor always reads.
class PaddedReader {
public:
    // Reads `file` from `start` on; windows of up to `longest` bytes.
    PaddedReader(std::FILE* file, uint64_t start, size_t longest)
        : file_(file), padding_(longest), buffer_(kReadChunk + 2 * longest), base_(start) {
        // A start the file cannot reach reads as its end.
        if (start > 0 && platformSeekFile(file_, int64_t(start)) != int64_t(start)) ended_ = true;
    }

    // The bytes [offset, offset + count), count at most `longest`, which must start at or after
    // the previous call's offset; null when the file cannot be read.
    const uint8_t* at(uint64_t offset, size_t count) {
        if (offset + count <= base_ + length_) return buffer_.data() + (offset - base_);
        if (offset >= base_ + length_) {
            // Forward past everything buffered: what lies between is skipped, read or not.
            if (!skipTo(offset)) return nullptr;
        } else {
            const size_t keep = size_t(base_ + length_ - offset);
            std::memmove(buffer_.data(), buffer_.data() + (offset - base_), keep);
            base_ = offset;
            length_ = keep;
        }
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
    bool skipTo(uint64_t offset) {
        const uint64_t fileEnd = base_ + length_;
        length_ = 0;
        base_ = offset;
        if (ended_) return false;
        if (offset > fileEnd && platformSeekFile(file_, int64_t(offset)) != int64_t(offset)) ended_ = true;
        return true;
    }

    std::FILE* file_;
    size_t padding_;
    std::vector<uint8_t> buffer_;
    uint64_t base_ = 0;
    size_t length_ = 0;
    bool ended_ = false;
};

// The blocks by their sums. Pairs: block k with its successor, found by the key of their two
// weak sums (a bit table rules out most keys with one lookup, a sorted index finds the rest,
// by strong hash within a key). Twins: blocks of equal sums, chained, so that the one local
// copy found serves all of them; a short last block is a group of its own, since only the
// file's end can hold it.
class BlockIndex {
public:
    explicit BlockIndex(const BlockMap& map) : map_(map) {
        const size_t blocks = map.blockCount();
        const size_t pairCount = blocks > 1 ? blocks - 1 : 0;
        size_t bits = 1024;
        while (bits < 16 * pairCount && bits < (size_t(1) << 31)) bits *= 2;
        bitMask_ = bits - 1;
        present_.assign(bits / 64, 0);
        pairs_.resize(pairCount);
        for (uint32_t k = 0; k < pairCount; ++k) {
            pairs_[k] = k;
            const uint64_t slot = slotOf(pairKey(k));
            present_[slot / 64] |= uint64_t(1) << (slot % 64);
        }
        std::sort(pairs_.begin(), pairs_.end(), [&](uint32_t a, uint32_t b) {
            const uint64_t keyA = pairKey(a), keyB = pairKey(b);
            if (keyA != keyB) return keyA < keyB;
            const int strong = std::memcmp(strongOf(a), strongOf(b), map.strongBytes);
            return strong != 0 ? strong < 0 : a < b;
        });

        // Twins, by weak sum, then strong hash, then index: equal blocks end up side by side.
        const bool shortLast = blocks > 0 && map.blockLength(blocks - 1) < map.blockSize;
        std::vector<uint32_t> order(blocks - (shortLast ? 1 : 0));
        for (size_t i = 0; i < order.size(); ++i) order[i] = uint32_t(i);
        std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
            if (map.weak[a] != map.weak[b]) return map.weak[a] < map.weak[b];
            const int strong = std::memcmp(strongOf(a), strongOf(b), map.strongBytes);
            return strong != 0 ? strong < 0 : a < b;
        });
        nextTwin_.assign(blocks, kNone);
        firstTwin_.resize(blocks);
        if (shortLast) firstTwin_[blocks - 1] = uint32_t(blocks - 1);
        for (size_t k = 0; k < order.size(); ++k) {
            const bool twin = k > 0 && map.weak[order[k - 1]] == map.weak[order[k]] &&
                              strongIs(order[k - 1], strongOf(order[k]));
            if (twin) nextTwin_[order[k - 1]] = order[k];
            firstTwin_[order[k]] = twin ? firstTwin_[order[k - 1]] : order[k];
        }
    }

    static uint64_t keyOf(uint32_t firstWeak, uint32_t secondWeak) { return (uint64_t(firstWeak) << 32) | secondWeak; }
    bool mayHold(uint64_t key) const {
        const uint64_t slot = slotOf(key);
        return (present_[slot / 64] >> (slot % 64)) & 1;
    }
    // The positions [first, last) of the pairs whose key is `key`.
    void pairsWith(uint64_t key, size_t& first, size_t& last) const {
        const auto lower = std::lower_bound(pairs_.begin(), pairs_.end(), key,
                                            [&](uint32_t pair, uint64_t wanted) { return pairKey(pair) < wanted; });
        auto upper = lower;
        while (upper != pairs_.end() && pairKey(*upper) == key) {
            // A key shared by many is not walked: the upper bound is searched for instead.
            if (upper - lower > long(kMaxCandidates)) {
                upper = std::upper_bound(upper, pairs_.end(), key,
                                         [&](uint64_t wanted, uint32_t pair) { return wanted < pairKey(pair); });
                break;
            }
            ++upper;
        }
        first = size_t(lower - pairs_.begin());
        last = size_t(upper - pairs_.begin());
    }
    // The first position in [first, last) (pairs of one key) whose first block's strong hash is
    // `strong`, or `last`.
    size_t firstWithStrong(size_t first, size_t last, const uint8_t* strong) const {
        const auto found = std::lower_bound(pairs_.begin() + long(first), pairs_.begin() + long(last), strong,
                                            [&](uint32_t pair, const uint8_t* wanted) {
                                                return std::memcmp(strongOf(pair), wanted, map_.strongBytes) < 0;
                                            });
        return size_t(found - pairs_.begin());
    }
    // The first block of the pair at `position`.
    uint32_t pairAt(size_t position) const { return pairs_[position]; }
    bool strongIs(uint32_t block, const uint8_t* strong) const {
        return std::memcmp(strongOf(block), strong, map_.strongBytes) == 0;
    }
    // The lowest-numbered block with the same sums as `block` (perhaps itself), and the next
    // one after `block` (kNone after the last).
    uint32_t firstTwin(uint32_t block) const { return firstTwin_[block]; }
    uint32_t nextTwin(uint32_t block) const { return nextTwin_[block]; }

private:
    uint64_t pairKey(uint32_t first) const { return keyOf(map_.weak[first], map_.weak[first + 1]); }
    uint64_t slotOf(uint64_t key) const { return ((key ^ (key >> 29)) * 0x9e3779b97f4a7c15ull >> 20) & bitMask_; }
    const uint8_t* strongOf(uint32_t block) const { return map_.strong.data() + size_t(block) * map_.strongBytes; }

    const BlockMap& map_;
    uint64_t bitMask_;
    std::vector<uint64_t> present_;
    std::vector<uint32_t> pairs_;
    std::vector<uint32_t> nextTwin_;
    std::vector<uint32_t> firstTwin_;
};

// One scanner's share of the local file: windows that start in [begin, end).
struct ScanJob {
    const BlockMap* map;
    const BlockIndex* index;
    std::string localPath;
    uint64_t localSize;
    uint64_t begin;
    uint64_t end;
    const PlatformCancel* cancel;
    std::vector<int64_t> sources;
    BlockScanStats stats;
    bool ok = false;
};

// A shift says where the map's order puts a block in the local file: block i at i * blockSize
// + shift. The scan keeps the shift of the blocks found last (it starts at 0, every block at
// its own offset), the one it had before an insertion or deletion moved it (home: an edit
// in place that a repeated block at another alignment made look like a move is undone by it),
// and the shift a pair found by its key proposes, until the pair's second block confirms it.
class Scanner {
public:
    Scanner(ScanJob& job, std::FILE* file)
        : job_(job), map_(*job.map), index_(*job.index), blockSize_(map_.blockSize),
          reader_(file, job.begin, 2 * size_t(map_.blockSize) + 1), groupHeld_(map_.blockCount(), 0) {
        job_.sources.assign(map_.blockCount(), kBlockNotHeld);
    }

    // False when the file cannot be read or the scan is cancelled.
    bool run() {
        uint64_t x = job_.begin;
        bool rolling = false;
        uint32_t sinceCancelCheck = 0;
        size_t first = 0, last = 0;
        uint64_t lastKey = 0;
        bool haveLastKey = false;
        while (x < job_.end) {
            if (lookAtCancel_ || ++sinceCancelCheck >= kCancelCheckEvery) {
                if (platformCancelRaised(job_.cancel)) return false;
                lookAtCancel_ = false;
                sinceCancelCheck = 0;
            }
            const uint32_t found = findInPlace(x);
            if (found == kFailed) return false;
            if (found != kNone) {
                record(found, x);
                const uint64_t next = stepOver(x);
                if (next == 0) return false;
                x = next;
                rolling = false;
                continue;
            }

            const uint8_t* window = reader_.at(x, 2 * size_t(blockSize_) + 1);
            if (!window) return false;
            if (!rolling) {
                firstSum_.reset(window, blockSize_);
                secondSum_.reset(window + blockSize_, blockSize_);
                rolling = true;
            }
            const uint64_t key = BlockIndex::keyOf(keptWeakSum(firstSum_.value(), map_.weakBytes),
                                                   keptWeakSum(secondSum_.value(), map_.weakBytes));
            if (index_.mayHold(key)) {
                if (!haveLastKey || key != lastKey) {
                    index_.pairsWith(key, first, last);
                    lastKey = key;
                    haveLastKey = true;
                }
                if (first < last && !lookForPair(x, first, last)) return false;
            }
            if (x + 1 >= job_.end) break;
            window = reader_.at(x, 2 * size_t(blockSize_) + 1);
            if (!window) return false;
            firstSum_.roll(window[0], window[blockSize_]);
            secondSum_.roll(window[blockSize_], window[2 * blockSize_]);
            ++x;
        }
        return true;
    }

private:
    static constexpr uint32_t kFailed = UINT32_MAX - 1;

    // The block the shift puts at `x`, or kNone.
    uint32_t placedAt(uint64_t x, int64_t shift) const {
        const int64_t start = int64_t(x) - shift;
        if (start < 0 || start % blockSize_ != 0) return kNone;
        const uint64_t block = uint64_t(start) / blockSize_;
        return block < map_.blockCount() ? uint32_t(block) : kNone;
    }
    bool fits(uint32_t block, uint64_t x) const { return x + map_.blockLength(block) <= job_.localSize; }
    bool held(uint32_t block) const { return groupHeld_[index_.firstTwin(block)] != 0; }

    // The strong hash of the window at `x`, computed once per offset; null when unreadable.
    const uint8_t* strongAt(uint64_t x) {
        if (hashedAt_ == x && haveHash_) return hash_;
        const uint8_t* window = reader_.at(x, blockSize_);
        if (!window) return nullptr;
        blockStrongHash(window, blockSize_, map_.strongBytes, hash_);
        hashedAt_ = x;
        haveHash_ = true;
        ++job_.stats.strongHashes;
        lookAtCancel_ = true;
        return hash_;
    }
    // 1 when `block` is at `x`, 0 when not, -1 when the file cannot be read.
    int holds(uint32_t block, uint64_t x) {
        if (!fits(block, x)) return 0;
        const uint8_t* strong = strongAt(x);
        if (!strong) return -1;
        return index_.strongIs(block, strong) ? 1 : 0;
    }

    // Looks at `x` for the block each shift puts there; the one found (then the shift it came
    // with is the scan's), kNone, or kFailed.
    uint32_t findInPlace(uint64_t x) {
        const uint32_t current = placedAt(x, shift_);
        if (current != kNone) {
            const int at = holds(current, x);
            if (at < 0) return kFailed;
            if (at > 0) return current;
        }
        if (haveProposal_ && x >= proposedAt_) {
            haveProposal_ = false;
            if (x == proposedAt_) {
                const int at = holds(proposed_, x);
                if (at < 0) return kFailed;
                if (at > 0) {
                    home_ = shift_;
                    haveHome_ = true;
                    homeMisses_ = 0;
                    shift_ = int64_t(x) - int64_t(proposed_) * blockSize_;
                    return proposed_;
                }
            }
        }
        const uint32_t atHome = haveHome_ ? placedAt(x, home_) : kNone;
        if (atHome != kNone && !held(atHome)) {
            const int at = holds(atHome, x);
            if (at < 0) return kFailed;
            if (at > 0) {
                shift_ = home_;
                haveHome_ = false;
                return atHome;
            }
        }
        return kNone;
    }

    // After a block found at `x`: where the scan goes on, 0 when the file cannot be read. The
    // block behind it in the map's order is looked for next; but inside the stretch stepped
    // over, the place where the home shift puts a block not held yet is looked at first, and
    // so is the next block of a pair found at another alignment (a copy of the same bytes at
    // another place of the new file), for as long as that run goes on.
    uint64_t stepOver(uint64_t x) {
        uint64_t homeAt = 0;
        uint32_t homeBlock = kNone;
        if (haveHome_ && home_ != shift_) {
            const int64_t phase = ((int64_t(x) - home_) % blockSize_ + blockSize_) % blockSize_;
            homeAt = x + uint64_t(blockSize_ - phase);
            homeBlock = phase != 0 ? placedAt(homeAt, home_) : kNone;
            if (homeBlock != kNone && held(homeBlock)) homeBlock = kNone;
        }
        if (haveProposal_ && proposedAt_ <= x) haveProposal_ = false;
        const bool aside = haveProposal_ && proposedAt_ < x + blockSize_;
        if (aside && (homeBlock == kNone || proposedAt_ < homeAt) && !followAside()) return 0;
        if (homeBlock != kNone) {
            const int at = holds(homeBlock, homeAt);
            if (at < 0) return 0;
            if (at > 0) {
                record(homeBlock, homeAt);
                shift_ = home_;
                haveHome_ = false;
                if (haveProposal_ && proposedAt_ < homeAt + blockSize_ && !followAside()) return 0;
                return homeAt + blockSize_;
            }
            if (++homeMisses_ >= kHomeMisses) haveHome_ = false;
        }
        if (aside && haveProposal_ && proposedAt_ < x + blockSize_ && !followAside()) return 0;
        return x + blockSize_;
    }

    // Looks for the proposed block where it was proposed, off the scan's own shift: found, the
    // block after it is proposed in turn; not found or held already, the proposal ends. False
    // when the file cannot be read.
    bool followAside() {
        haveProposal_ = false;
        if (held(proposed_)) return true;
        const int at = holds(proposed_, proposedAt_);
        if (at < 0) return false;
        if (at == 0) return true;
        record(proposed_, proposedAt_);
        if (proposed_ + 1 < map_.blockCount()) {
            ++proposed_;
            proposedAt_ += blockSize_;
            haveProposal_ = true;
        }
        return true;
    }

    // Looks among the pairs [first, last) of the key met at `x`; false when the file cannot
    // be read.
    bool lookForPair(uint64_t x, size_t first, size_t last) {
        const size_t looked = std::min(last - first, kMaxCandidates);
        job_.stats.candidateProbes += looked;
        // Only blocks not held yet are worth a strong hash; a key shared by more blocks than
        // are looked at is taken for one that may be.
        bool worth = last - first > kMaxCandidates;
        for (size_t at = first; !worth && at < first + looked; ++at) {
            const uint32_t block = index_.pairAt(at);
            worth = !held(block) || !held(block + 1);
        }
        if (!worth) return true;
        const uint64_t allowance = kMissesAtStart + kMissesPerBlock * ((x - job_.begin) / blockSize_);
        if (misses_ >= allowance) {
            ++job_.stats.hitsLetGo;
            return true;
        }
        const uint8_t* strong = strongAt(x);
        if (!strong) return false;
        uint32_t found = kNone;
        const size_t start = index_.firstWithStrong(first, last, strong);
        for (size_t at = start; at < last && at < start + kMaxCandidates; ++at) {
            const uint32_t block = index_.pairAt(at);
            if (!index_.strongIs(block, strong)) break;
            ++job_.stats.candidateProbes;
            if (!fits(block, x)) continue;
            // Of pairs with the same first block, one whose second is still missing is best.
            if (found == kNone || (held(found + 1) && !held(block + 1))) found = block;
        }
        // A strong hash that finds no block not held yet counts against the allowance, so that
        // data which meets held blocks at every offset costs no more than data that meets none.
        if (found == kNone || held(found)) {
            ++misses_;
            if (found == kNone) return true;
        }
        record(found, x);
        if (!haveProposal_) {
            proposed_ = found + 1;
            proposedAt_ = x + blockSize_;
            haveProposal_ = true;
        }
        return true;
    }

    // Every block with the sums of `block` is at `x`.
    void record(uint32_t block, uint64_t x) {
        const uint32_t head = index_.firstTwin(block);
        if (groupHeld_[head] || !fits(block, x)) return;
        for (uint32_t twin = head; twin != kNone; twin = index_.nextTwin(twin))
            if (job_.sources[twin] == kBlockNotHeld) job_.sources[twin] = int64_t(x);
        groupHeld_[head] = 1;
    }

    ScanJob& job_;
    const BlockMap& map_;
    const BlockIndex& index_;
    const uint32_t blockSize_;
    PaddedReader reader_;
    // The weak sums of the window at the scan's offset and of the one behind it.
    RollingChecksum firstSum_;
    RollingChecksum secondSum_;
    // Per first twin: its group is held.
    std::vector<uint8_t> groupHeld_;
    int64_t shift_ = 0;
    int64_t home_ = 0;
    bool haveHome_ = false;
    int homeMisses_ = 0;
    // The second block of the pair found last, and where it would confirm the pair's shift.
    uint32_t proposed_ = 0;
    uint64_t proposedAt_ = 0;
    bool haveProposal_ = false;
    // Strong hashes of pairs met by their key that found nothing new.
    uint64_t misses_ = 0;
    uint8_t hash_[16];
    uint64_t hashedAt_ = 0;
    bool haveHash_ = false;
    bool lookAtCancel_ = false;
};

void scan(ScanJob& job) {
    std::FILE* file = platformOpenFile(job.localPath, PlatformOpenMode::Read);
    if (!file) return;
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(file, std::fclose);
    Scanner scanner(job, file);
    job.ok = scanner.run();
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
                      const PlatformCancel* cancel, BlockScanStats* stats) {
    sources.assign(map.blockCount(), kBlockNotHeld);
    if (stats) *stats = BlockScanStats();
    // Opened, not asked about by name: a link or anything but a regular file is left alone.
    std::FILE* local = platformOpenFile(localPath, PlatformOpenMode::Read);
    if (!local) return true;
    const int64_t size = platformSeekFile(local, -1);
    std::fclose(local);
    if (size <= 0 || map.blockCount() == 0) return true;
    const uint64_t localSize = uint64_t(size);

    const BlockIndex index(map);
    // A large file is scanned in two halves at once: the scan is bound by its hashing, and the
    // worker's own transfer waits for it. Blocks that straddle the middle are found by the first
    // half, whose windows may reach past it. One helper thread in the whole process, so that
    // five workers scanning at once stay six threads, not ten.
    bool expected = false;
    const bool split = localSize >= kParallelScanMinSize && scanHelperBusy.compare_exchange_strong(expected, true);
    ScanJob first{&map, &index, localPath, localSize, 0, split ? localSize / 2 : localSize, cancel, {}, {}};
    ScanJob second{&map, &index, localPath, localSize, localSize / 2, localSize, cancel, {}, {}};
    std::thread helper;
    const bool helped = split && runBeside([&second] { scan(second); }, helper);
    if (split && !helped) first.end = localSize;
    scan(first);
    if (helped) helper.join();
    if (split) scanHelperBusy = false;
    if (stats) {
        stats->strongHashes = first.stats.strongHashes + second.stats.strongHashes;
        stats->candidateProbes = first.stats.candidateProbes + second.stats.candidateProbes;
        stats->hitsLetGo = first.stats.hitsLetGo + second.stats.hitsLetGo;
    }
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
