// Runs the updater's comparison over a game folder and its manifest, as a start of the game
// does once the manifest has arrived, then writes the record of verified files as a finished
// run does; prints how long that took. check_bench.sh compares it with md5sum.
#include <chrono>
#include <cstdio>
#include <string>
#include <utility>

#include <unistd.h>

#include "update/local_digests.h"
#include "update/manifest.h"
#include "platform/platform.h"
#include "update/own_files.h"
#include "util/file_system.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s GAME-FOLDER MANIFEST\n", argv[0]);
        return 2;
    }
    std::string manifest;
    if (!readWholeFile(manifest, argv[2]) || chdir(argv[1]) != 0) {
        std::fprintf(stderr, "cannot read %s or enter %s\n", argv[2], argv[1]);
        return 2;
    }
    // The log lines go where the updater's go, gathered in blocks as the updater gathers them.
    makeDirectories(kLogFolder);
    if (!platformRedirectOutput(stdout, kLogPath)) return 2;
    platformWriteInBlocks(stdout);
    const auto started = std::chrono::steady_clock::now();
    LocalDigests digests(kVerifiedFilesPath, kVerifiedFilesTemporaryPath);
    Plan plan;
    const bool ok = compareManifest(std::move(manifest), digests, plan);
    digests.save();
    std::fflush(stdout);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    for (const PlannedFetch& file : plan.fetches) std::fprintf(stderr, "stale: %s\n", file.url.c_str());
    std::fprintf(stderr, "%s, %zu stale, %.3f s\n", ok ? "compared" : "malformed", plan.fetches.size(), seconds);
    return ok && plan.fetches.empty() ? 0 : 1;
}
