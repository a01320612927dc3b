// Scanning a local file with the rolling checksum for the blocks of a block map.
#include "update/block_matcher.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/platform.h"
#include "util/rolling_checksum.h"
#include "util/worker_pool.h"

namespace {

// Bytes read at once; the window slides through them before the next read.
constexpr size_t kReadChunk = 1 << 20;
// Files from this size on are scanned by two threads.
constexpr uint64_t kParallelScanMinSize = 16 << 20;
// Set while a scan's second half runs.
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
// Proposals of pairs' second blocks kept at once.
constexpr size_t kMaxProposals = 4;
// A shift this many blocks' lengths from the scan's is near; the scan rolls as far past where
// its run broke before it takes up a shift that is not.
constexpr uint64_t kNearShifts = 3;
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
            const int strong = std::memcmp(strongOf(a), strongOf(b), map.strongBytes());
            return strong != 0 ? strong < 0 : a < b;
        });

        // Twins, by weak sum, then strong hash, then index: equal blocks end up side by side.
        const bool shortLast = blocks > 0 && map.blockLength(blocks - 1) < map.blockSize;
        std::vector<uint32_t> order(blocks - (shortLast ? 1 : 0));
        for (size_t i = 0; i < order.size(); ++i) order[i] = uint32_t(i);
        std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
            if (map.weak[a] != map.weak[b]) return map.weak[a] < map.weak[b];
            const int strong = std::memcmp(strongOf(a), strongOf(b), map.strongBytes());
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
                                                return std::memcmp(strongOf(pair), wanted, map_.strongBytes()) < 0;
                                            });
        return size_t(found - pairs_.begin());
    }
    // The first block of the pair at `position`.
    uint32_t pairAt(size_t position) const { return pairs_[position]; }
    bool strongIs(uint32_t block, const uint8_t* strong) const {
        return std::memcmp(strongOf(block), strong, map_.strongBytes()) == 0;
    }
    // The lowest-numbered block with the same sums as `block` (perhaps itself), and the next
    // one after `block` (kNone after the last).
    uint32_t firstTwin(uint32_t block) const { return firstTwin_[block]; }
    uint32_t nextTwin(uint32_t block) const { return nextTwin_[block]; }

private:
    uint64_t pairKey(uint32_t first) const { return keyOf(map_.weak[first], map_.weak[first + 1]); }
    uint64_t slotOf(uint64_t key) const { return ((key ^ (key >> 29)) * 0x9e3779b97f4a7c15ull >> 20) & bitMask_; }
    const uint8_t* strongOf(uint32_t block) const { return map_.strong.data() + size_t(block) * map_.strongBytes(); }

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
    // Per block, where it was found; shared by the scanners and whoever reads the findings.
    std::atomic<int64_t>* sources;
    // How far the scan has come (no block below it that this job could still find is
    // unrecorded, bar those within two blocks' length); the largest value once it ended.
    std::atomic<uint64_t>* reached;
    BlockScanStats stats;
    bool ok = false;
};

// A shift says where the map's order puts a block in the local file: block i at i * blockSize
// + shift. The scan keeps the shift of the blocks found last (it starts at 0, every block at
// its own offset), the one it had before an insertion or deletion moved it (home: an edit
// in place that a repeated block at another alignment made look like a move is undone by it),
// and a few proposals: the second blocks of pairs found by their key, looked for where their
// pair puts them. One of them may become the scan's shift; the others are followed beside it.
class Scanner {
    // A block looked for at one offset: the second of a pair found there a block's length
    // before, or the next of a run followed beside the scan's own.
    struct Proposal {
        uint32_t block;
        uint64_t at;
    };

public:
    Scanner(ScanJob& job, std::FILE* file)
        : job_(job), map_(*job.map), index_(*job.index), blockSize_(map_.blockSize),
          reader_(file, job.begin, 2 * size_t(map_.blockSize) + 1) {
        proposals_.reserve(kMaxProposals);
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
                job_.reached->store(x, std::memory_order_relaxed);
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
                rollingSince_ = x;
                firstSum_.reset(window, blockSize_);
                secondSum_.reset(window + blockSize_, blockSize_);
                rolling = true;
            }
            const uint64_t key = BlockIndex::keyOf(keptWeakSum(firstSum_.value(), map_.weakBits),
                                                   keptWeakSum(secondSum_.value(), map_.weakBits));
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
    // Found, by this scanner or another: a group's blocks are recorded together, its first
    // twin first.
    bool held(uint32_t block) const {
        return job_.sources[index_.firstTwin(block)].load(std::memory_order_relaxed) != kBlockNotHeld;
    }

    // The strong hash of the window at `x`, computed once per offset; null when unreadable.
    const uint8_t* strongAt(uint64_t x) {
        if (hashedAt_ == x && haveHash_) return hash_;
        const uint8_t* window = reader_.at(x, blockSize_);
        if (!window) return nullptr;
        blockStrongHash(window, blockSize_, map_.strongBits, hash_);
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
        // A pair found a block's length ago proposes its second block here: found, its shift
        // becomes the scan's (the old one is kept as home), unless another proposal still to
        // come lies nearer the scan's shift, or it lies far and the scan has not yet rolled far
        // enough past where its own run broke to have met the run's continuation: the file
        // mostly goes on where it was, and a copy of the same bytes elsewhere in the new file is
        // only followed beside it.
        for (size_t i = 0; i < proposals_.size();) {
            Proposal& proposal = proposals_[i];
            if (proposal.at > x) {
                ++i;
                continue;
            }
            const int at = proposal.at == x ? holds(proposal.block, x) : 0;
            if (at < 0) return kFailed;
            if (at == 0) {
                proposals_.erase(proposals_.begin() + long(i));
                continue;
            }
            bool nearer = distance(proposal) > kNearShifts * blockSize_ && x < rollingSince_ + kNearShifts * blockSize_;
            for (const Proposal& other : proposals_)
                nearer = nearer || (other.at > x && distance(other) < distance(proposal));
            const uint32_t block = proposal.block;
            if (!nearer) {
                home_ = shift_;
                haveHome_ = true;
                homeMisses_ = 0;
                shift_ = shiftOf(proposal);
                proposals_.erase(proposals_.begin() + long(i));
                return block;
            }
            record(block, x);
            if (block + 1 < map_.blockCount()) {
                ++proposal.block;
                proposal.at += blockSize_;
                ++i;
            } else {
                proposals_.erase(proposals_.begin() + long(i));
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
    // so is the next block of each pair found at another alignment (a copy of the same bytes
    // at another place of the new file), for as long as that run goes on. Every look is made in
    // the order of its offset, since the file is read forward.
    uint64_t stepOver(uint64_t x) {
        uint64_t until = x + blockSize_;
        bool homeLook = haveHome_ && home_ != shift_;
        for (size_t i = 0; i < proposals_.size();) {
            if (proposals_[i].at <= x)
                proposals_.erase(proposals_.begin() + long(i));
            else
                ++i;
        }
        for (;;) {
            uint64_t homeAt = 0;
            uint32_t homeBlock = kNone;
            if (homeLook) {
                const int64_t phase = ((int64_t(x) - home_) % blockSize_ + blockSize_) % blockSize_;
                homeAt = x + uint64_t(blockSize_ - phase);
                homeBlock = phase != 0 ? placedAt(homeAt, home_) : kNone;
                if (homeBlock == kNone || held(homeBlock)) homeLook = false;
            }
            size_t next = proposals_.size();
            for (size_t i = 0; i < proposals_.size(); ++i)
                if (proposals_[i].at < until && (next == proposals_.size() || proposals_[i].at < proposals_[next].at))
                    next = i;
            if (next < proposals_.size() && (!homeLook || proposals_[next].at < homeAt)) {
                if (!followAside(next)) return 0;
                continue;
            }
            if (!homeLook) return until;
            homeLook = false;
            const int at = holds(homeBlock, homeAt);
            if (at < 0) return 0;
            if (at > 0) {
                record(homeBlock, homeAt);
                shift_ = home_;
                haveHome_ = false;
                x = homeAt;
                until = homeAt + blockSize_;
            } else if (++homeMisses_ >= kHomeMisses) {
                haveHome_ = false;
            }
        }
    }

    // Looks for a proposed block where it was proposed, off the scan's own shift: found, the
    // block after it is proposed in turn; not found or held already, the proposal ends. False
    // when the file cannot be read.
    bool followAside(size_t index) {
        Proposal& proposal = proposals_[index];
        const int at = held(proposal.block) ? 0 : holds(proposal.block, proposal.at);
        if (at < 0) return false;
        if (at > 0) record(proposal.block, proposal.at);
        if (at > 0 && proposal.block + 1 < map_.blockCount()) {
            ++proposal.block;
            proposal.at += blockSize_;
        } else {
            proposals_.erase(proposals_.begin() + long(index));
        }
        return true;
    }

    int64_t shiftOf(const Proposal& proposal) const {
        return int64_t(proposal.at) - int64_t(proposal.block) * blockSize_;
    }

    // How far the proposal's shift lies from the scan's.
    uint64_t distance(const Proposal& proposal) const {
        const int64_t apart = shiftOf(proposal) - shift_;
        return apart < 0 ? uint64_t(-apart) : uint64_t(apart);
    }

    // Keeps the proposal of a pair's second block; of too many, those whose shift is nearest
    // the scan's are kept, since a file mostly goes on where it was.
    void propose(uint32_t block, uint64_t at) {
        if (block >= map_.blockCount()) return;
        const Proposal proposal{block, at};
        for (const Proposal& kept : proposals_)
            if (shiftOf(kept) == shiftOf(proposal)) return;
        if (proposals_.size() < kMaxProposals) {
            proposals_.push_back(proposal);
            return;
        }
        auto farthest = std::max_element(proposals_.begin(), proposals_.end(),
                                         [&](const Proposal& a, const Proposal& b) { return distance(a) < distance(b); });
        if (distance(proposal) < distance(*farthest)) *farthest = proposal;
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
        propose(found + 1, x + blockSize_);
        return true;
    }

    // Every block with the sums of `block` is at `x`. A block once found keeps its source: a
    // reader may use it while the scan goes on.
    void record(uint32_t block, uint64_t x) {
        const uint32_t head = index_.firstTwin(block);
        if (held(head) || !fits(block, x)) return;
        for (uint32_t twin = head; twin != kNone; twin = index_.nextTwin(twin)) {
            int64_t unknown = kBlockNotHeld;
            job_.sources[twin].compare_exchange_strong(unknown, int64_t(x), std::memory_order_relaxed);
        }
    }

    ScanJob& job_;
    const BlockMap& map_;
    const BlockIndex& index_;
    const uint32_t blockSize_;
    PaddedReader reader_;
    // The weak sums of the window at the scan's offset and of the one behind it.
    RollingChecksum firstSum_;
    RollingChecksum secondSum_;
    int64_t shift_ = 0;
    // Where the scan last began to roll, its own run broken.
    uint64_t rollingSince_ = 0;
    int64_t home_ = 0;
    bool haveHome_ = false;
    int homeMisses_ = 0;
    // The second blocks of pairs found by their key, where they would be.
    std::vector<Proposal> proposals_;
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

// Where a scan runs: a thread of the process's pool. False when none is free.
bool runBeside(std::function<void()> task) { return WorkerPool::shared().tryRun(std::move(task)); }

}  // namespace

struct BlockScan::State {
    const BlockMap& map;
    const std::string localPath;
    const PlatformCancel* cancel;
    std::unique_ptr<BlockIndex> index;
    std::unique_ptr<std::atomic<int64_t>[]> sources;
    std::atomic<uint64_t> reached[2]{};
    ScanJob jobs[2]{};
    // This scan holds the process's one helper thread.
    bool helper = false;
    std::mutex lock;
    std::condition_variable ended;
    // Jobs still running; guarded by `lock`.
    int running = 0;

    State(const BlockMap& map, const std::string& localPath, const PlatformCancel* cancel)
        : map(map), localPath(localPath), cancel(cancel), sources(new std::atomic<int64_t>[map.blockCount()]) {
        for (size_t i = 0; i < map.blockCount(); ++i) sources[i].store(kBlockNotHeld, std::memory_order_relaxed);
    }

    void run(ScanJob& job) {
        scan(job);
        job.reached->store(UINT64_MAX, std::memory_order_relaxed);
        std::lock_guard<std::mutex> guard(lock);
        --running;
        ended.notify_all();
    }
};

BlockScan::BlockScan(const BlockMap& map, const std::string& localPath, const PlatformCancel* cancel, bool halves)
    : state_(new State(map, localPath, cancel)) {
    State& state = *state_;
    // Opened, not asked about by name: a link or anything but a regular file is left alone.
    std::FILE* local = platformOpenFile(localPath, PlatformOpenMode::Read);
    const int64_t size = local ? platformSeekFile(local, -1) : 0;
    if (local) std::fclose(local);
    if (size <= 0 || map.blockCount() == 0) {
        state.jobs[0].ok = true;
        state.reached[0] = UINT64_MAX;
        return;
    }
    const uint64_t localSize = uint64_t(size);
    state.index.reset(new BlockIndex(map));
    // A large file is scanned in two halves at once: the scan is bound by its hashing. Blocks
    // that straddle the middle are found by the first half, whose windows may reach past it.
    // One helper thread for a second half in the whole process, so that five workers scanning
    // at once stay within a few threads.
    bool taken = false;
    state.helper = halves && localSize >= kParallelScanMinSize && scanHelperBusy.compare_exchange_strong(taken, true);
    for (int i = 0; i < 2; ++i)
        state.jobs[i] = ScanJob{&map, state.index.get(), localPath, localSize, i == 0 ? 0 : localSize / 2,
                                localSize, cancel, state.sources.get(), &state.reached[i], {}, false};
    // Counted before either task starts: a task counts itself out under the lock.
    state.running = state.helper ? 2 : 1;
    if (state.helper) {
        if (runBeside([&state] { state.run(state.jobs[1]); }))
            state.jobs[0].end = localSize / 2;
        else
            state.running = 1;
    }
    // Without a thread of its own, the caller scans the file itself.
    if (!runBeside([&state] { state.run(state.jobs[0]); })) state.run(state.jobs[0]);
}

BlockScan::~BlockScan() {
    // The scan's tasks use the state until they have counted themselves out.
    wait(-1);
    if (state_->helper) scanHelperBusy = false;
}

int64_t BlockScan::source(size_t index) const {
    return index < state_->map.blockCount() ? state_->sources[index].load(std::memory_order_relaxed) : kBlockNotHeld;
}

bool BlockScan::passed(uint64_t localOffset) const {
    const State& state = *state_;
    // Before the threads start, or with nothing to scan, jobs[1] is all zeros.
    const bool second = state.jobs[0].end < state.jobs[1].end && localOffset >= state.jobs[1].begin;
    const uint64_t reached = state.reached[second ? 1 : 0].load(std::memory_order_relaxed);
    return reached == UINT64_MAX || (reached > localOffset && reached - localOffset > 2 * uint64_t(state.map.blockSize));
}

bool BlockScan::wait(int timeoutMs) {
    std::unique_lock<std::mutex> guard(state_->lock);
    if (timeoutMs < 0) {
        state_->ended.wait(guard, [this] { return state_->running == 0; });
        return true;
    }
    return state_->ended.wait_for(guard, std::chrono::milliseconds(timeoutMs), [this] { return state_->running == 0; });
}

bool BlockScan::complete() {
    wait(-1);
    const bool halves = state_->jobs[0].end < state_->jobs[1].end;
    return state_->jobs[0].ok && (!halves || state_->jobs[1].ok);
}

std::vector<int64_t> BlockScan::sources() {
    wait(-1);
    std::vector<int64_t> all(state_->map.blockCount());
    for (size_t i = 0; i < all.size(); ++i) all[i] = state_->sources[i].load(std::memory_order_relaxed);
    return all;
}

BlockScanStats BlockScan::stats() {
    wait(-1);
    BlockScanStats total;
    for (const ScanJob& job : state_->jobs) {
        total.strongHashes += job.stats.strongHashes;
        total.candidateProbes += job.stats.candidateProbes;
        total.hitsLetGo += job.stats.hitsLetGo;
    }
    return total;
}

bool matchLocalBlocks(const BlockMap& map, const std::string& localPath, std::vector<int64_t>& sources,
                      const PlatformCancel* cancel, BlockScanStats* stats) {
    BlockScan scan(map, localPath, cancel);
    if (stats) *stats = scan.stats();
    sources = scan.sources();
    return scan.complete();
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
