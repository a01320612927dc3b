// The block map published beside a large file: per fixed-size block a weak rolling checksum
// and a truncated strong hash, so that an updater can tell which blocks it already holds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The map of "x" is published as "x" + kBlockMapSuffix (in update/own_files.h, which reserves
// it: no manifest may list a name ending in it, so a map never collides with a game file).
#include "update/own_files.h"

// Layout on the wire, all numbers big-endian:
//   "KIBBLKM2"                      8 bytes, the format and its version
//   file size                       8 bytes
//   block size                      4 bytes, a power of two
//   weak bits, strong bits          1 byte each
//   zero                            2 bytes
//   MD5 of the whole file           16 bytes
//   size of the ".gz" copy          8 bytes, published beside the file; 0 when there is none
//   per block, as one string of bits (most significant first) padded with zero bits to a
//   whole byte at its end: its weak sum (keptWeakSum, `weak bits` long), then the first
//   `strong bits` of its SipHash-2-4 (as libsodium's crypto_shorthash writes it, under a key
//   of 16 zero bytes). The last block is hashed padded with zero bytes to the full block size.
// The strong hash only tells blocks apart, as fast as a scan can go; whether the file they
// make up is the right one is decided by its MD5, and the manifest's.
// A block is looked for at an arbitrary place only together with the block that follows it
// (their two weak sums make one key), and alone only where the map's order puts it: that is
// what lets both sums be short.
constexpr size_t kBlockMapHeaderSize = 48;

struct BlockMap {
    uint64_t fileSize = 0;
    uint32_t blockSize = 0;
    // How many bits of each checksum the map keeps; see chooseBlockMapLayout.
    uint32_t weakBits = 16;
    uint32_t strongBits = 36;
    // The file's digest as lowercase hexadecimal text, as the manifest writes it.
    std::string md5;
    // The size of the compressed copy served beside the file, 0 when there is none: what a
    // delta update is weighed against. Not a promise (the map is not signed): it only ever
    // chooses between two ways to the same verified file.
    uint64_t gzSize = 0;
    // Per block, its weak sum as kept (keptWeakSum).
    std::vector<uint32_t> weak;
    // Per block, strongBytes() bytes of its strong hash, one block after the other, the bits
    // beyond `strongBits` zero.
    std::vector<uint8_t> strong;

    size_t blockCount() const { return weak.size(); }
    uint32_t strongBytes() const { return (strongBits + 7) / 8; }
    // The bytes of the file that block `index` covers (the last one may be shorter).
    uint32_t blockLength(size_t index) const;
    // The bytes the map takes on the wire.
    uint64_t encodedSize() const {
        return kBlockMapHeaderSize + (uint64_t(blockCount()) * (weakBits + strongBits) + 7) / 8;
    }
};

// The part of a rolling checksum (RollingChecksum::value) a map keeps in `weakBits` bits (16
// to 32): the weighted sum first, as it tells more windows apart than the plain sum of the
// bytes, then the plain sum's low bits.
inline uint32_t keptWeakSum(uint32_t rolling, uint32_t weakBits) {
    const uint32_t low = weakBits - 16;
    return ((rolling >> 16) << low) | (rolling & ((uint32_t(1) << low) - 1));
}

// Picks the block size and hash lengths for a file of `fileSize` bytes: blocks of 2 KiB below
// 96 MiB, twice that for every four times the size, and larger still where that keeps them at
// most 2^17 (so the matcher's tables stay a few MiB). The weak sums are as long as keeps a
// scan's chance hits on a pair of them rare (a few thousand strong hashes at most); the strong
// hash as long as keeps a chance match where the map's order puts a block unlikely (one in a
// million updates; a false match only costs a full download, since the file's digest decides).
// The map stays well under 1 % of its file. Fills every field but the sums and gzSize.
void chooseBlockMapLayout(uint64_t fileSize, BlockMap& map);

// The first `strongBits` (at most 64) bits of the strong hash of one block of `blockSize`
// bytes, in (strongBits + 7) / 8 bytes, the bits beyond zero.
void blockStrongHash(const uint8_t* block, uint32_t blockSize, uint32_t strongBits, uint8_t* out);

// Reads the file at `path` once, in blocks (memory: one block plus the map), and fills `map`
// with its layout and sums (gzSize 0). False when the file cannot be read to its end.
bool buildBlockMap(const std::string& path, BlockMap& map);

// The map's bytes as published.
std::string encodeBlockMap(const BlockMap& map);

// Reads the first kBlockMapHeaderSize bytes of a map and says how many bytes the whole map
// must have: 0 for a header this updater cannot use (a wrong tag or version, a block size that
// is not a power of two between 512 bytes and 1 MiB, hash lengths outside weak 16..32 and
// strong 24..64 bits, a file size beyond 2^48, more than 2^20 blocks, so that a hostile map cannot
// make the matcher's tables large). Lets a reader refuse a map before it holds more than its
// header.
uint64_t blockMapSizeFromHeader(const uint8_t* header);

// True for the header of a map of this kind in another version of its format (an older
// kib-manifest's): refused like any other, but worth telling apart in the log.
bool isBlockMapOfAnotherVersion(const std::string& bytes);

// Reads a map that came from the network. False, with `map` in an unspecified state, for
// anything that is not exactly a map this updater can use: a header blockMapSizeFromHeader
// refuses, a length other than the one it names, or padding bits that are not zero.
bool parseBlockMap(const std::string& bytes, BlockMap& map);
