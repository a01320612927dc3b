// Times the updater's check of a signed manifest (read, parse, BLAKE2b, two Ed25519
// verifications): verify_manifest MANIFEST SIGNATURE PUBLIC_KEY [ROUNDS]. Prints the median
// milliseconds of one check over ROUNDS (default 50), wall time then processor time (which a
// busy machine inflates less); with ROUNDS 1 it is one check, like one `minisign -V`, for
// timing as a whole process. Exit status 1 when the check refuses.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "update/manifest_trust.h"

namespace {

std::string readAll(const char* path) {
    std::string out;
    if (std::FILE* file = std::fopen(path, "rb")) {
        char buffer[65536];
        size_t count;
        while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) out.append(buffer, count);
        std::fclose(file);
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: verify_manifest MANIFEST SIGNATURE PUBLIC_KEY [ROUNDS]\n");
        return 2;
    }
    const int rounds = argc > 4 ? std::max(1, std::atoi(argv[4])) : 50;
    std::vector<double> milliseconds, processor;
    TrustCheck check;
    for (int i = 0; i < rounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const std::clock_t startClock = std::clock();
        // Reading the files is part of what a run pays.
        check = checkManifestTrust(readAll(argv[1]), readAll(argv[2]), readAll(argv[3]), 0, 0,
                                   requestedFileName(argv[1]));
        milliseconds.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        processor.push_back(1000.0 * double(std::clock() - startClock) / CLOCKS_PER_SEC);
        if (!check.accepted) {
            std::fprintf(stderr, "%s\n", check.logLine.c_str());
            return 1;
        }
    }
    std::sort(milliseconds.begin(), milliseconds.end());
    std::sort(processor.begin(), processor.end());
    std::printf("%.3f %.3f\n", milliseconds[milliseconds.size() / 2], processor[processor.size() / 2]);
    return 0;
}
