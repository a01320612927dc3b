// Decompression of a downloaded ".gz" by the updater (1024-byte buffer, on the main thread)
// against Debian's `gzip -dc` on the same file, with the updater's peak memory.
// Usage: gunzip_bench [MiB, default 256]
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "update/unpack.h"
#include "util/md5.h"

namespace {

template <typename Work>
double secondsOf(const Work& work) {
    double best = 1e9;
    for (int round = 0; round < 3; ++round) {
        const auto start = std::chrono::steady_clock::now();
        work();
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

long peakKib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
    const long mebibytes = argc > 1 ? std::atol(argv[1]) : 256;
    char folder[] = "/tmp/kib-gunzip-bench-XXXXXX";
    if (!mkdtemp(folder)) return 1;
    const std::string plain = std::string(folder) + "/game.pak";

    // Game data is part text, part already-dense bytes; written in 1 MiB pieces.
    std::FILE* out = std::fopen(plain.c_str(), "wb");
    std::string chunk(1 << 20, '\0');
    uint32_t state = 12345;
    for (long piece = 0; piece < mebibytes; ++piece) {
        for (size_t i = 0; i < chunk.size(); ++i) {
            state = state * 1664525u + 1013904223u;
            chunk[i] = (i / 4096) % 2 ? char(state >> 24) : "kib level data "[i % 15];
        }
        std::fwrite(chunk.data(), 1, chunk.size(), out);
    }
    std::fclose(out);
    if (std::system(("gzip -6 -k -f " + plain).c_str()) != 0) return 1;
    const long before = peakKib();

    const std::string ours = std::string(folder) + "/ours";
    const std::string theirs = std::string(folder) + "/theirs";
    bool ok = true;
    const double oursSeconds = secondsOf([&] { ok = gunzipFile(plain + ".gz", ours) && ok; });
    const double gzipSeconds = secondsOf([&] { ok = std::system(("gzip -dc " + plain + ".gz > " + theirs).c_str()) == 0 && ok; });
    ok = ok && md5OfFile(ours) == md5OfFile(plain) && md5OfFile(theirs) == md5OfFile(plain);

    std::printf("file: %ld MiB, best of 3 runs each\n", mebibytes);
    std::printf("gunzipFile: %.3f s (%.0f MiB/s)\n", oursSeconds, mebibytes / oursSeconds);
    std::printf("gzip -dc:   %.3f s (%.0f MiB/s)\n", gzipSeconds, mebibytes / gzipSeconds);
    std::printf("time ratio gunzipFile / gzip: %.2f\n", oursSeconds / gzipSeconds);
    std::printf("peak memory: %ld KiB before decompressing, %ld KiB after\n", before, peakKib());
    std::printf("outputs identical to the original: %s\n", ok ? "yes" : "NO");
    std::system(("rm -rf " + std::string(folder)).c_str());
    return ok ? 0 : 1;
}
