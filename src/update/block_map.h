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
//   "KIBBLKM1"                      8 bytes, the format and its version
//   file size                       8 bytes
//   block size                      4 bytes, a power of two
//   weak bytes, strong bytes        1 byte each
//   zero                            2 bytes
//   MD5 of the whole file           16 bytes
//   per block: the low `weak bytes` of its rolling checksum, then the first `strong bytes` of
//   its SipHash-2-4 (as libsodium's crypto_shorthash writes it, under a key of 16 zero bytes).
//   The last block is hashed padded with zero bytes to the full block size.
// The strong hash only tells blocks apart, as fast as a scan can go; whether the file they
// make up is the right one is decided by its MD5, and the manifest's.
struct BlockMap {
    uint64_t fileSize = 0;
    uint32_t blockSize = 0;
    // How many bytes of each checksum the map keeps; see chooseBlockMapLayout.
    uint32_t weakBytes = 4;
    uint32_t strongBytes = 8;
    // The file's digest as lowercase hexadecimal text, as the manifest writes it.
    std::string md5;
    // Per block, the rolling checksum masked to `weakBytes`.
    std::vector<uint32_t> weak;
    // Per block, `strongBytes` bytes of its strong hash, one block after the other.
    std::vector<uint8_t> strong;

    size_t blockCount() const { return weak.size(); }
    // The bytes of the file that block `index` covers (the last one may be shorter).
    uint32_t blockLength(size_t index) const;
    // The mask that keeps the `weakBytes` low bytes of a rolling checksum.
    uint32_t weakMask() const { return weakBytes >= 4 ? 0xffffffffu : (1u << (8 * weakBytes)) - 1; }
};

// Picks the block size and hash lengths for a file of `fileSize` bytes: blocks of 4 KiB and
// more, doubled (up to 1 MiB) until there are at most 2^17 of them (so the matcher's tables
// stay a few MiB),
// and a strong hash long enough that a false match anywhere in a scan stays unlikely (a false
// match only costs a full download, since the file's digest decides). The map stays well
// under 1 % of its file. Fills every field but the sums.
void chooseBlockMapLayout(uint64_t fileSize, BlockMap& map);

// The first `strongBytes` (at most 8) bytes of the strong hash of one block of `blockSize` bytes.
void blockStrongHash(const uint8_t* block, uint32_t blockSize, uint32_t strongBytes, uint8_t* out);

// Reads the file at `path` once, in blocks (memory: one block plus the map), and fills `map`
// with its layout and sums. False when the file cannot be read to its end.
bool buildBlockMap(const std::string& path, BlockMap& map);

// The map's bytes as published.
std::string encodeBlockMap(const BlockMap& map);

// Reads a map that came from the network. False, with `map` in an unspecified state, for
// anything that is not exactly a map this updater can use: a wrong tag, a block size that is
// not a power of two between 512 bytes and 1 MiB, hash lengths outside weak 2..4 and strong
// 4..8, a file size beyond 2^48, more than 2^20 blocks (so a hostile map cannot make the
// matcher's tables large), or a length that does not match the block count.
bool parseBlockMap(const std::string& bytes, BlockMap& map);
