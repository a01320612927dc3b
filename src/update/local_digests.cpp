// Local digests for the comparison: trusted from the record, or hashed on the worker pool.
#include "update/local_digests.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>

#include "update/own_files.h"
#include "util/case_fold.h"
#include "util/md5.h"
#include "util/strings.h"
#include "util/worker_pool.h"

namespace {

// More tasks than this only queue up at the disk.
constexpr int kMaxHashTasks = 8;
constexpr int kMinHashTasks = 2;

using LocalFile = LocalDigests::LocalFile;

// Any thread: hashes `path`, stamped before and after so that a file written meanwhile is
// not recorded with a digest it may no longer have.
LocalFile hashFile(const std::string& path, const std::atomic<bool>* stop = nullptr) {
    LocalFile file;
    const HashStart start = beginHashing(path);
    file.md5 = md5OfFile(path, stop);
    file.vouch = endHashing(path, start);
    return file;
}

// A file the record vouched for and that has not changed since: noted again as it stands.
LocalFile trustedFile(const std::string& md5, const PlatformFileStamp& stamp) {
    LocalFile file;
    file.md5 = md5;
    file.vouch.stamp = stamp;
    file.vouch.trustworthy = true;
    return file;
}

}  // namespace

// The tasks take paths in manifest order and hand each result in under `lock`, so the
// comparison logs and queues its first files while later ones are still being read.
struct LocalDigests::Job {
    std::vector<std::string> paths;
    std::map<std::string, size_t> indexOf;
    std::mutex lock;
    std::condition_variable changed;
    // Slot i belongs to the task hashing paths[i] until done[i] is set under `lock`.
    std::vector<LocalFile> results;
    std::vector<char> done;
    std::atomic<size_t> next{0};
    // Raised to make every task leave its file at once.
    std::atomic<bool> stop{false};
    // Tasks started and not yet returned; guarded by `lock`.
    int running = 0;

    void run() {
        for (size_t i = next++; i < paths.size(); i = next++) {
            LocalFile file = hashFile(paths[i], &stop);
            std::lock_guard<std::mutex> hold(lock);
            results[i] = std::move(file);
            done[i] = 1;
            changed.notify_all();
        }
        std::lock_guard<std::mutex> hold(lock);
        --running;
        changed.notify_all();
    }

    // Takes no new file and waits until every task returned.
    void finish() {
        next = paths.size();
        std::unique_lock<std::mutex> hold(lock);
        changed.wait(hold, [this] { return running == 0; });
    }
};

namespace {

// Starts up to `tasks` tasks on the pool, each keeping the job alive until it returns; the
// number that started.
int startHashing(const std::shared_ptr<LocalDigests::Job>& job, int tasks) {
    int started = 0;
    for (; started < tasks && size_t(started) < job->paths.size(); ++started) {
        {
            std::lock_guard<std::mutex> hold(job->lock);
            ++job->running;
        }
        if (WorkerPool::shared().tryRun([job] { job->run(); })) continue;
        std::lock_guard<std::mutex> hold(job->lock);
        --job->running;
        break;
    }
    return started;
}

}  // namespace

LocalDigests::LocalDigests(std::string recordPath, std::string temporaryPath)
    : recordPath_(std::move(recordPath)), temporaryPath_(std::move(temporaryPath)) {}

LocalDigests::~LocalDigests() {
    if (job_) job_->stop = true;
    endHashing();
}

void LocalDigests::loadRecordOnce() {
    if (recordLoaded_) return;
    recordLoaded_ = true;
    record_.load(recordPath_);
}

void LocalDigests::prepare(const std::vector<std::string>& paths) {
    std::vector<const std::string*> held;
    held.reserve(paths.size());
    for (const std::string& path : paths) held.push_back(&path);
    prepare(held);
}

void LocalDigests::prepare(const std::vector<const std::string*>& paths) {
    // Each comparison starts the view afresh (tests compare in one folder after another).
    endHashing();
    record_ = VerifiedFiles();
    recordLoaded_ = false;
    loadRecordOnce();
    known_.clear();
    holders_.clear();
    holdersMade_ = false;
    cancelled_ = false;
    std::shared_ptr<Job> job(new Job);
    // Files of one folder follow each other in a manifest: each folder is walked to once.
    PlatformFolderWalk walk;
    unchanged_.clear();
    cursor_ = 0;
    for (const std::string* held : paths) {
        const std::string& path = *held;
        PlatformFileStamp stamp;
        if (!walk.stamp(path, stamp)) continue;
        // An unchanged file stays in the record alone: nothing is copied for it.
        if (const VerifiedFiles::Loaded entry = record_.markUnchanged(path, stamp)) {
            unchanged_.push_back(entry);
            continue;
        }
        job->indexOf.emplace(path, job->paths.size());
        job->paths.push_back(path);
    }
    job->results.assign(job->paths.size(), LocalFile());
    job->done.assign(job->paths.size(), 0);
    const int tasks = std::min(kMaxHashTasks, std::max(kMinHashTasks, platformProcessorCount()));
    // Without a single task, each file is hashed when it is asked for.
    if (startHashing(job, tasks) > 0) job_ = std::move(job);
}

bool LocalDigests::takeHashed(const std::string& path, LocalFile& out, bool wait, bool& held) {
    held = false;
    if (!job_) return false;
    const auto found = job_->indexOf.find(path);
    if (found == job_->indexOf.end()) return false;
    held = true;
    std::unique_lock<std::mutex> hold(job_->lock);
    if (wait) job_->changed.wait(hold, [&] { return job_->done[found->second] || job_->running == 0; });
    if (!job_->done[found->second]) {
        // Every task has returned without it (the hashing ended early): it is read here.
        if (job_->running > 0) return false;
        hold.unlock();
        out = hashFile(path);
        return true;
    }
    out = job_->results[found->second];
    return true;
}

std::string LocalDigests::use(const std::string& path, const LocalFile& file) {
    record_.note(path, file.vouch, file.md5);
    known_[path] = file;
    return file.md5;
}

const std::string& LocalDigests::reuse(const std::string& path, const LocalFile& file) {
    record_.note(path, file.vouch, file.md5);
    return file.md5;
}

bool LocalDigests::tryDigest(const std::string& path, std::string& md5) {
    md5.clear();
    if (cancelled_) return true;
    loadRecordOnce();
    VerifiedFiles::Loaded entry = nullptr;
    if (cursor_ < unchanged_.size() && unchanged_[cursor_]->first == path) entry = unchanged_[cursor_++];
    if (record_.takeUnchanged(path, md5, entry)) return true;
    const auto found = known_.find(path);
    if (found != known_.end()) {
        md5 = reuse(path, found->second);
        return true;
    }
    LocalFile file;
    bool held = false;
    if (takeHashed(path, file, false, held)) {
        md5 = use(path, file);
        return true;
    }
    if (held) return false;
    PlatformFileStamp stamp;
    const std::string trusted = platformStampFile(path, stamp) ? record_.trustedDigest(path, stamp) : std::string();
    md5 = use(path, trusted.empty() ? hashFile(path) : trustedFile(trusted, stamp));
    return true;
}

std::string LocalDigests::digest(const std::string& path) {
    std::string md5;
    if (tryDigest(path, md5)) return md5;
    LocalFile file;
    bool held = false;
    takeHashed(path, file, true, held);
    return cancelled_ ? std::string() : use(path, file);
}

void LocalDigests::endHashing() {
    if (!job_) return;
    job_->finish();
    // What was handed in stays, so a later digest of these paths reads nothing.
    for (size_t i = 0; i < job_->paths.size(); ++i)
        if (job_->done[i]) known_.emplace(job_->paths[i], job_->results[i]);
    job_.reset();
}

void LocalDigests::cancel() {
    cancelled_ = true;
    if (job_) job_->stop = true;
    endHashing();
}

std::string LocalDigests::fileHolding(const std::string& md5) {
    if (!holdersMade_) {
        holdersMade_ = true;
        // Any file as it was recorded will do, vouched for or not: the copy checks its bytes. The
        // first path in byte order, whatever order the maps keep.
        for (const auto& [path, entry] : record_.loaded()) {
            PlatformFileStamp stamp;
            if (!platformStampFile(path, stamp) || !record_.recorded(path, stamp)) continue;
            const auto placed = holders_.emplace(entry.md5, path);
            if (!placed.second && path < placed.first->second) placed.first->second = path;
        }
        // What this run read itself comes first (the last path in byte order).
        std::map<std::string, std::string> read;
        record_.forEachUnchanged([&](const std::string& path, const std::string& md5) {
            std::string& holder = read[md5];
            if (holder < path) holder = path;
        });
        for (const auto& [path, file] : known_) {
            if (file.md5.empty()) continue;
            std::string& holder = read[file.md5];
            if (holder < path) holder = path;
        }
        for (const auto& [md5, path] : read) holders_[md5] = path;
    }
    const auto found = holders_.find(md5);
    return found == holders_.end() ? std::string() : found->second;
}

std::vector<std::string> LocalDigests::droppedFiles(const std::vector<std::string>& listed) {
    std::set<std::string> kept;
    for (const std::string& path : listed) kept.insert(foldCaseAsWindows(path));
    std::vector<std::string> dropped;
    for (const auto& [path, entry] : record_.loaded()) {
        if (kept.count(foldCaseAsWindows(path)) || !reservedNameProblem(path).empty()) continue;
        PlatformFileStamp stamp;
        // Only a file as it was installed: what the player changed, or made, stays. A file whose
        // stamp could not vouch for it is read first (files installed moments before their
        // record was written).
        const VerifiedFiles::Entry* recorded = platformStampFile(path, stamp) ? record_.recorded(path, stamp) : nullptr;
        if (recorded && (recorded->vouched || md5OfFile(path) == recorded->md5)) dropped.push_back(path);
    }
    std::sort(dropped.begin(), dropped.end());
    return dropped;
}

void LocalDigests::noteVerified(const std::string& path, const std::string& md5, const FileVouch& vouch) {
    loadRecordOnce();
    record_.note(path, vouch, md5);
}

void LocalDigests::save() {
    endHashing();
    loadRecordOnce();
    record_.save(recordPath_, temporaryPath_);
}
