// The block map's layout choice, its bytes, and its refusal of damaged maps.
#include "update/block_map.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "support/digest.h"

TEST(BlockMap, LayoutGrowsWithTheFileAndStaysSmall) {
    // Per block, the map costs less than zsync's for the same file (7 bytes from 4,096 blocks on).
    struct Case {
        uint64_t size;
        uint32_t blockSize, weakBits, strongBits;
    } cases[] = {{1000, 2048, 16, 24},
                 {8ull << 20, 2048, 16, 32},
                 {40ull << 20, 2048, 16, 35},
                 {128ull << 20, 4096, 16, 35},
                 {1ull << 30, 8192, 19, 37},
                 {64ull << 30, 512 * 1024, 22, 37}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        BlockMap map;
        chooseBlockMapLayout(c.size, map);
        EXPECT_EQ(map.blockSize, c.blockSize);
        EXPECT_EQ(map.weakBits, c.weakBits);
        EXPECT_EQ(map.strongBits, c.strongBits);
        const uint64_t blocks = (c.size + map.blockSize - 1) / map.blockSize;
        EXPECT_LE(blocks, 1u << 17);
        // Under 1 % of the file for every size a map is written for.
        if (c.size >= (8ull << 20)) {
            EXPECT_LT(kBlockMapHeaderSize + blocks * (map.weakBits + map.strongBits) / 8, c.size / 100);
        }
    }
}

TEST(BlockMap, RoundTripsAndRefusesDamage) {
    TempDir dir;
    const std::string content = patternBytes(3 * 2048 + 5, 2);
    dir.write("file", content);
    BlockMap map;
    ASSERT_TRUE(buildBlockMap(dir.file("file"), map));
    EXPECT_EQ(map.md5, md5OfBuffer(content.data(), int32_t(content.size())));
    EXPECT_EQ(map.blockCount(), 4u);
    const std::string bytes = encodeBlockMap(map);
    BlockMap read;
    ASSERT_TRUE(parseBlockMap(bytes, read));
    EXPECT_EQ(encodeBlockMap(read), bytes);
    EXPECT_EQ(read.md5, map.md5);
    EXPECT_EQ(blockMapSizeFromHeader(reinterpret_cast<const uint8_t*>(bytes.data())), bytes.size());
    map.gzSize = 12345;
    ASSERT_TRUE(parseBlockMap(encodeBlockMap(map), read));
    EXPECT_EQ(read.gzSize, 12345u);

    // Entries of 41 bits: the last byte ends in 4 bits of padding.
    BlockMap odd = map;
    odd.weakBits = 17;
    std::string padded = encodeBlockMap(odd);
    ASSERT_TRUE(parseBlockMap(padded, read));
    EXPECT_EQ(encodeBlockMap(read), padded);
    padded.back() = char(padded.back() | 1);

    auto patched = [&](size_t at, char value) {
        std::string damaged = bytes;
        damaged[at] = value;
        return damaged;
    };
    const struct {
        const char* name;
        std::string bytes;
    } damaged[] = {
        {"empty", ""},
        {"cut in the header", bytes.substr(0, kBlockMapHeaderSize - 1)},
        {"one entry short", bytes.substr(0, bytes.size() - 1)},
        {"one byte too many", bytes + "x"},
        {"wrong tag", patched(0, 'X')},
        {"the first version", patched(7, '1')},
        {"strong bits 23", patched(21, 23)},
        {"padding bits set", padded},
        {"block size not a power of two", patched(19, 1)},
        {"block size too small", patched(18, 0)},
        {"weak bits 33", patched(20, 33)},
        {"strong bits 65", patched(21, 65)},
        {"reserved bytes set", patched(22, 1)},
        {"file size beyond the entries", patched(14, 0x7f)},
        {"file size beyond 2^48", patched(9, 1)},
    };
    for (const auto& d : damaged) {
        SCOPED_TRACE(d.name);
        EXPECT_FALSE(parseBlockMap(d.bytes, read));
    }
    // A map an older kib-manifest wrote is refused like damage, but can be told apart.
    EXPECT_TRUE(isBlockMapOfAnotherVersion(patched(7, '1')));
    EXPECT_FALSE(isBlockMapOfAnotherVersion(bytes));
    EXPECT_FALSE(isBlockMapOfAnotherVersion(patched(0, 'X')));
}
