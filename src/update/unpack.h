// Unpacking an arrived ".gz" into the file it stands for: bounded, hashed while written, and
// put in the file's place only once it is whole and verified. Any thread; never logs.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "net/download_manager.h"

// Unpacks the verified ".gz" at `gzPath` into `outPath` plus ".unpacking", bounded by
// unpackLimit and hashed while written, checks the result against `unpackedMd5` (when not
// empty), renames it to `outPath` and deletes the ".gz". Any failure removes what was unpacked,
// and the ".gz" too when it is `unverified` (nothing would vouch for it next time); the outcome
// then holds why, and the failure "Could not decompress " + `shownPath`. The log lines name
// `shownPath`, the ".gz" as the manifest lists it. Gives up as soon as `stop` is raised, as a
// kill would. Touches nothing but these files.
FinishOutcome unpackArrived(const std::string& gzPath, const std::string& outPath, const std::string& shownPath,
                            const std::string& unpackedMd5, bool unverified, const std::atomic<bool>* stop = nullptr);

// No game file unpacks to more than this many times its download (or than 64 MiB for small
// ones): beyond that a ".gz" is a bomb meant to fill the player's disk.
constexpr int64_t kUnpackRatio = 256;
constexpr int64_t kUnpackFloor = int64_t(64) << 20;

// The most a ".gz" may unpack to: kUnpackRatio times its size, and at least 64 MiB.
int64_t unpackLimit(const std::string& gzPath);

// Decompresses `gzPath` into `outPath` (a new file replacing any there, no link followed)
// through fixed buffers, never holding the whole file: every gzip member in turn (bytes after
// the last one that are no gzip magic are ignored, as gzip does). A file that is not in gzip
// form is copied unchanged. False when `gzPath` cannot be opened (then `outPath` is left
// untouched), when `outPath` cannot be created or written in full, when the output would pass
// `maxBytes` (0 or less: no bound; `tooLarge` then set when given), or when the compressed data
// is damaged or ends early, wherever it is cut; `outPath` is removed on every failure after it
// was created, also when `stop` is raised meanwhile. `unpackedMd5`, when given, receives the
// digest of what was written, computed while writing, when the result is true. `diskFull`, when
// given, tells a failure because the disk is full.
bool gunzipFile(const std::string& gzPath, const std::string& outPath, int64_t maxBytes = 0,
                bool* tooLarge = nullptr, std::string* unpackedMd5 = nullptr,
                const std::atomic<bool>* stop = nullptr, bool* diskFull = nullptr);
