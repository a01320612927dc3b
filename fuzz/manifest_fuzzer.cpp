// Fuzzes the manifest reader: the input is the downloaded "manifest.txt" in a game folder that
// holds a few known files, and parseManifest queues its files with a real download manager
// that was never started, so nothing is fetched and the queue can be looked at afterwards.
// Every queued path (and the name a ".gz" is decompressed into) must stay inside the folder,
// nothing may appear or change beside the folder, the counters must match the queue, and a
// file that was already right must never be lost.
#include <dirent.h>
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
#include "update/manifest.h"
#include "update/manifest_path.h"
#include "update/run_state.h"
#include "update/transfers.h"
#include "util/file_system.h"
#include "util/md5.h"

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
DownloadManager* g_manager = nullptr;

std::string md5OfText(const std::string& text) {
    Md5State state;
    uint8_t digest[16];
    md5Init(state);
    md5Append(state, reinterpret_cast<const uint8_t*>(text.data()), int32_t(text.size()));
    md5Finish(state, digest);
    return md5ToText(digest);
}

// Empties the game folder (which is the working directory) and puts the known files back.
void resetGameFolder() {
    for (const fs::directory_entry& entry : fs::directory_iterator(g_game)) fs::remove_all(entry.path());
    fs::create_directory(g_game + "/data");
    for (const auto& [path, content] : kGameFiles) writeFile(g_game + "/" + path, content);
}

// True when the relative path, taken literally, names something inside the working directory.
bool staysInside(const std::string& path) {
    if (path.empty() || path.find('\0') != std::string::npos) return false;
    const fs::path normal = fs::path(path).lexically_normal();
    return !normal.is_absolute() && !normal.has_root_name() && (normal.empty() || *normal.begin() != "..");
}

std::string normalised(const std::string& path) { return fs::path(path).lexically_normal().string(); }

bool endsWithGz(const std::string& path) { return path.size() >= 3 && path.compare(path.size() - 3, 3, ".gz") == 0; }

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
    g_manager = new DownloadManager();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const InGameFolder inside;
    resetGameFolder();
    writeFile(kManifestCopyPath, std::string(reinterpret_cast<const char*>(data), size));
    UpdatePhase = Downloading;
    FilesToFetch = 0;
    FilesFetched = 0;

    const bool ok = parseManifest();
    const std::vector<DownloadRequest> queued = g_manager->takePending();

    FUZZ_CHECK(FilesToFetch == int32_t(queued.size()), "FilesToFetch differs from the number of queued files");
    FUZZ_CHECK(FilesFetched == 0, "a file counted as fetched while nothing was delivered");
    if (ok && queued.empty()) FUZZ_CHECK(UpdatePhase == UpToDate, "nothing to fetch, yet not up to date");
    else FUZZ_CHECK(UpdatePhase == Downloading, "the phase changed though files were queued or the manifest failed");
    if (size == 0) FUZZ_CHECK(!ok, "an empty manifest was accepted");

    // Normalised path -> the digests it was queued with.
    std::map<std::string, std::set<std::string>> deletable;
    for (const DownloadRequest& request : queued) {
        const std::string& path = request.localPath;
        FUZZ_CHECK(isSafeManifestPath(path), "a queued path breaks the path rule: " + path);
        FUZZ_CHECK(staysInside(path), "a queued path leaves the game's folder: " + path);
        // A downloaded ".gz" is decompressed into the name without it, whatever its line said.
        if (endsWithGz(path)) {
            const std::string target = path.substr(0, path.size() - 3);
            FUZZ_CHECK(isSafeManifestPath(target) && staysInside(target),
                       "a queued .gz decompresses outside the game's folder: " + path);
        }
        FUZZ_CHECK(request.url.size() >= path.size() &&
                       request.url.compare(request.url.size() - path.size(), path.size(), path) == 0,
                   "the address does not end in the local path: " + request.url);
        FUZZ_CHECK(request.onSuccess == onFileDownloaded && request.onFailure == onFileFailed,
                   "a file was queued with other callbacks");
        deletable[normalised(path)].insert(request.expectedMd5);
    }

    // Queueing may delete a stale copy, never one whose digest is the expected one.
    for (const auto& [path, content] : kGameFiles) {
        std::string now;
        if (readWholeFile(now, path) && now == content) continue;
        const std::set<std::string>& digests = deletable[path];
        const std::string right = md5OfText(content);
        FUZZ_CHECK(!digests.empty() && (digests.size() > 1 || *digests.begin() != right),
                   "a file that was already right was changed or lost: " + path);
    }
    checkNothingOutside();
    return 0;
}
