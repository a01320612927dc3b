// Finding the blocks of a block map that a local file already holds, wherever they moved.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/byte_ranges.h"
#include "update/block_map.h"

struct PlatformCancel;

// Where each block of the map can be read from in the local file.
constexpr int64_t kBlockNotHeld = -1;

// Scans the file at `localPath` once with the rolling checksum, at every byte offset, and sets
// `sources[i]` to an offset of the local file whose bytes equal block i of the map (kBlockNotHeld
// when none does). A block is confirmed by its strong hash; behind a found block the map's next
// block is tried first, by its strong hash alone; several equal blocks share one local copy; a
// found block's bytes are skipped, so the scan stays about one read of the file. The last block
// of the map, when shorter, matches the same bytes followed by the file's end. Memory: a read
// buffer and tables proportional to the block count, never the file. A file of 16 MiB or more
// is scanned in two halves at once, the second on a thread of its own that has ended when
// this returns (one such thread in the process at a time; a scan that finds it taken reads the
// whole file itself). False, with `sources` unspecified, when the
// file cannot be read or `cancel` is raised; a missing or empty file is read as holding
// nothing (true). Any thread.
bool matchLocalBlocks(const BlockMap& map, const std::string& localPath, std::vector<int64_t>& sources,
                      const PlatformCancel* cancel = nullptr);

// The byte ranges of the new file that no local block supplies, adjacent blocks joined into
// one range, in ascending order; the last range ends at the file's size.
std::vector<ByteRange> missingRanges(const BlockMap& map, const std::vector<int64_t>& sources);
