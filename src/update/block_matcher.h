// Finding the blocks of a block map that a local file already holds, wherever they moved.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "net/byte_ranges.h"
#include "update/block_map.h"

struct PlatformCancel;

// Where each block of the map can be read from in the local file.
constexpr int64_t kBlockNotHeld = -1;

// What a scan spent, for benchmarks and the fuzzer's bound on work per byte.
struct BlockScanStats {
    // Strong hashes computed, each over one block's length of the local file.
    uint64_t strongHashes = 0;
    // Blocks of the map looked at because their pair of weak sums met the scan's.
    uint64_t candidateProbes = 0;
    // Offsets where a pair of weak sums met blocks not yet held, but the scan had spent its
    // allowance of strong hashes that found nothing, and let them go.
    uint64_t hitsLetGo = 0;
};

// Reads the file at `localPath` once and sets `sources[i]` to an offset of the local file whose
// bytes equal block i of the map (kBlockNotHeld when none is found). A block is looked for
// first where the map's order puts it: at its own offset, and, after an insertion or a
// deletion moved what follows, at the shift the blocks found last had (an edit in place is
// stepped over and the blocks behind it are found where they always were, even in data that
// repeats itself at other alignments). Anywhere else a block is found only together with the
// block that follows it: the pair of weak sums is the key, the first block's strong hash
// confirms it, and the second is then looked for in place. A block moved on its own among
// changed ones is therefore not found. Equal blocks share one local copy. The last block of
// the map, when shorter, matches the same bytes followed by the file's end.
//
// Work is bounded by a small multiple of the file's size whatever the map holds: at most a few
// strong hashes per block's length of the file (chance hits beyond an allowance are let go),
// at most a few blocks looked at per key, and `cancel` looked at after every strong hash and
// every few thousand offsets (well within 20 ms). Memory: a read buffer per scanning thread
// and about 30 bytes per block of the map, never the file. The scan runs on a thread of the
// process's pool (see BlockScan), a file of 16 MiB or more in two halves at once on two (one
// such second half in the process at a time; a scan that finds it taken reads the whole file on
// one), all ended when this returns. False, with `sources` unspecified, when the file cannot be read or
// `cancel` is raised; a missing or empty file is read as holding nothing (true). Any thread.
// `stats`, when given, receives what the scan spent.
bool matchLocalBlocks(const BlockMap& map, const std::string& localPath, std::vector<int64_t>& sources,
                      const PlatformCancel* cancel = nullptr, BlockScanStats* stats = nullptr);

// The scan matchLocalBlocks makes, on threads of the process's pool, whose findings can be read
// while it runs: a block once found keeps its source, so that a reader (the rebuild of the new version)
// may use it at once and need not wait for the whole file to be read.
class BlockScan {
public:
    // Starts scanning `localPath` for the blocks of `map`, which must outlive this object. A
    // missing or empty file, or an empty map, ends the scan at once with nothing found. Without
    // a free thread in the pool, the scan is made before this returns. `halves`: a large file is
    // scanned in two halves at once (as matchLocalBlocks does), for a caller with nothing to do
    // meanwhile; one with work of its own beside the scan leaves it the other processor.
    BlockScan(const BlockMap& map, const std::string& localPath, const PlatformCancel* cancel = nullptr,
              bool halves = true);
    // Waits for the scan's tasks to end (raise `cancel` first to make that quick).
    ~BlockScan();
    BlockScan(const BlockScan&) = delete;
    BlockScan& operator=(const BlockScan&) = delete;

    // Where block `index` can be read from in the local file; kBlockNotHeld until it is found.
    // Any thread.
    int64_t source(size_t index) const;
    // True when the scan has gone past `localOffset` (by two blocks' length) or ended: a block
    // of the map that is at that offset of the local file, where the scan's order would look
    // for it, has been found by now if it ever is. Any thread.
    bool passed(uint64_t localOffset) const;
    // Waits up to `timeoutMs` (negative: as long as it takes) for the scan to end; true once it
    // has. One thread at a time.
    bool wait(int timeoutMs);
    // These wait for the end. True when the whole file was scanned (false: it could not be
    // read, or `cancel` was raised); every block's source; what the scan spent.
    bool complete();
    std::vector<int64_t> sources();
    BlockScanStats stats();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The byte ranges of the new file that no local block supplies, adjacent blocks joined into
// one range, in ascending order; the last range ends at the file's size.
std::vector<ByteRange> missingRanges(const BlockMap& map, const std::vector<int64_t>& sources);
