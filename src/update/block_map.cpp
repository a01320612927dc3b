// Writing and reading the block map published beside a large file.
#include "update/block_map.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include <sodium.h>

#include "platform/platform.h"
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

// Appends values of up to 32 bits to a string, most significant bit first.
class BitWriter {
public:
    explicit BitWriter(std::string& out) : out_(out) {}
    void put(uint32_t value, uint32_t count) {
        pending_ = (pending_ << count) | (uint64_t(value) & ((uint64_t(1) << count) - 1));
        held_ += count;
        while (held_ >= 8) {
            held_ -= 8;
            out_.push_back(char((pending_ >> held_) & 0xff));
        }
    }
    // Pads the last byte with zero bits.
    void finish() {
        if (held_ > 0) put(0, 8 - held_);
    }

private:
    std::string& out_;
    uint64_t pending_ = 0;
    uint32_t held_ = 0;
};

// Reads values of up to 32 bits, most significant bit first; the caller knows the length.
class BitReader {
public:
    explicit BitReader(const uint8_t* data) : data_(data) {}
    uint32_t take(uint32_t count) {
        uint64_t value = 0;
        while (count > 0) {
            const uint32_t available = 8 - uint32_t(used_ % 8);
            const uint32_t part = std::min(available, count);
            value = (value << part) | ((data_[used_ / 8] >> (available - part)) & ((1u << part) - 1));
            used_ += part;
            count -= part;
        }
        return uint32_t(value);
    }
    uint64_t used() const { return used_; }

private:
    const uint8_t* data_;
    uint64_t used_ = 0;
};

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
    map.weakBits = uint32_t(std::min(32, std::max(16, (pairBits + 1) / 2)));
    map.strongBits = uint32_t(std::min(64, std::max(24, strongBits)));
    map.gzSize = 0;
    map.weak.clear();
    map.strong.clear();
}

void blockStrongHash(const uint8_t* block, uint32_t blockSize, uint32_t strongBits, uint8_t* out) {
    // The key only has to be the same for the publisher and every updater.
    static const uint8_t kKey[crypto_shorthash_KEYBYTES] = {};
    uint8_t hash[crypto_shorthash_BYTES];
    crypto_shorthash(hash, block, blockSize, kKey);
    const uint32_t bytes = std::min<uint32_t>((strongBits + 7) / 8, sizeof hash);
    std::memcpy(out, hash, bytes);
    if (strongBits % 8 != 0) out[bytes - 1] &= uint8_t(0xff << (8 - strongBits % 8));
}

bool buildBlockMap(const std::string& path, BlockMap& map) {
    std::FILE* file = platformOpenFile(path, PlatformOpenMode::Read);
    if (!file) return false;
    const int64_t size = platformSeekFile(file, -1);
    if (size < 0 || platformSeekFile(file, 0) != 0) {
        std::fclose(file);
        return false;
    }
    chooseBlockMapLayout(uint64_t(size), map);
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
        map.weak.push_back(keptWeakSum(weak.value(), map.weakBits));
        blockStrongHash(block.get(), map.blockSize, map.strongBits, strong);
        map.strong.insert(map.strong.end(), strong, strong + map.strongBytes());
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
    out.push_back(char(map.weakBits));
    out.push_back(char(map.strongBits));
    out.append(2, '\0');
    uint8_t digest[16] = {};
    digestBytes(map.md5, digest);
    out.append(reinterpret_cast<const char*>(digest), 16);
    appendBig(out, map.gzSize, 8);
    out.reserve(size_t(map.encodedSize()));
    BitWriter bits(out);
    const uint32_t strongBytes = map.strongBytes();
    for (size_t i = 0; i < map.blockCount(); ++i) {
        bits.put(map.weak[i], map.weakBits);
        const uint8_t* strong = map.strong.data() + i * strongBytes;
        for (uint32_t left = map.strongBits, at = 0; left > 0; ++at) {
            const uint32_t count = std::min<uint32_t>(8, left);
            bits.put(uint32_t(strong[at]) >> (8 - count), count);
            left -= count;
        }
    }
    bits.finish();
    return out;
}

uint64_t blockMapSizeFromHeader(const uint8_t* data) {
    if (std::memcmp(data, kTag, sizeof kTag) != 0) return 0;
    const uint64_t fileSize = readBig(data + 8, 8);
    const uint64_t blockSize = readBig(data + 16, 4);
    const uint32_t weakBits = data[20];
    const uint32_t strongBits = data[21];
    if (data[22] != 0 || data[23] != 0) return 0;
    if (blockSize < kMinBlockSize || blockSize > kMaxBlockSize || (blockSize & (blockSize - 1)) != 0) return 0;
    if (weakBits < 16 || weakBits > 32 || strongBits < 24 || strongBits > 64) return 0;
    if (fileSize > kMaxFileSize) return 0;
    const uint64_t blocks = (fileSize + blockSize - 1) / blockSize;
    if (blocks > kMaxBlocks) return 0;
    return kBlockMapHeaderSize + (blocks * (weakBits + strongBits) + 7) / 8;
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
    map.weakBits = data[20];
    map.strongBits = data[21];
    map.md5 = md5ToText(data + 24);
    map.gzSize = readBig(data + 40, 8);
    const size_t blocks = size_t((map.fileSize + map.blockSize - 1) / map.blockSize);
    const uint32_t strongBytes = map.strongBytes();
    map.weak.resize(blocks);
    map.strong.assign(blocks * strongBytes, 0);
    BitReader bits(data + kBlockMapHeaderSize);
    for (size_t i = 0; i < blocks; ++i) {
        map.weak[i] = bits.take(map.weakBits);
        uint8_t* strong = map.strong.data() + i * strongBytes;
        for (uint32_t left = map.strongBits, at = 0; left > 0; ++at) {
            const uint32_t count = std::min<uint32_t>(8, left);
            strong[at] = uint8_t(bits.take(count) << (8 - count));
            left -= count;
        }
    }
    // What pads the last byte is nothing, so that a map reads back to exactly its bytes.
    return bits.take(uint32_t((8 - bits.used() % 8) % 8)) == 0;
}
