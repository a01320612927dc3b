// Runs the updater's comparison over a game folder and its manifest, as a start of the game
// does once the manifest has arrived, then writes the record of verified files as a finished
// run does; prints how long that took. check_bench.sh compares it with md5sum.
#include <chrono>
#include <cstdio>
#include <string>

#include <unistd.h>

#include "update/local_digests.h"
#include "update/manifest.h"
#include "update/run_state.h"
#include "util/file_system.h"

namespace {

int g_queued = 0;

void countQueued(const std::string& url, const std::string&, const std::string&, const std::string&) {
    ++g_queued;
    std::fprintf(stderr, "stale: %s\n", url.c_str());
}

}  // namespace

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
    // The log lines go where the updater's go; here nowhere.
    if (!std::freopen("/dev/null", "w", stdout)) return 2;
    const auto started = std::chrono::steady_clock::now();
    const bool ok = compareManifest(manifest, countQueued);
    saveVerifiedFiles();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::fprintf(stderr, "%s, %d stale, %.3f s\n", ok ? "compared" : "malformed", g_queued, seconds);
    return ok && g_queued == 0 ? 0 : 1;
}
