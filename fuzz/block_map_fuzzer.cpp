// Fuzzes the block map reader with maps as a hostile server could publish them: a map that is
// read must write back to exactly the same bytes (nothing in it is ignored), its header must
// name its size, and matching a local file against it must name only offsets inside that file
// and missing ranges that are ascending, disjoint, inside the new file's size and cover every
// block not held, for work bounded by the local file's size whatever the map holds.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "update/block_map.h"
#include "update/block_matcher.h"

namespace {

std::string g_localPath;
constexpr size_t kLocalSize = 20000;
constexpr uint32_t kLargestMatchedBlock = 16384;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_localPath = makeScratchFolder("block_map_fuzzer") + "/local";
    std::string local;
    // Zeros, then a pattern: both a block of zeros and ordinary data can be found in it.
    local.append(6000, '\0');
    for (size_t i = local.size(); i < kLocalSize; ++i) local.push_back(char((i * 131) >> 3));
    writeFile(g_localPath, local);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    BlockMap map;
    if (!parseBlockMap(bytes, map)) return 0;
    FUZZ_CHECK(encodeBlockMap(map) == bytes, "a map read back does not write the same bytes");
    FUZZ_CHECK(map.strong.size() == map.blockCount() * map.strongBytes(), "strong hashes do not fit the block count");
    FUZZ_CHECK(blockMapSizeFromHeader(data) == size, "the header does not name the map's size");

    // Matching reads the local file in windows of a whole block: with the largest blocks every
    // input would cost megabytes of digests, and the properties below do not depend on the size.
    if (map.blockSize > kLargestMatchedBlock) return 0;
    std::vector<int64_t> sources;
    BlockScanStats stats;
    FUZZ_CHECK(matchLocalBlocks(map, g_localPath, sources, nullptr, &stats), "matching a readable file failed");
    // Bounded work per byte of the local file: a few strong hashes per block's length (and a
    // few to start with), a few candidates per offset.
    FUZZ_CHECK(stats.strongHashes <= 8 * (kLocalSize / map.blockSize + 1) + 64, "more strong hashes than the bound");
    FUZZ_CHECK(stats.candidateProbes <= 16 * kLocalSize, "more candidates looked at than the bound");
    FUZZ_CHECK(sources.size() == map.blockCount(), "not one source per block");
    for (size_t i = 0; i < sources.size(); ++i) {
        if (sources[i] == kBlockNotHeld) continue;
        FUZZ_CHECK(sources[i] >= 0 && uint64_t(sources[i]) + map.blockLength(i) <= kLocalSize,
                   "a held block reaches outside the local file");
    }
    uint64_t covered = 0, previousEnd = 0;
    bool first = true;
    for (const ByteRange& range : missingRanges(map, sources)) {
        FUZZ_CHECK(range.start < range.end && range.end <= map.fileSize, "a missing range is empty or too long");
        FUZZ_CHECK(first || range.start > previousEnd, "missing ranges overlap, touch or go backwards");
        first = false;
        previousEnd = range.end;
        covered += range.end - range.start;
    }
    uint64_t notHeld = 0;
    for (size_t i = 0; i < sources.size(); ++i)
        if (sources[i] == kBlockNotHeld) notHeld += map.blockLength(i);
    FUZZ_CHECK(covered == notHeld, "missing ranges do not cover exactly the blocks not held");
    return 0;
}
