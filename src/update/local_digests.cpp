// Local digests for the comparison: trusted from the record, or hashed on the worker pool.
#include "update/local_digests.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "update/own_files.h"
#include "util/case_fold.h"
#include "util/md5.h"
#include "util/strings.h"
#include "util/path_index.h"
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
// A job of a million files holds each path once, in one block, and each result in a slot of
// fixed size.
struct LocalDigests::Job {
    PathList paths;
    PathIndex indexOf;
    std::mutex lock;
    std::condition_variable changed;
    // What one task found; the digest's bytes, and whether it has one.
    struct Result {
        FileVouch vouch;
        uint8_t md5[16];
        bool read = false;
    };
    // Results in blocks, each let go of once the comparison has taken every result in it: the
    // comparison takes them in the order the tasks hash, so few blocks are held at a time.
    static constexpr size_t kBlock = 4096;
    struct Block {
        Result results[kBlock];
        size_t taken = 0;
    };
    std::vector<std::unique_ptr<Block>> blocks;
    // Result i belongs to the task hashing paths[i] until done[i] is set under `lock`.
    enum : char { kHashing, kDone, kTaken };
    std::vector<char> done;

    void handIn(size_t i, const Result& result) {
        std::unique_ptr<Block>& block = blocks[i / kBlock];
        if (!block) block.reset(new Block);
        block->results[i % kBlock] = result;
        done[i] = kDone;
    }
    // Under `lock`, once done[i] is kDone.
    Result take(size_t i) {
        std::unique_ptr<Block>& block = blocks[i / kBlock];
        const Result result = block->results[i % kBlock];
        done[i] = kTaken;
        if (++block->taken == std::min(kBlock, paths.size() - i / kBlock * kBlock)) block.reset();
        return result;
    }
    std::atomic<size_t> next{0};
    // Raised to make every task leave its file at once.
    std::atomic<bool> stop{false};
    // Tasks started and not yet returned; guarded by `lock`.
    int running = 0;

    void run() {
        for (size_t i = next++; i < paths.size(); i = next++) {
            const LocalFile file = hashFile(std::string(paths[i]), &stop);
            Result result;
            result.vouch = file.vouch;
            result.read = md5FromText(file.md5.data(), file.md5.size(), result.md5);
            std::lock_guard<std::mutex> hold(lock);
            handIn(i, result);
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

// No plain file stands at the path.
constexpr uint32_t kNotThere = VerifiedFiles::kNone - 1;

// Stamps `paths` from `from` to `to` and looks each up in the record: the entry that vouches for
// it unchanged, VerifiedFiles::kNone for a file to hash, or kNotThere. Files of one folder
// follow each other in a manifest: each folder is walked to once.
void stampRange(const std::vector<std::string_view>& paths, size_t from, size_t to, const VerifiedFiles& record,
                std::vector<uint32_t>& found) {
    PlatformFolderWalk walk;
    std::string path;
    VerifiedFiles::Handle previous = VerifiedFiles::kNone;
    for (size_t i = from; i < to; ++i) {
        path.assign(paths[i].data(), paths[i].size());
        PlatformFileStamp stamp;
        found[i] = walk.stamp(path, stamp) ? record.unchangedEntry(path, stamp, previous + 1) : kNotThere;
        if (found[i] < kNotThere) previous = found[i];
    }
}

// stampRange over every path, in slices of the list stamped on every processor at once: a
// second start over many small files costs its stats, and those wait on the system, not on
// each other. The record is only read meanwhile.
std::vector<uint32_t> stampAll(const std::vector<std::string_view>& paths, const VerifiedFiles& record) {
    constexpr size_t kPerSlice = 512;
    std::vector<uint32_t> found(paths.size(), kNotThere);
    const size_t slices = std::min<size_t>(size_t(std::min(kMaxHashTasks, platformProcessorCount())),
                                           (paths.size() + kPerSlice - 1) / kPerSlice);
    std::mutex lock;
    std::condition_variable ended;
    size_t running = 0;
    const size_t each = slices == 0 ? 0 : (paths.size() + slices - 1) / slices;
    for (size_t slice = 1; slice < slices; ++slice) {
        const size_t from = slice * each, to = std::min(paths.size(), from + each);
        {
            std::lock_guard<std::mutex> hold(lock);
            ++running;
        }
        const bool started = WorkerPool::shared().tryRun([&, from, to] {
            stampRange(paths, from, to, record, found);
            std::lock_guard<std::mutex> hold(lock);
            --running;
            ended.notify_all();
        });
        if (started) continue;
        {
            std::lock_guard<std::mutex> hold(lock);
            --running;
        }
        stampRange(paths, from, to, record, found);
    }
    stampRange(paths, 0, slices <= 1 ? paths.size() : each, record, found);
    std::unique_lock<std::mutex> hold(lock);
    ended.wait(hold, [&] { return running == 0; });
    return found;
}

}  // namespace

struct LocalDigests::Ahead {
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;
};

LocalDigests::LocalDigests(std::string recordPath, std::string temporaryPath)
    : recordPath_(std::move(recordPath)), temporaryPath_(std::move(temporaryPath)) {}

LocalDigests::~LocalDigests() {
    if (job_) job_->stop = true;
    endHashing();
    // The task reads into record_.
    awaitRecordAhead();
}

void LocalDigests::loadRecordOnce() {
    if (awaitRecordAhead() || recordLoaded_) return;
    recordLoaded_ = true;
    record_.load(recordPath_);
}

void LocalDigests::loadRecordAhead(size_t entries, size_t pathBytes) {
    awaitRecordAhead();
    std::shared_ptr<Ahead> ahead(new Ahead);
    const bool started = WorkerPool::shared().tryRun([this, ahead, entries, pathBytes] {
        record_.load(recordPath_, entries, pathBytes);
        std::lock_guard<std::mutex> hold(ahead->lock);
        ahead->done = true;
        ahead->ended.notify_all();
    });
    if (started) ahead_ = std::move(ahead);
}

bool LocalDigests::awaitRecordAhead() {
    if (!ahead_) return false;
    {
        std::unique_lock<std::mutex> hold(ahead_->lock);
        ahead_->ended.wait(hold, [&] { return ahead_->done; });
    }
    ahead_.reset();
    recordLoaded_ = true;
    return true;
}

void LocalDigests::prepare(const std::vector<std::string_view>& paths) {
    // Each comparison starts the view afresh (tests compare in one folder after another).
    endHashing();
    // Room for every file the run may note beside what the record holds: a million entries are
    // not moved while they are added.
    size_t pathBytes = 0;
    for (const std::string_view path : paths) pathBytes += path.size();
    if (!awaitRecordAhead()) record_.load(recordPath_, paths.size(), pathBytes);
    recordLoaded_ = true;
    holders_.clear();
    holdersMade_ = false;
    cancelled_ = false;
    std::shared_ptr<Job> job(new Job);
    unchanged_.clear();
    cursor_ = 0;
    const std::vector<uint32_t> found = stampAll(paths, record_);
    // Room for every path (what a second start leaves unused is never touched).
    job->paths.reserve(paths.size(), pathBytes);
    for (size_t i = 0; i < paths.size(); ++i) {
        const std::string_view name = paths[i];
        if (found[i] == kNotThere) continue;
        // An unchanged file stays in the record alone: nothing is copied for it.
        if (found[i] != VerifiedFiles::kNone) {
            record_.markUnchanged(found[i]);
            unchanged_.push_back(found[i]);
            continue;
        }
        // A name listed twice is hashed once.
        if (job->paths.bytes() + name.size() > UINT32_MAX) break;
        job->paths.push_back(name);
        if (job->indexOf.insert(uint32_t(job->paths.size() - 1), [&](uint32_t at) { return job->paths[at]; }) !=
            PathIndex::kNone)
            job->paths.pop_back();
    }
    job->blocks.resize((job->paths.size() + Job::kBlock - 1) / Job::kBlock);
    job->done.assign(job->paths.size(), Job::kHashing);
    const int tasks = std::min(kMaxHashTasks, std::max(kMinHashTasks, platformProcessorCount()));
    // Without a single task, each file is hashed when it is asked for.
    if (startHashing(job, tasks) > 0) job_ = std::move(job);
}

bool LocalDigests::takeHashed(const std::string& path, LocalFile& out, bool wait, bool& held) {
    held = false;
    if (!job_) return false;
    const uint32_t at = job_->indexOf.find(path, [&](uint32_t i) { return job_->paths[i]; });
    if (at == PathIndex::kNone) return false;
    held = true;
    std::unique_lock<std::mutex> hold(job_->lock);
    if (wait) job_->changed.wait(hold, [&] { return job_->done[at] != Job::kHashing || job_->running == 0; });
    if (job_->done[at] != Job::kDone) {
        // Every task has returned without it (the hashing ended early), or it was taken
        // before and found unreadable: it is read here.
        if (job_->done[at] == Job::kHashing && job_->running > 0) return false;
        hold.unlock();
        out = hashFile(path);
        return true;
    }
    const Job::Result result = job_->take(at);
    out.vouch = result.vouch;
    out.md5 = result.read ? md5ToText(result.md5) : std::string();
    return true;
}

std::string LocalDigests::use(const std::string& path, const LocalFile& file) {
    record_.note(path, file.vouch, file.md5);
    return file.md5;
}

bool LocalDigests::tryDigest(const std::string& path, std::string& md5) {
    md5.clear();
    if (cancelled_) return true;
    loadRecordOnce();
    VerifiedFiles::Handle entry = VerifiedFiles::kNone;
    if (cursor_ < unchanged_.size() && record_.pathOf(unchanged_[cursor_]) == path) entry = unchanged_[cursor_++];
    if (record_.takeUnchanged(path, md5, entry)) return true;
    // Read already by this run (a path listed twice): the record holds what was found.
    if (record_.notedDigest(path, md5)) return true;
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
    // What the comparison took is in the record; the rest is read again if it is asked for.
    job_.reset();
}

void LocalDigests::cancel() {
    cancelled_ = true;
    if (job_) job_->stop = true;
    endHashing();
}

std::string LocalDigests::fileHolding(const std::string& md5) {
    uint8_t wanted[16];
    if (!md5FromText(md5.data(), md5.size(), wanted)) return std::string();
    if (!holdersMade_) {
        holdersMade_ = true;
        // Every entry by its digest (twenty bytes each); a file is looked at only when its
        // digest is asked for.
        holders_.resize(record_.size());
        for (VerifiedFiles::Handle entry = 0; entry < holders_.size(); ++entry) {
            std::memcpy(holders_[entry].md5, record_.digestOf(entry), sizeof holders_[entry].md5);
            holders_[entry].entry = entry;
        }
        std::sort(holders_.begin(), holders_.end(), [&](const Holder& a, const Holder& b) {
            const int order = std::memcmp(a.md5, b.md5, sizeof a.md5);
            return order != 0 ? order < 0 : record_.pathOf(a.entry) < record_.pathOf(b.entry);
        });
    }
    auto first = std::lower_bound(holders_.begin(), holders_.end(), wanted,
                                  [](const Holder& a, const uint8_t* b) { return std::memcmp(a.md5, b, 16) < 0; });
    auto last = first;
    while (last != holders_.end() && std::memcmp(last->md5, wanted, 16) == 0) ++last;
    // What this run read itself comes first (the last path in byte order); then any file as it
    // was recorded, vouched for or not, the first in byte order: the copy checks its bytes.
    for (auto at = last; at != first;) {
        --at;
        if (record_.wasNoted(at->entry)) return std::string(record_.pathOf(at->entry));
    }
    for (auto at = first; at != last; ++at) {
        const std::string path(record_.pathOf(at->entry));
        PlatformFileStamp stamp;
        VerifiedFiles::Found found;
        if (platformStampFile(path, stamp) && record_.recorded(path, stamp, found)) return path;
    }
    return std::string();
}

std::vector<std::string> LocalDigests::droppedFiles(const ForEachListed& forEachListed) {
    // A mark for each entry of the record a line names as it stands: no copy of any name.
    std::vector<char> listed(record_.size(), 0);
    forEachListed([&](std::string_view path) {
        const VerifiedFiles::Handle entry = record_.entryOf(path);
        if (entry != VerifiedFiles::kNone) listed[entry] = 1;
    });
    // Recorded files no line names as it stands: few, if any. Only those are compared with the
    // listed names without letter case.
    std::map<std::string, std::vector<std::string>> unlisted;
    for (VerifiedFiles::Handle entry = 0; entry < listed.size(); ++entry) {
        if (!record_.wasLoaded(entry) || listed[entry]) continue;
        const std::string path(record_.pathOf(entry));
        if (reservedNameProblem(path).empty()) unlisted[foldCaseAsWindows(path)].push_back(path);
    }
    if (!unlisted.empty())
        forEachListed([&](std::string_view path) {
            if (!unlisted.empty()) unlisted.erase(foldCaseAsWindows(std::string(path)));
        });
    std::vector<std::string> dropped;
    for (const auto& [folded, paths] : unlisted)
        for (const std::string& path : paths) {
            PlatformFileStamp stamp;
            VerifiedFiles::Found recorded;
            // Only a file as it was installed: what the player changed, or made, stays. A file
            // whose stamp could not vouch for it is read first (files installed moments before
            // their record was written).
            if (platformStampFile(path, stamp) && record_.recorded(path, stamp, recorded) &&
                (recorded.vouched || md5OfFile(path) == recorded.md5))
                dropped.push_back(path);
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
