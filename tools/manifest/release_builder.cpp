// The publishing run of kib-manifest.
#include "manifest/release_builder.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "manifest/file_packer.h"
#include "manifest/manifest_text.h"
#include "manifest/path_rules.h"
#include "manifest/release_scan.h"
#include "manifest/signed_files.h"
#include "platform/platform.h"
#include "update/block_map.h"
#include "util/file_system.h"

namespace {

// Paths listed one per line in an error are capped, so a wrong folder does not flood the screen.
constexpr int kMaxListedProblems = 20;

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// True when `inner` is `outer` or lies inside it (both absolute and resolved).
bool isWithin(const std::string& inner, const std::string& outer) {
    if (inner == outer) return true;
    const std::string prefix = outer == "/" ? outer : outer + "/";
    return inner.compare(0, prefix.size(), prefix) == 0;
}

bool writeTextFile(const std::string& path, const std::string& text, std::string& error) {
    const std::string temporary = path + ".kib-tmp";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file) {
        error = "cannot create " + temporary + ": " + std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed || std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

std::string megabytes(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", double(bytes) / 1e6);
    return text;
}

struct Job {
    PackRequest request;
    // Index of the entry this job fills.
    size_t entry;
    uint64_t size;
};

// Runs the jobs on `threads` threads, largest first so that no thread is left with one big
// file at the end. Reports progress while waiting. False when a job failed; the remaining
// jobs are then skipped.
bool runJobs(std::vector<Job>& jobs, int threads, std::vector<PackResult>& results,
             uint64_t totalBytes, std::FILE* progress, std::string& error) {
    std::sort(jobs.begin(), jobs.end(), [](const Job& a, const Job& b) { return a.size > b.size; });
    std::atomic<size_t> next{0};
    std::atomic<size_t> finished{0};
    std::atomic<uint64_t> bytesDone{0};
    std::atomic<bool> failed{false};
    std::mutex lock;
    std::condition_variable allDone;
    int running = threads;

    auto work = [&] {
        for (;;) {
            const size_t index = next++;
            if (index >= jobs.size() || failed) break;
            PackResult& result = results[jobs[index].entry];
            if (!packFile(jobs[index].request, result, &bytesDone)) {
                std::lock_guard<std::mutex> guard(lock);
                if (!failed.exchange(true)) error = result.error;
            }
            ++finished;
        }
        std::lock_guard<std::mutex> guard(lock);
        if (--running == 0) allDone.notify_all();
    };
    std::vector<std::thread> workers;
    for (int i = 0; i < threads; ++i) workers.emplace_back(work);

    const bool terminal = platformIsTerminal(progress);
    const auto start = std::chrono::steady_clock::now();
    auto lastReport = start;
    bool reported = false;
    {
        std::unique_lock<std::mutex> guard(lock);
        while (running > 0) {
            allDone.wait_for(guard, std::chrono::milliseconds(250));
            const auto now = std::chrono::steady_clock::now();
            const double elapsed = std::chrono::duration<double>(now - start).count();
            const double sinceReport = std::chrono::duration<double>(now - lastReport).count();
            if (!progress || running == 0 || elapsed < 1.0 || sinceReport < (terminal ? 0.5 : 5.0)) continue;
            lastReport = now;
            reported = true;
            const uint64_t done = bytesDone;
            std::fprintf(progress, "%s%zu of %zu files, %s of %s (%.0f MB/s)%s", terminal ? "\r" : "",
                         size_t(finished), jobs.size(), megabytes(done).c_str(), megabytes(totalBytes).c_str(),
                         double(done) / 1e6 / elapsed, terminal ? "   " : "\n");
            std::fflush(progress);
        }
    }
    for (std::thread& worker : workers) worker.join();
    if (reported && terminal) {
        std::fprintf(progress, "\n");
        std::fflush(progress);
    }
    return !failed;
}

}  // namespace

bool publishRelease(const ManifestOptions& options, PublishSummary& summary, std::string& error,
                    std::FILE* progress) {
    summary = PublishSummary();
    std::string baseAddress = options.baseAddress;
    if (!normaliseBaseAddress(baseAddress, error)) return false;

    const std::string release = platformResolvedPath(options.releaseFolder);
    PlatformPathInfo info;
    if (release.empty() || !platformPathInfo(release, info) || info.kind != PlatformPathInfo::Kind::Folder) {
        error = "the release folder " + options.releaseFolder + " does not exist or is not a folder";
        return false;
    }
    const bool inPlace = options.outputFolder.empty();
    std::string output = release;
    if (!inPlace) {
        makeDirectories(options.outputFolder);
        output = platformResolvedPath(options.outputFolder);
        if (output.empty()) {
            error = "cannot create the output folder " + options.outputFolder;
            return false;
        }
        if (isWithin(output, release)) {
            error = "the output folder must lie outside the release folder (or leave out --output to "
                    "write the compressed copies beside the files)";
            return false;
        }
    }

    std::vector<ReleaseFile> files;
    if (!scanRelease(release, options.excludePatterns, files, error)) return false;

    // Working in place, the tool's own products of an earlier run are in the folder: the
    // manifest and the signed files beside it, temporary files of an interrupted run, and
    // "X.gz" beside "X".
    std::set<std::string> ownNames = {options.manifestName};
    for (const std::string& name : signedFileNames(options.manifestName)) ownNames.insert(name);
    std::set<std::string> names;
    for (const ReleaseFile& file : files) names.insert(file.path);
    std::vector<ReleaseFile> published;
    std::string problems;
    int problemCount = 0;
    for (const ReleaseFile& file : files) {
        if (inPlace) {
            if (ownNames.count(file.path) || endsWith(file.path, ".kib-tmp")) continue;
            if (endsWith(file.path, ".gz") && names.count(file.path.substr(0, file.path.size() - 3))) {
                ++summary.skippedCopies;
                continue;
            }
            const size_t mapSuffix = std::strlen(kBlockMapSuffix);
            if (endsWith(file.path, kBlockMapSuffix) &&
                names.count(file.path.substr(0, file.path.size() - mapSuffix)))
                continue;
        } else if (ownNames.count(file.path)) {
            problems += file.path + ": the manifest and the signed files beside it are written under this name; choose another with --manifest-name\n";
            ++problemCount;
            continue;
        }
        const std::string problem = manifestPathProblem(file.path);
        const bool presence = matchesAnyPattern(options.presencePatterns, file.path);
        std::string reason = problem;
        // Both would end as X in the game's folder, each run replacing the other's bytes.
        if (reason.empty() && endsWith(file.path, ".gz") && names.count(file.path.substr(0, file.path.size() - 3)))
            reason = "the updater unpacks it into " + file.path.substr(0, file.path.size() - 3) +
                     ", which the release also holds; rename or --exclude one of the two";
        if (reason.empty() && presence && endsWith(file.path, ".gz"))
            reason = "a presence-only file cannot end in .gz (the updater unpacks every downloaded .gz file)";
        if (!reason.empty()) {
            if (++problemCount <= kMaxListedProblems) problems += file.path + ": " + reason + "\n";
            continue;
        }
        published.push_back(file);
    }
    std::map<std::string, std::string> byFoldedCase;
    for (const ReleaseFile& file : published) {
        std::string folded = file.path;
        for (char& c : folded) c = char(std::tolower(static_cast<unsigned char>(c)));
        const auto [same, isNew] = byFoldedCase.emplace(folded, file.path);
        std::string warning = manifestPathWarning(file.path);
        if (warning.empty() && !isNew) warning = caseClashWarning(file.path, same->second);
        if (!warning.empty()) summary.warnings.push_back(file.path + ": " + warning);
    }
    if (problemCount > 0) {
        if (problemCount > kMaxListedProblems)
            problems += "... and " + std::to_string(problemCount - kMaxListedProblems) + " more\n";
        error = problems + "Rename or --exclude these files: the updater could not fetch them.";
        return false;
    }

    std::vector<PublishedEntry> entries(published.size());
    std::vector<PackResult> results(published.size());
    std::vector<Job> jobs;
    std::vector<bool> mapped(published.size(), false);
    uint64_t totalBytes = 0;
    for (size_t i = 0; i < published.size(); ++i) {
        const ReleaseFile& file = published[i];
        entries[i].path = file.path;
        summary.releaseBytes += file.size;
        const bool presence = matchesAnyPattern(options.presencePatterns, file.path);
        entries[i].kind = presence ? EntryKind::Presence : EntryKind::Digest;

        Job job;
        job.entry = i;
        job.size = file.size;
        job.request.sourcePath = release + "/" + file.path;
        const std::string target = output + "/" + file.path;
        if (!inPlace) {
            job.request.copyPath = target;
            makeDirectories(directoryOf(target));
        }
        // The updater unpacks every ".gz" file it downloads, so such a file can only travel
        // compressed once more.
        job.request.alwaysKeepCompressed = endsWith(file.path, ".gz");
        const bool worthTrying = options.compress && file.size > 0 && file.size >= options.compressMinSize;
        if (!presence && (job.request.alwaysKeepCompressed || worthTrying)) job.request.gzPath = target + ".gz";
        // A large file gets a block map and is served plain as well: a compressed copy changes
        // throughout when a little of the file does, so it defeats reusing blocks. A map left
        // from an earlier run of a file now too small would describe other bytes.
        const std::string mapPath = target + kBlockMapSuffix;
        if (!presence && options.delta && file.size >= options.deltaMinSize) {
            job.request.blockMapPath = mapPath;
            job.request.keepPlainCopy = true;
            mapped[i] = true;
            ++summary.blockMaps;
        } else {
            platformRemoveFile(mapPath);
        }
        job.request.minSavingPercent = options.minSavingPercent;
        job.request.level = options.compressionLevel;
        totalBytes += file.size;
        jobs.push_back(job);
    }

    int threads = options.jobs > 0 ? options.jobs : int(std::max(1u, std::thread::hardware_concurrency()));
    threads = int(std::min<size_t>(size_t(threads), std::max<size_t>(1, jobs.size())));
    if (!runJobs(jobs, threads, results, totalBytes, options.quiet ? nullptr : progress, error)) return false;

    for (size_t i = 0; i < entries.size(); ++i) {
        PublishedEntry& entry = entries[i];
        const PackResult& result = results[i];
        ++summary.files;
        if (entry.kind == EntryKind::Presence) {
            // Digested all the same: a signed manifest's first copies are checked against it.
            summary.presenceDigests.emplace_back(entry.path, result.md5);
            ++summary.presenceFiles;
            summary.serverBytes += published[i].size;
            continue;
        }
        entry.md5 = result.md5;
        if (result.compressed) {
            entry.kind = EntryKind::Compressed;
            entry.gzMd5 = result.gzMd5;
            ++summary.compressedFiles;
            summary.serverBytes += result.gzSize;
            if (mapped[i]) summary.serverBytes += result.size;
        } else {
            summary.serverBytes += result.size;
        }
    }

    summary.manifestPath = output + "/" + options.manifestName;
    summary.manifestAddress = baseAddress + options.manifestName;
    return writeTextFile(summary.manifestPath, manifestText(baseAddress, entries), error);
}
