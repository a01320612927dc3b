// The staging folder's names, and the ways to a staged file that need no download.
#include "update/staging.h"

#include <cstdio>
#include <memory>

#include "net/download_name.h"
#include "net/http_client.h"
#include "platform/platform.h"
#include "update/delta_update.h"
#include "update/manifest_path.h"
#include "update/own_files.h"
#include "util/file_system.h"
#include "util/file_vouch.h"
#include "util/md5.h"
#include "util/strings.h"

namespace {

constexpr size_t kCopyBlockSize = size_t(1) << 20;

struct FileCloser {
    std::FILE* file;
    ~FileCloser() {
        if (file) std::fclose(file);
    }
};

bool copyInto(std::FILE* in, std::FILE* out, Md5State& digest, const PlatformCancel* cancel) {
    std::unique_ptr<uint8_t[]> block(new uint8_t[kCopyBlockSize]);
    size_t count;
    while ((count = std::fread(block.get(), 1, kCopyBlockSize, in)) > 0) {
        if (platformCancelRaised(cancel)) return false;
        md5Append(digest, block.get(), int32_t(count));
        if (std::fwrite(block.get(), 1, count, out) != count) return false;
    }
    return !std::ferror(in);
}

void stagedBy(DownloadRequest& request, const std::string& note) {
    request.finishing.verifiedPath = request.shortcut.resultPath;
    request.finishing.verifiedMd5 = request.shortcut.md5;
    request.note = note;
}

}  // namespace

std::string stagedName(const std::string& path) { return path + kStagedSuffix; }

std::string stagedGzipName(const std::string& path) { return path + kStagedGzipSuffix; }

std::vector<std::string> stagingNames(const std::string& path) {
    const std::string staged = stagedName(path), gz = stagedGzipName(path);
    return {staged, downloadName(staged), unpackName(staged), gz, downloadName(gz)};
}

bool listStagedFiles(const std::vector<std::string>& paths) {
    std::string listed;
    readWholeFile(listed, kStagedListPath);
    std::string text = listed;
    for (const std::string& path : paths) text += path + "\n";
    if (text == listed) return true;
    makeDirectories(directoryOf(kStagedListPath));
    // Written whole, flushed and then renamed: a list cut short would lose what it named before.
    return replaceWholeFile(kStagedListPath, downloadName(kStagedListPath), text);
}

void removeStagedFiles() {
    std::string listed;
    if (!readWholeFile(listed, kStagedListPath)) return;
    StringList paths;
    split(paths, listed, "\n");
    for (const std::string& path : paths)
        // The list lies in the folder: only names a manifest could have given are followed.
        if (!path.empty() && isSafeManifestPath(path))
            for (const std::string& name : stagingNames(path)) platformRemoveFile(name);
    platformRemoveFile(kStagedListPath);
}

bool copyVerified(const std::string& from, const std::string& to, const std::string& md5,
                  const PlatformCancel* cancel, FileVouch* vouch) {
    const std::string part = downloadName(to);
    bool ok = false;
    Md5State digest;
    md5Init(digest);
    {
        FileCloser in{platformOpenFile(from, PlatformOpenMode::Read)};
        if (!in.file) return false;
        FileCloser out{platformOpenFile(part, PlatformOpenMode::Write)};
        if (!out.file) return false;
        ok = copyInto(in.file, out.file, digest, cancel);
        ok = std::fclose(out.file) == 0 && ok;
        out.file = nullptr;
    }
    uint8_t bytes[16];
    md5Finish(digest, bytes);
    // Flushed to the disk before the rename, as every file staged.
    if (ok && md5ToText(bytes) == md5 && placeVerifiedFile(part, to, vouch)) return true;
    platformRemoveFile(part);
    return false;
}

bool stageByShortcut(DownloadRequest& request, const HttpOptions& options) {
    const DownloadShortcutPlan& plan = request.shortcut;
    // Hashed again here, so its stamp is this run's to vouch for.
    const HashStart start = beginHashing(plan.resultPath);
    if (!plan.md5.empty() && md5OfFile(plan.resultPath) == plan.md5) {
        stagedBy(request, "\t\t\tStaged by an earlier run\n");
        request.finishing.verifiedVouch = endHashing(plan.resultPath, start);
        return true;
    }
    // The look verifyExisting asks for (the manager leaves it to the shortcut).
    if (request.verifyExisting && !request.expectedMd5.empty() &&
        md5OfFile(request.localPath) == request.expectedMd5) {
        request.present = true;
        return true;
    }
    if (!plan.copyFrom.empty() && !plan.md5.empty() &&
        copyVerified(plan.copyFrom, plan.resultPath, plan.md5, options.cancel, &request.finishing.verifiedVouch)) {
        stagedBy(request, "\t\t\tCopied from " + plan.copyFrom + ", which holds the same bytes\n");
        return true;
    }
    return !plan.url.empty() && tryDeltaUpdate(request, options);
}
