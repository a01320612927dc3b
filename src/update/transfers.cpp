// Queueing the files a run must fetch, and finishing each one when it arrives.
#include "update/transfers.h"

#include <zlib.h>

#include <cstdio>

#include "app/outcome.h"
#include "net/download_manager.h"
#include "update/run_state.h"
#include "util/file_system.h"

namespace {

const std::string kGzipSuffix = ".gz";
constexpr unsigned kGunzipBufferSize = 1024;

bool isCompressed(const std::string& path) {
    return path.size() >= kGzipSuffix.size() &&
           path.compare(path.size() - kGzipSuffix.size(), kGzipSuffix.size(), kGzipSuffix) == 0;
}

}  // namespace

void queueFile(const std::string& url, const std::string& localPath, const std::string& expectedMd5) {
    // Counted first, so that the total is right even if this request is refused.
    ++FilesToFetch;
    DownloadManager* manager = g_downloadManager.load();
    if (manager && manager->enqueue(url, localPath, 0, onFileDownloaded, onFileFailed, true, false, expectedMd5))
        return;
    std::printf("\t\tFailed to get %s. Reason: Queue Failed\n", localPath.c_str());
    fatalError("Could not queue " + localPath);
}

void onFileDownloaded(DownloadRequest* request) {
    std::printf("\t\tFinished %s\n", request->localPath.c_str());
    ++FilesFetched;
    finishFile(request->localPath);
    if (FilesFetched == FilesToFetch) UpdatePhase = Updated;
}

void onFileFailed(DownloadRequest* request) {
    // Copied: the fatal error stops the manager, which frees requests.
    const std::string localPath = request->localPath;
    std::printf("\t\tFailed to get %s. Reason: %i\n", localPath.c_str(), int(request->status));
    fatalError("Could not download " + localPath);
}

bool finishFile(const std::string& localPath) {
    if (!isCompressed(localPath)) {
        std::printf("\t\t\t%s not compressed\n", localPath.c_str());
        return true;
    }
    std::printf("\t\t\tDecompressing %s\n", localPath.c_str());
    const std::string outPath = localPath.substr(0, localPath.size() - kGzipSuffix.size());
    if (!gunzipFile(localPath, outPath)) {
        std::printf("\t\t\tFailed to decompress %s\n", localPath.c_str());
        // The ".gz" stays: it is verified, and the next run decompresses it without a transfer.
        fatalError("Could not decompress " + localPath);
    }
    deleteIfExists(localPath);
    return true;
}

bool gunzipFile(const std::string& gzPath, const std::string& outPath) {
    gzFile in = gzopen(gzPath.c_str(), "rb");
    // Opened only once the input is known to be readable, so that a missing ".gz" does not
    // empty a good copy of the file.
    if (!in) return false;
    std::FILE* out = std::fopen(outPath.c_str(), "wb");
    if (!out) {
        gzclose(in);
        return false;
    }

    unsigned char buffer[kGunzipBufferSize];
    bool ok = true;
    for (;;) {
        const int got = gzread(in, buffer, kGunzipBufferSize);
        // A negative count is damaged data (a bad block or a wrong check value at the end).
        if (got < 0) {
            ok = false;
            break;
        }
        if (got == 0) {
            // zlib reports a stream that ends early only here, as Z_BUF_ERROR, not as -1.
            int error = Z_OK;
            gzerror(in, &error);
            ok = error == Z_OK;
            break;
        }
        // A short write is a full disk or a failing device.
        if (std::fwrite(buffer, 1, size_t(got), out) != size_t(got)) {
            ok = false;
            break;
        }
    }
    // Both closes report what the loop may not have seen: a truncated stream, and data the
    // stream buffer could not write out.
    if (gzclose(in) != Z_OK) ok = false;
    if (std::fclose(out) != 0) ok = false;
    return ok;
}
