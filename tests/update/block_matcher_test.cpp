// The rolling-checksum matcher: which blocks of a new file an old local copy already holds.
#include "update/block_matcher.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "util/rolling_checksum.h"

namespace {

// The block size of the maps of files below 96 MiB.
constexpr size_t B = 2048;

std::string without(const std::string& text, size_t at, size_t count) { return text.substr(0, at) + text.substr(at + count); }
std::string with(const std::string& text, size_t at, const std::string& inserted) {
    return text.substr(0, at) + inserted + text.substr(at);
}
std::string changed(std::string text, size_t at) {
    text.replace(at, 1, 1, char(text.at(at) ^ 0x5a));
    return text;
}

struct MatchCase {
    const char* name;
    std::string local;
    std::string next;
    // The bytes of `next` the local copy cannot supply.
    std::vector<ByteRange> missing;
};

}  // namespace

TEST(BlockMatcher, FindsEveryHeldBlockAndOnlyThose) {
    const std::string old = patternBytes(10 * B + 1000, 7);
    std::string repeated = old;
    repeated.replace(5 * B, B, old.substr(2 * B, B));
    const std::string small = patternBytes(1500, 3);
    std::string swapped = old;
    swapped.replace(2 * B, 2 * B, old.substr(6 * B, 2 * B)).replace(6 * B, 2 * B, old.substr(2 * B, 2 * B));
    // Block 2 changed in place, and four blocks' worth of the old copy from the middle of block 2
    // on copied to the end: the scan meets that copy at another alignment just past the change,
    // and must find both it and the blocks behind the change at their own offsets.
    std::string copied = changed(old.substr(0, 10 * B), 2 * B + 5) + old.substr(2 * B + B / 2, 4 * B);
    std::string sameBlock;
    for (int i = 0; i < 9; ++i) sameBlock += old.substr(3 * B, B);
    const MatchCase cases[] = {
        {"identical", old, old, {}},
        {"change in the first block", old, changed(old, 17), {{0, B}}},
        {"change in the short last block", old, changed(old, 10 * B + 999), {{10 * B, 10 * B + 1000}}},
        {"first and last block changed", old, changed(changed(old, 0), 10 * B + 5), {{0, B}, {10 * B, 10 * B + 1000}}},
        {"insertion shifts the rest", old, with(old, 3 * B + 10, std::string(100, 'x')), {{3 * B, 4 * B}}},
        {"deletion shifts the rest", old, without(old, 3 * B + 10, 100), {{3 * B, 4 * B}}},
        {"insertion of a whole block", old, with(old, 4 * B, patternBytes(B, 9)), {{4 * B, 5 * B}}},
        {"a repeated block comes from its one local copy", old, repeated, {}},
        {"two pairs of blocks swapped", old, swapped, {}},
        {"a copy at another alignment just past a change", old, copied, {{2 * B, 3 * B}}},
        {"one block over and over, held once", old, sameBlock + small, {{9 * B, 9 * B + 1500}}},
        {"two changes far apart", old, changed(changed(old, 2 * B + 1), 7 * B + 1), {{2 * B, 3 * B}, {7 * B, 8 * B}}},
        {"adjacent changed blocks join", old, changed(changed(old, 2 * B + 1), 3 * B + 1), {{2 * B, 4 * B}}},
        {"new file shorter than one block, held", small, small, {}},
        // A short last block is hashed padded with zeros: found only where the local file ends.
        {"new file shorter than one block, followed by more locally", small + "tail", small, {{0, 1500}}},
        {"new file shorter than one block, changed", small, changed(small, 700), {{0, 1500}}},
        {"local file shorter than one block", small, old, {{0, 10 * B + 1000}}},
        {"local copy is the new file cut short", old.substr(0, 6 * B + 10), old, {{6 * B, 10 * B + 1000}}},
        {"local copy missing", "", old, {{0, 10 * B + 1000}}},
        {"local copy longer: only the short last block is fetched", old + "more", old, {{10 * B, 10 * B + 1000}}},
    };
    for (const MatchCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        dir.write("new", c.next);
        if (!c.local.empty()) dir.write("local", c.local);
        BlockMap map;
        ASSERT_TRUE(buildBlockMap(dir.file("new"), map));
        ASSERT_EQ(map.blockSize, B);
        std::vector<int64_t> sources;
        ASSERT_TRUE(matchLocalBlocks(map, dir.file("local"), sources));
        EXPECT_EQ(missingRanges(map, sources), c.missing);

        // The new file put together from the local blocks and the missing ranges is the new file.
        std::string built;
        for (size_t i = 0; i < map.blockCount(); ++i) {
            const size_t length = map.blockLength(i);
            if (sources[i] == kBlockNotHeld)
                built += c.next.substr(i * B, length);
            else
                built += c.local.substr(size_t(sources[i]), length);
        }
        EXPECT_TRUE(built == c.next);
    }
}

TEST(BlockMatcher, RepeatedBlocksShareOneLocalCopy) {
    TempDir dir;
    // A block is found away from its own offset together with the one behind it.
    const std::string block = patternBytes(B, 4) + patternBytes(B, 7);
    dir.write("new", block + patternBytes(B, 5) + block);
    dir.write("local", patternBytes(300, 6) + block);
    BlockMap map;
    ASSERT_TRUE(buildBlockMap(dir.file("new"), map));
    std::vector<int64_t> sources;
    ASSERT_TRUE(matchLocalBlocks(map, dir.file("local"), sources));
    EXPECT_EQ(sources, (std::vector<int64_t>{300, 300 + B, kBlockNotHeld, 300, 300 + B}));
}

TEST(BlockMatcher, ALargeFileScannedInTwoHalvesFindsBlocksAcrossTheMiddle) {
    TempDir dir;
    const size_t size = 20u << 20;
    const std::string old = patternBytes(size, 8);
    // Moved by 100 bytes just before the middle, changed just after it and near the end.
    std::string next = with(old, size / 2 - 5000, std::string(100, 'm'));
    next = changed(changed(next, size / 2 + 3 * B + 7), size - 10);
    dir.write("new", next);
    dir.write("local", old);
    BlockMap map;
    ASSERT_TRUE(buildBlockMap(dir.file("new"), map));
    std::vector<int64_t> sources;
    ASSERT_TRUE(matchLocalBlocks(map, dir.file("local"), sources));
    const uint64_t middle = size / 2;
    const uint64_t moved = (middle - 5000) / B * B;
    // The last change falls in the last full block; the short block behind it ends both files.
    EXPECT_EQ(missingRanges(map, sources),
              (std::vector<ByteRange>{{moved, moved + B}, {middle + 3 * B, middle + 4 * B}, {size - B, size}}));
}

TEST(BlockMatcher, WorkStaysBoundedWhateverTheMapHolds) {
    // A local file of one byte over and over: every window has the same weak sums.
    const size_t localSize = 512u << 10;
    const uint32_t blockSize = 512;
    const std::string local(localSize, 'a');
    RollingChecksum sum;
    sum.reset(reinterpret_cast<const uint8_t*>(local.data()), blockSize);
    uint8_t held[8];
    blockStrongHash(reinterpret_cast<const uint8_t*>(local.data()), blockSize, 40, held);
    const struct {
        const char* name;
        // Whether the map's blocks are the local file's (else their strong hashes all differ).
        bool real;
    } cases[] = {
        {"weak sums that meet every offset, strong hashes that never do", false},
        {"every block the same, and held", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        dir.write("local", local);
        BlockMap map;
        map.blockSize = blockSize;
        map.weakBits = 16;
        map.strongBits = 40;
        map.fileSize = uint64_t(1) << 22;
        const size_t blocks = size_t(map.fileSize / blockSize);
        map.weak.assign(blocks, keptWeakSum(sum.value(), map.weakBits));
        const std::string strong = patternBytes(blocks * map.strongBytes(), 3);
        for (size_t i = 0; i < blocks; ++i)
            map.strong.insert(map.strong.end(), c.real ? held : reinterpret_cast<const uint8_t*>(&strong[i * 5]),
                              (c.real ? held : reinterpret_cast<const uint8_t*>(&strong[i * 5])) + map.strongBytes());
        std::vector<int64_t> sources;
        BlockScanStats stats;
        ASSERT_TRUE(matchLocalBlocks(map, dir.file("local"), sources, nullptr, &stats));
        // A few strong hashes per block's length of the file, a few candidates per offset.
        EXPECT_LE(stats.strongHashes, 8 * localSize / blockSize);
        EXPECT_LE(stats.candidateProbes, 16 * localSize);
        EXPECT_EQ(missingRanges(map, sources).empty(), c.real);
    }
}
