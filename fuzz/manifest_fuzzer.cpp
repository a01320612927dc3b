// Fuzzes the manifest reader: the input is the downloaded "manifest.txt" in a game folder that
// holds a few known files (and a folder, a link and a pipe where a manifest may name them),
// and the comparison makes its plan, which is turned into the download requests the run would
// queue. Every planned path (and the name a ".gz" is decompressed into) must stay inside the
// folder and be none of the updater's own names; nothing may appear or change beside the
// folder; no file of the folder is ever deleted or changed by the comparison; and a refused
// manifest, or a file refused for what stands at its name, plans nothing.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "net/download_manager.h"
#include "net/url.h"
#include "update/local_digests.h"
#include "update/manifest.h"
#include "update/manifest_path.h"
#include "update/manifest_request.h"
#include "update/own_files.h"
#include "update/staging.h"
#include "update/transfers.h"
#include "util/file_system.h"
#include "util/md5.h"
#include "util/strings.h"

namespace {

namespace fs = std::filesystem;

// The game's files before every input; the seeds name them with these digests.
const std::map<std::string, std::string> kGameFiles = {
    {"kib.exe", "the game\n"},
    {"data/level.pak", "level data\n"},
    {"notes.txt", "notes\n"},
};
const std::string kOutsideName = "outside.txt";
const std::string kOutsideContent = "beside the game's folder\n";

std::string g_parent;
std::string g_game;

// Empties the game folder (which is the working directory) and puts the known files back,
// with the traps someone sharing the install could leave: a link out of the folder (to the
// file beside it) and a pipe, which reading would wait on for ever.
void resetGameFolder() {
    for (const fs::directory_entry& entry : fs::directory_iterator(g_game)) fs::remove_all(entry.path());
    fs::create_directory(g_game + "/data");
    for (const auto& [path, content] : kGameFiles) writeFile(g_game + "/" + path, content);
    fs::create_symlink(g_parent + "/" + kOutsideName, g_game + "/link.txt");
    fs::create_directory_symlink(g_parent, g_game + "/up");
    if (mkfifo((g_game + "/pipe.txt").c_str(), 0600) != 0) fuzzFailure(__FILE__, __LINE__, "mkfifo", "pipe.txt");
}

// True when the relative path, taken literally, names something inside the working directory.
bool staysInside(const std::string& path) {
    if (path.empty() || path.find('\0') != std::string::npos) return false;
    const fs::path normal = fs::path(path).lexically_normal();
    return !normal.is_absolute() && !normal.has_root_name() && (normal.empty() || *normal.begin() != "..");
}

// Nothing beside the game's folder but the marker, which is unchanged.
void checkNothingOutside() {
    DIR* parent = opendir(g_parent.c_str());
    FUZZ_CHECK(parent != nullptr, "the parent folder is gone");
    std::set<std::string> names;
    while (const dirent* entry = readdir(parent)) names.insert(entry->d_name);
    closedir(parent);
    FUZZ_CHECK((names == std::set<std::string>{".", "..", "game", kOutsideName}),
               "something appeared or vanished beside the game's folder");
    std::string outside;
    FUZZ_CHECK(readWholeFile(outside, g_parent + "/" + kOutsideName) && outside == kOutsideContent,
               "the file beside the game's folder changed");
}

// The comparison works in the game's folder, as the updater does; libFuzzer's own paths (the
// corpus, the artefacts) may be relative to where it was started, so that is restored after.
struct InGameFolder {
    InGameFolder() {
        if (!getcwd(previous, sizeof previous) || chdir(g_game.c_str()) != 0)
            fuzzFailure(__FILE__, __LINE__, "chdir", g_game);
    }
    ~InGameFolder() {
        if (chdir(previous) != 0) fuzzFailure(__FILE__, __LINE__, "chdir", previous);
    }
    char previous[4096];
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_parent = makeScratchFolder("manifest");
    g_game = g_parent + "/game";
    fs::create_directory(g_game);
    writeFile(g_parent + "/" + kOutsideName, kOutsideContent);
    // The comparison logs a line per manifest line; the fuzzer's own report is on stderr.
    if (!std::freopen("/dev/null", "w", stdout)) fuzzFailure(__FILE__, __LINE__, "freopen", "/dev/null");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const InGameFolder inside;
    resetGameFolder();
    writeFile(kManifestCopyPath, std::string(reinterpret_cast<const char*>(data), size));

    std::string manifest;
    const bool read = readManifestCopy(manifest);
    LocalDigests digests(kVerifiedFilesPath, kVerifiedFilesTemporaryPath);
    Plan plan;
    const bool ok = read && compareManifest(manifest, digests, plan);
    std::vector<DownloadRequest> queued;
    for (const PlannedFetch& file : plan.fetches) queued.push_back(fileRequest(file));
    if (!ok) FUZZ_CHECK(queued.empty(), "a refused manifest planned files");
    if (!plan.refusedPath.empty()) FUZZ_CHECK(queued.empty(), "a refused file left files in the plan");
    if (size == 0) FUZZ_CHECK(!ok, "an empty manifest was accepted");

    for (size_t i = 0; i < queued.size(); ++i) {
        const DownloadRequest& request = queued[i];
        // The manifest's path; the download itself goes to a staged name beside its final file.
        const std::string& path = plan.fetches[i].localPath;
        const std::string target = plan.fetches[i].finalPath();
        FUZZ_CHECK(request.localPath == (hasGzipSuffix(path) ? stagedGzipName(target) : stagedName(target)),
                   "a download is not staged beside its file: " + request.localPath);
        FUZZ_CHECK(staysInside(request.localPath), "a staged name leaves the game's folder: " + request.localPath);
        FUZZ_CHECK(isSafeManifestPath(path), "a queued path breaks the path rule: " + path);
        FUZZ_CHECK(reservedNameProblem(path).empty(), "a queued path is one of the updater's own names: " + path);
        FUZZ_CHECK(staysInside(path), "a queued path leaves the game's folder: " + path);
        // A downloaded ".gz" is decompressed into the name without it, whatever its line said.
        if (hasGzipSuffix(path)) {
            const std::string target = withoutGzipSuffix(path);
            FUZZ_CHECK(isSafeManifestPath(target) && staysInside(target),
                       "a queued .gz decompresses outside the game's folder: " + path);
            FUZZ_CHECK(reservedNameProblem(target).empty(), "a queued .gz unpacks into an updater's name: " + path);
        }
        // The path goes to the server percent-encoded.
        const std::string encoded = encodePath(path);
        FUZZ_CHECK(request.url.size() >= encoded.size() &&
                       request.url.compare(request.url.size() - encoded.size(), encoded.size(), encoded) == 0,
                   "the address does not end in the encoded local path: " + request.url);
        FUZZ_CHECK(hasGzipSuffix(path) == bool(request.finishStep), "only a .gz is unpacked, and every .gz is");
    }

    // Nothing is deleted or replaced while comparing and planning, whatever the outcome:
    // replacements happen only once a verified download has arrived.
    for (const auto& [path, content] : kGameFiles) {
        std::string now;
        FUZZ_CHECK(readWholeFile(now, path) && now == content, "a file of the folder was changed or lost: " + path);
    }
    FUZZ_CHECK(fs::is_symlink(g_game + "/link.txt") && fs::is_symlink(g_game + "/up") &&
                   fs::is_fifo(fs::symlink_status(g_game + "/pipe.txt")),
               "a link or the pipe in the folder was replaced");
    checkNothingOutside();
    return 0;
}
