// Placeholder until the download service lands: accepts requests and never delivers them.
#include "net/download_manager.h"

std::atomic<DownloadManager*> g_downloadManager{nullptr};

struct DownloadManager::Impl {};

DownloadManager::DownloadManager() : impl_(new Impl) { g_downloadManager = this; }
DownloadManager::~DownloadManager() {
    g_downloadManager = nullptr;
    delete impl_;
}
void DownloadManager::setMaxBytes(int64_t) {}
bool DownloadManager::start(int) { return true; }
bool DownloadManager::enqueue(const std::string&, const std::string&, int32_t, DownloadCallback,
                              DownloadCallback, bool, bool, const std::string&) {
    return true;
}
void DownloadManager::deliverFinished() {}
