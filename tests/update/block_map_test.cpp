// The block map's layout choice, its bytes, and its refusal of damaged maps.
#include "update/block_map.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "support/digest.h"

TEST(BlockMap, LayoutGrowsWithTheFileAndStaysSmall) {
    // Per block, the map costs what zsync's does for the same file, or less.
    struct Case {
        uint64_t size;
        uint32_t blockSize, weakBytes, strongBytes;
    } cases[] = {{1000, 2048, 2, 3},
                 {8ull << 20, 2048, 2, 4},
                 {40ull << 20, 2048, 2, 5},
                 {128ull << 20, 4096, 2, 5},
                 {1ull << 30, 8192, 3, 5},
                 {64ull << 30, 512 * 1024, 3, 5}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        BlockMap map;
        chooseBlockMapLayout(c.size, map);
        EXPECT_EQ(map.blockSize, c.blockSize);
        EXPECT_EQ(map.weakBytes, c.weakBytes);
        EXPECT_EQ(map.strongBytes, c.strongBytes);
        const uint64_t blocks = (c.size + map.blockSize - 1) / map.blockSize;
        EXPECT_LE(blocks, 1u << 17);
        // Under 1 % of the file for every size a map is written for.
        if (c.size >= (8ull << 20)) {
            EXPECT_LT(kBlockMapHeaderSize + blocks * (map.weakBytes + map.strongBytes), c.size / 100);
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
        {"strong bytes 2", patched(21, 2)},
        {"block size not a power of two", patched(19, 1)},
        {"block size too small", patched(18, 0)},
        {"weak bytes 5", patched(20, 5)},
        {"strong bytes 9", patched(21, 9)},
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
