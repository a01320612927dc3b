// Local digests for the comparison: trusted from the record, or hashed by a small pool.
#include "update/local_digests.h"

#include <SDL.h>
#include <SDL_thread.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <set>

#include "platform/platform.h"
#include "update/manifest_path.h"
#include "update/own_files.h"
#include "update/verified_files.h"
#include "util/md5.h"
#include "util/strings.h"

namespace {

// More threads than this only queue up at the disk.
constexpr int kMaxHashThreads = 8;
constexpr int kMinHashThreads = 2;

// What is known of one local file.
struct LocalFile {
    std::string md5;
    PlatformFileStamp stamp;
    // The file was there and its stamp did not move while it was hashed (or it was trusted).
    bool recordable = false;
};

// How often a waiting comparison lets the window answer.
constexpr Uint32 kWaitHookIntervalMs = 20;

// The run's record and the digests found for it (main thread only).
VerifiedFiles runRecord;
bool recordLoaded = false;
std::map<std::string, LocalFile> preparedFiles;
HashingWaitHook waitHook = nullptr;
// When the hook last ran, and whether it asked to stop the current comparison.
Uint32 lastHookTicks = 0;
bool stoppedByHook = false;

void loadRecordOnce() {
    if (recordLoaded) return;
    recordLoaded = true;
    runRecord.load(kVerifiedFilesPath);
}

// Any thread: hashes `path`, stamped before and after so that a file written meanwhile is
// not recorded with a digest it may no longer have.
LocalFile hashFile(const std::string& path, const std::atomic<bool>* stop = nullptr) {
    LocalFile file;
    PlatformFileStamp before;
    const bool stamped = platformStampFile(path, before);
    file.md5 = md5OfFile(path, stop);
    PlatformFileStamp after;
    file.recordable = stamped && !file.md5.empty() && platformStampFile(path, after) &&
                      after.size == before.size && after.modifiedSeconds == before.modifiedSeconds &&
                      after.modifiedNanoseconds == before.modifiedNanoseconds &&
                      after.changedSeconds == before.changedSeconds &&
                      after.changedNanoseconds == before.changedNanoseconds && after.identity == before.identity;
    file.stamp = before;
    return file;
}

// The files still to hash and the hashing threads. The threads take paths in manifest order and
// hand each result in under `lock`; the main thread waits for the one it needs next, so the
// comparison logs and queues its first files while later ones are still being read.
struct HashJob {
    std::vector<std::string> paths;
    // Slot i belongs to the thread hashing paths[i] until done[i] is set under `lock`.
    std::vector<LocalFile> results;
    std::vector<char> done;
    std::map<std::string, size_t> indexOf;
    std::atomic<size_t> next{0};
    // Raised when the player stops the comparison: every thread leaves its file at once.
    std::atomic<bool> stop{false};
    SDL_mutex* lock = nullptr;
    SDL_cond* handedIn = nullptr;
    std::vector<SDL_Thread*> threads;
};

// The current comparison's job; null when none runs. Created and joined on the main thread.
HashJob* hashJob = nullptr;

int SDLCALL runHasher(void* argument) {
    HashJob& job = *static_cast<HashJob*>(argument);
    for (size_t i = job.next++; i < job.paths.size(); i = job.next++) {
        LocalFile file = hashFile(job.paths[i], &job.stop);
        SDL_mutexP(job.lock);
        job.results[i] = std::move(file);
        job.done[i] = 1;
        SDL_CondBroadcast(job.handedIn);
        SDL_mutexV(job.lock);
    }
    return 0;
}

// Lets the threads finish the file each is reading, takes no new one, and joins them.
void endHashJob() {
    if (!hashJob) return;
    hashJob->next = hashJob->paths.size();
    for (SDL_Thread* thread : hashJob->threads) SDL_WaitThread(thread, nullptr);
    // Joined: what was handed in stays, so a later localDigest of these paths reads nothing.
    for (size_t i = 0; i < hashJob->paths.size(); ++i)
        if (hashJob->done[i]) preparedFiles.emplace(hashJob->paths[i], hashJob->results[i]);
    SDL_DestroyCond(hashJob->handedIn);
    SDL_DestroyMutex(hashJob->lock);
    delete hashJob;
    hashJob = nullptr;
}

// Starts hashing `paths` on `threadCount` threads. Without a single thread, or without a lock,
// this thread hashes them all itself before returning.
void startHashJob(const std::vector<std::string>& paths, int threadCount) {
    hashJob = new HashJob;
    HashJob& job = *hashJob;
    job.paths = paths;
    job.results.assign(paths.size(), LocalFile());
    job.done.assign(paths.size(), 0);
    for (size_t i = 0; i < paths.size(); ++i) job.indexOf.emplace(paths[i], i);
    job.lock = SDL_CreateMutex();
    job.handedIn = SDL_CreateCond();
    if (job.lock && job.handedIn)
        for (int i = 0; i < threadCount && size_t(i) < paths.size(); ++i)
            if (SDL_Thread* thread = SDL_CreateThread(runHasher, &job)) job.threads.push_back(thread);
    if (job.threads.empty()) {
        for (size_t i = 0; i < paths.size(); ++i) job.results[i] = hashFile(paths[i]);
        job.done.assign(paths.size(), 1);
        job.next = paths.size();
    }
}

// The hashed file at `path` once its thread has handed it in; false when the job does not
// hold it.
bool takeHashed(const std::string& path, LocalFile& out) {
    if (!hashJob) return false;
    const auto found = hashJob->indexOf.find(path);
    if (found == hashJob->indexOf.end()) return false;
    HashJob& job = *hashJob;
    if (!job.threads.empty()) {
        SDL_mutexP(job.lock);
        while (!job.done[found->second]) {
            SDL_CondWaitTimeout(job.handedIn, job.lock, kWaitHookIntervalMs);
            if (job.done[found->second] || !waitHook || SDL_GetTicks() - lastHookTicks < kWaitHookIntervalMs)
                continue;
            // Without the lock: the threads go on handing in meanwhile.
            SDL_mutexV(job.lock);
            const bool goOn = waitHook();
            lastHookTicks = SDL_GetTicks();
            SDL_mutexP(job.lock);
            if (!goOn) {
                stoppedByHook = true;
                job.stop = true;
                job.next = job.paths.size();
                SDL_mutexV(job.lock);
                out = LocalFile();
                return true;
            }
        }
        out = job.results[found->second];
        SDL_mutexV(job.lock);
    } else {
        out = job.results[found->second];
    }
    return true;
}

}  // namespace

void prepareLocalDigests(const std::vector<std::string>& paths) {
    // A comparison starts the run's view afresh (tests compare in one folder after another).
    endHashJob();
    runRecord = VerifiedFiles();
    recordLoaded = false;
    loadRecordOnce();
    preparedFiles.clear();
    stoppedByHook = false;
    lastHookTicks = SDL_GetTicks();
    std::vector<std::string> toHash;
    for (const std::string& path : paths) {
        LocalFile file;
        if (!platformStampFile(path, file.stamp)) continue;
        file.md5 = runRecord.trustedDigest(path, file.stamp);
        if (file.md5.empty()) {
            toHash.push_back(path);
            continue;
        }
        file.recordable = true;
        preparedFiles[path] = file;
    }
    startHashJob(toHash, std::min(kMaxHashThreads, std::max(kMinHashThreads, platformProcessorCount())));
}

std::string localDigest(const std::string& path) {
    if (stoppedByHook) return std::string();
    loadRecordOnce();
    auto found = preparedFiles.find(path);
    LocalFile file;
    if (found != preparedFiles.end()) {
        file = found->second;
    } else if (takeHashed(path, file)) {
        if (stoppedByHook) return std::string();
        found = preparedFiles.emplace(path, file).first;
    } else {
        PlatformFileStamp stamp;
        const bool stamped = platformStampFile(path, stamp);
        const std::string trusted = stamped ? runRecord.trustedDigest(path, stamp) : std::string();
        if (!trusted.empty())
            file = LocalFile{trusted, stamp, true};
        else
            file = hashFile(path);
    }
    if (file.recordable) runRecord.note(path, file.stamp, file.md5);
    if (found == preparedFiles.end()) preparedFiles[path] = file;
    return file.md5;
}

void endLocalHashing() { endHashJob(); }

void setHashingWaitHook(HashingWaitHook hook) { waitHook = hook; }

bool localHashingStopped() { return stoppedByHook; }

void noteVerifiedFile(const std::string& path, const std::string& md5) {
    loadRecordOnce();
    PlatformFileStamp stamp;
    if (!md5.empty() && platformStampFile(path, stamp)) runRecord.note(path, stamp, md5);
}

void saveVerifiedFiles() {
    endHashJob();
    loadRecordOnce();
    runRecord.save(kVerifiedFilesPath, kVerifiedFilesTemporaryPath);
}
