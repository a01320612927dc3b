// Times the switch of a staged release: COUNT files of the game's folder (in folders of a hundred)
// each replaced by its staged copy, and a tenth as many removed, with the journal written first
// and everything moved aside removed last, as a run does once the whole release is staged.
// Usage: switch_bench [COUNT]   (default 2000); prints the seconds it took (target: under 1 s
// for 2,000 files).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "update/release_switch.h"
#include "update/staging.h"
#include "util/file_system.h"

namespace {

void writeFile(const std::string& path, const std::string& content) {
    makeDirectories(directoryOf(path));
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file || std::fwrite(content.data(), 1, content.size(), file) != content.size()) std::exit(2);
    std::fclose(file);
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 2000;
    char pattern[] = "/tmp/kib-switch-bench-XXXXXX";
    const char* folder = mkdtemp(pattern);
    if (!folder || chdir(folder) != 0) return 2;
    std::vector<SwitchEntry> entries;
    for (int i = 0; i < count; ++i) {
        SwitchEntry entry;
        entry.path = "data/d" + std::to_string(i / 100) + "/file" + std::to_string(i) + ".bin";
        entry.staged = stagedName(entry.path);
        writeFile(entry.path, "the old release's file " + std::to_string(i));
        writeFile(entry.staged, "the new release's file " + std::to_string(i));
        entries.push_back(entry);
    }
    for (int i = 0; i < count / 10; ++i) {
        SwitchEntry removal;
        removal.path = "old/d" + std::to_string(i / 100) + "/gone" + std::to_string(i) + ".bin";
        writeFile(removal.path, "a file the new release drops");
        entries.push_back(removal);
    }
    // The log lines go where the updater's go; here nowhere.
    if (!std::freopen("/dev/null", "w", stdout)) return 2;
    const auto started = std::chrono::steady_clock::now();
    ReleaseSwitch releaseSwitch;
    if (!releaseSwitch.begin(entries)) return 1;
    ReleaseSwitch::Progress progress;
    while ((progress = releaseSwitch.step(std::chrono::milliseconds(10))) == ReleaseSwitch::Progress::Working) {
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::filesystem::remove_all(folder);
    std::fprintf(stderr, "%d files put in place and %d removed in %.3f s (target: under 1 s for 2,000)\n", count,
                 count / 10, seconds);
    return progress == ReleaseSwitch::Progress::Done ? 0 : 1;
}
