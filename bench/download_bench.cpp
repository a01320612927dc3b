// Fetches a list of URLs with the download manager, five workers, delivering as the updater's
// main loop does (checking each digest the list gives), and prints how long it took.
// download_bench.sh and fetch_check_bench.sh compare it with curl (and md5sum).
#include <SDL.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "net/download_manager.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s LIST\n  LIST: one \"URL<TAB>local path[<TAB>MD5]\" per line\n", argv[0]);
        return 2;
    }
    std::ifstream list(argv[1]);
    const auto started = std::chrono::steady_clock::now();
    DownloadManager manager;
    manager.start(5);
    int queued = 0;
    for (std::string line; std::getline(list, line);) {
        const size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        // As the updater queues files: verify what exists, and the download against its digest
        // when the list gives one.
        const size_t digestTab = line.find('\t', tab + 1);
        const std::string localPath = line.substr(tab + 1, digestTab == std::string::npos ? std::string::npos : digestTab - tab - 1);
        const std::string md5 = digestTab == std::string::npos ? "" : line.substr(digestTab + 1);
        DownloadRequest request;
        request.url = line.substr(0, tab);
        request.localPath = localPath;
        request.verifyExisting = true;
        request.expectedMd5 = md5;
        manager.enqueue(std::move(request));
        ++queued;
    }
    // The updater's main loop takes what finished once per iteration and sleeps 10 ms.
    int delivered = 0;
    int failed = 0;
    while (delivered < queued) {
        for (const DownloadRequest& request : manager.takeFinished()) {
            ++delivered;
            if (request.status == Done) continue;
            ++failed;
            std::fprintf(stderr, "failed: %s (status %d) %s\n", request.url.c_str(), int(request.status),
                         request.failure.c_str());
        }
        if (delivered < queued) SDL_Delay(10);
    }
    manager.stop();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%d files, %d failed, %.3f s\n", queued, failed, seconds);
    return failed == 0 ? 0 : 1;
}
