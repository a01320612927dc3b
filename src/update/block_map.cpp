// Writing and reading the block map published beside a large file.
#include "update/block_map.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include <sodium.h>

#include "util/md5.h"
#include "util/rolling_checksum.h"

namespace {

const char kTag[8] = {'K', 'I', 'B', 'B', 'L', 'K', 'M', '2'};
// What every version of the tag shares; the last byte is the version.
constexpr size_t kTagFamily = 7;
constexpr uint32_t kMinBlockSize = 512;
constexpr uint32_t kMaxBlockSize = 1u << 20;
constexpr uint32_t kSmallestBlockSize = 2048;
// Files below this get the smallest blocks; the block size doubles for every four times this.
constexpr uint64_t kSmallestBlocksBelow = uint64_t(96) << 20;
constexpr uint64_t kMaxBlocksWanted = uint64_t(1) << 17;
constexpr uint64_t kMaxFileSize = uint64_t(1) << 48;
constexpr uint64_t kMaxBlocks = uint64_t(1) << 20;

uint64_t readBig(const uint8_t* data, size_t bytes) {
    uint64_t value = 0;
    for (size_t i = 0; i < bytes; ++i) value = (value << 8) | data[i];
    return value;
}

void appendBig(std::string& out, uint64_t value, size_t bytes) {
    for (size_t i = bytes; i-- > 0;) out.push_back(char((value >> (8 * i)) & 0xff));
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Whole-file digests travel as 16 raw bytes; the text form is what the manifest compares.
bool digestBytes(const std::string& text, uint8_t out[16]) {
    if (text.size() != 32) return false;
    for (size_t i = 0; i < 16; ++i) {
        const int high = hexValue(text[2 * i]);
        const int low = hexValue(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        out[i] = uint8_t(high * 16 + low);
    }
    return true;
}

int bitsFor(uint64_t value) {
    int bits = 0;
    while (value > 0) {
        ++bits;
        value >>= 1;
    }
    return bits;
}

}  // namespace

uint32_t BlockMap::blockLength(size_t index) const {
    const uint64_t start = uint64_t(index) * blockSize;
    if (start >= fileSize) return 0;
    return uint32_t(std::min<uint64_t>(blockSize, fileSize - start));
}

void chooseBlockMapLayout(uint64_t fileSize, BlockMap& map) {
    // Larger blocks make a smaller map, smaller ones fetch less around each change: the best
    // size grows with the square root of the file's for a given number of changes.
    uint32_t blockSize = kSmallestBlockSize;
    for (uint64_t limit = kSmallestBlocksBelow; blockSize < kMaxBlockSize && fileSize >= limit; limit *= 4)
        blockSize *= 2;
    while (blockSize < kMaxBlockSize && (fileSize + blockSize - 1) / blockSize > kMaxBlocksWanted) blockSize *= 2;
    const uint64_t blocks = (fileSize + blockSize - 1) / blockSize;
    // A scan meets about fileSize windows, each compared by its pair of weak sums with the
    // blocks' pairs: 2^12 chance hits at most, each costing two strong hashes.
    const int pairBits = bitsFor(fileSize) + bitsFor(blocks) - 12;
    // A block is confirmed by its strong hash alone where the map's order puts it, about once
    // per block: 20 bits on top of the block count's keep a false match below one in a million.
    const int strongBits = 20 + bitsFor(blocks > 0 ? blocks - 1 : 0);
    map.fileSize = fileSize;
    map.blockSize = blockSize;
    map.weakBytes = uint32_t(std::min(4, std::max(2, (pairBits + 15) / 16)));
    map.strongBytes = uint32_t(std::min(8, std::max(3, (strongBits + 7) / 8)));
    map.gzSize = 0;
    map.weak.clear();
    map.strong.clear();
}

void blockStrongHash(const uint8_t* block, uint32_t blockSize, uint32_t strongBytes, uint8_t* out) {
    // The key only has to be the same for the publisher and every updater.
    static const uint8_t kKey[crypto_shorthash_KEYBYTES] = {};
    uint8_t hash[crypto_shorthash_BYTES];
    crypto_shorthash(hash, block, blockSize, kKey);
    std::memcpy(out, hash, std::min<size_t>(strongBytes, sizeof hash));
}

bool buildBlockMap(const std::string& path, BlockMap& map) {
    std::error_code error;
    const uint64_t size = std::filesystem::file_size(path, error);
    if (error) return false;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return false;
    chooseBlockMapLayout(size, map);
    std::unique_ptr<uint8_t[]> block(new uint8_t[map.blockSize]);
    Md5State whole;
    md5Init(whole);
    uint64_t total = 0;
    RollingChecksum weak;
    uint8_t strong[16];
    for (;;) {
        const size_t got = std::fread(block.get(), 1, map.blockSize, file);
        if (got == 0) break;
        md5Append(whole, block.get(), int32_t(got));
        total += got;
        std::memset(block.get() + got, 0, map.blockSize - got);
        weak.reset(block.get(), map.blockSize);
        map.weak.push_back(keptWeakSum(weak.value(), map.weakBytes));
        blockStrongHash(block.get(), map.blockSize, map.strongBytes, strong);
        map.strong.insert(map.strong.end(), strong, strong + map.strongBytes);
        if (got < map.blockSize) break;
    }
    const bool ok = !std::ferror(file) && total == map.fileSize;
    std::fclose(file);
    uint8_t digest[16];
    md5Finish(whole, digest);
    map.md5 = md5ToText(digest);
    return ok;
}

std::string encodeBlockMap(const BlockMap& map) {
    std::string out(kTag, sizeof kTag);
    appendBig(out, map.fileSize, 8);
    appendBig(out, map.blockSize, 4);
    out.push_back(char(map.weakBytes));
    out.push_back(char(map.strongBytes));
    out.append(2, '\0');
    uint8_t digest[16] = {};
    digestBytes(map.md5, digest);
    out.append(reinterpret_cast<const char*>(digest), 16);
    appendBig(out, map.gzSize, 8);
    out.reserve(size_t(map.encodedSize()));
    for (size_t i = 0; i < map.blockCount(); ++i) {
        appendBig(out, map.weak[i], map.weakBytes);
        out.append(reinterpret_cast<const char*>(map.strong.data()) + i * map.strongBytes, map.strongBytes);
    }
    return out;
}

uint64_t blockMapSizeFromHeader(const uint8_t* data) {
    if (std::memcmp(data, kTag, sizeof kTag) != 0) return 0;
    const uint64_t fileSize = readBig(data + 8, 8);
    const uint64_t blockSize = readBig(data + 16, 4);
    const uint32_t weakBytes = data[20];
    const uint32_t strongBytes = data[21];
    if (data[22] != 0 || data[23] != 0) return 0;
    if (blockSize < kMinBlockSize || blockSize > kMaxBlockSize || (blockSize & (blockSize - 1)) != 0) return 0;
    if (weakBytes < 2 || weakBytes > 4 || strongBytes < 3 || strongBytes > 8) return 0;
    if (fileSize > kMaxFileSize) return 0;
    const uint64_t blocks = (fileSize + blockSize - 1) / blockSize;
    if (blocks > kMaxBlocks) return 0;
    return kBlockMapHeaderSize + blocks * (weakBytes + strongBytes);
}

bool isBlockMapOfAnotherVersion(const std::string& bytes) {
    return bytes.size() >= sizeof kTag && std::memcmp(bytes.data(), kTag, kTagFamily) == 0 &&
           bytes[kTagFamily] != kTag[kTagFamily];
}

bool parseBlockMap(const std::string& bytes, BlockMap& map) {
    if (bytes.size() < kBlockMapHeaderSize) return false;
    const uint8_t* data = reinterpret_cast<const uint8_t*>(bytes.data());
    const uint64_t size = blockMapSizeFromHeader(data);
    if (size == 0 || bytes.size() != size) return false;

    map.fileSize = readBig(data + 8, 8);
    map.blockSize = uint32_t(readBig(data + 16, 4));
    map.weakBytes = data[20];
    map.strongBytes = data[21];
    map.md5 = md5ToText(data + 24);
    map.gzSize = readBig(data + 40, 8);
    const size_t blocks = size_t((map.fileSize + map.blockSize - 1) / map.blockSize);
    const size_t entrySize = map.weakBytes + map.strongBytes;
    map.weak.resize(blocks);
    map.strong.resize(blocks * map.strongBytes);
    const uint8_t* entry = data + kBlockMapHeaderSize;
    for (size_t i = 0; i < blocks; ++i, entry += entrySize) {
        map.weak[i] = uint32_t(readBig(entry, map.weakBytes));
        std::memcpy(map.strong.data() + i * map.strongBytes, entry + map.weakBytes, map.strongBytes);
    }
    return true;
}
