// The block scan against a hostile block map, and how soon a scan answers a cancel. Writes into
// FOLDER a 64 MiB local file of one byte over and over and a map of 2^20 blocks whose weak sums
// meet every window of it while their strong hashes never do (and the same map as zsync's
// control file, hostile.zsync, for delta_scan_bench.sh to give zsync); reads the map as the
// updater reads one from the network and scans the file against it. Then scans of an ordinary
// pair (256 MiB, a few edits) and of the hostile one are cancelled part way, the time from
// raising the cancel to the scan's return measured. Prints one line per figure.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "update/block_map.h"
#include "update/block_matcher.h"
#include "util/rolling_checksum.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

bool writeFile(const std::string& path, const std::string& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

// Bytes that look random, the same in every run.
std::string noise(size_t count, uint64_t seed) {
    std::string bytes(count, '\0');
    for (size_t i = 0; i < count; ++i) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        bytes[i] = char(seed >> 56);
    }
    return bytes;
}

// The same blocks as zsync's control file: 2 bytes of the weighted sum (zsync's rsum "b",
// which is this updater's weak sum), 5 bytes of a strong checksum that never matches.
std::string zsyncControl(const BlockMap& map) {
    std::string out = "zsync: 0.6.2\nFilename: hostile\nBlocksize: " + std::to_string(map.blockSize) +
                      "\nLength: " + std::to_string(map.fileSize) +
                      "\nHash-Lengths: 2,2,5\nURL: http://127.0.0.1:9/hostile\nSHA-1: " + std::string(40, '0') + "\n\n";
    for (size_t i = 0; i < map.blockCount(); ++i) {
        out.push_back(char(map.weak[i] >> 8));
        out.push_back(char(map.weak[i] & 0xff));
        out.append(reinterpret_cast<const char*>(map.strong.data()) + i * map.strongBytes(), 5);
    }
    return out;
}

// Starts a scan, raises its cancel after `afterMs`, and returns how long the scan took to
// return from then (negative when it had ended before the cancel).
double cancelLatency(const BlockMap& map, const std::string& local, int afterMs) {
    PlatformCancel* cancel = platformCreateCancel();
    double latency = -1;
    {
        BlockScan scan(map, local, cancel);
        if (!scan.wait(afterMs)) {
            platformRaiseCancel(cancel);
            const auto raised = Clock::now();
            scan.wait(-1);
            latency = secondsSince(raised);
        }
    }
    platformDestroyCancel(cancel);
    return latency;
}

void reportLatencies(const char* name, const BlockMap& map, const std::string& local, const std::vector<int>& delays) {
    double worst = 0;
    std::string each;
    for (int delay : delays) {
        const double latency = cancelLatency(map, local, delay);
        if (latency < 0) continue;
        worst = std::max(worst, latency);
        char text[32];
        std::snprintf(text, sizeof text, " %.1f", latency * 1000);
        each += text;
    }
    std::printf("cancel during the %s scan: worst %.1f ms (target <= 100); each, ms:%s\n", name, worst * 1000,
                each.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    const std::string local = folder + "/local";
    const std::string same(64u << 20, 'k');
    if (!writeFile(local, same)) return 2;

    BlockMap hostile;
    hostile.blockSize = 512;
    hostile.weakBits = 16;
    hostile.strongBits = 40;
    hostile.fileSize = uint64_t(hostile.blockSize) << 20;
    hostile.md5 = std::string(32, '0');
    RollingChecksum sum;
    sum.reset(reinterpret_cast<const uint8_t*>(same.data()), hostile.blockSize);
    hostile.weak.assign(size_t(1) << 20, keptWeakSum(sum.value(), hostile.weakBits));
    const std::string strong = noise(hostile.weak.size() * hostile.strongBytes(), 26);
    hostile.strong.assign(strong.begin(), strong.end());
    const std::string bytes = encodeBlockMap(hostile);
    if (!writeFile(folder + "/hostile.zsync", zsyncControl(hostile))) return 2;

    auto start = Clock::now();
    BlockMap read;
    if (!parseBlockMap(bytes, read)) {
        std::printf("hostile map: refused when read\n");
        return 1;
    }
    std::vector<int64_t> sources;
    BlockScanStats stats;
    const bool scanned = matchLocalBlocks(read, local, sources, nullptr, &stats);
    std::printf("hostile map of %zu blocks (%zu bytes) over a 64 MiB file: %s in %.2f s (target: a few); %llu strong "
                "hashes, %llu hits let go\n",
                read.blockCount(), bytes.size(), scanned ? "finished" : "failed", secondsSince(start),
                (unsigned long long)stats.strongHashes, (unsigned long long)stats.hitsLetGo);

    // An ordinary pair: 256 MiB, its new version with a few bytes changed here and there.
    std::string old = noise(256u << 20, 7);
    if (!writeFile(local + ".old", old)) return 2;
    for (size_t at = 1000; at < old.size(); at += 40u << 20) old[at] ^= 1;
    if (!writeFile(local + ".new", old)) return 2;
    old.clear();
    BlockMap ordinary;
    if (!buildBlockMap(local + ".new", ordinary)) return 2;
    start = Clock::now();
    if (!matchLocalBlocks(ordinary, local + ".old", sources)) return 1;
    const double whole = secondsSince(start);
    std::printf("ordinary 256 MiB scan: %.2f s\n", whole);
    std::vector<int> delays;
    for (int share : {10, 30, 50, 70, 90}) delays.push_back(std::max(1, int(whole * 1000 * share / 100)));
    reportLatencies("ordinary", ordinary, local + ".old", delays);
    reportLatencies("hostile", read, local, {50, 200, 400, 800, 1200});
    return 0;
}
