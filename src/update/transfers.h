// File transfers of the update run: queueing each stale file, and finishing it on arrival
// (counting it, decompressing a ".gz" on the worker that fetched it). Main thread only, except
// unpackArrived and gunzipFile.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "net/download_manager.h"

// Forgets which files were fetched once more, as at the start of a run.
void resetTransfers();

// Counts the file in FilesToFetch (even when queueing fails) and queues it with the download
// manager, which creates its directories and replaces the local copy only with a download
// that has `expectedMd5` (empty: no check). A ".gz" is unpacked by the worker (unpackArrived),
// whose result must have `unpackedMd5` when that is not empty; one that an interrupted run
// left complete is used without a transfer. A large stale file may be rebuilt from its own
// blocks (delta update). When the manager refuses, logs "Queue Failed" and ends the run with
// the fatal "Could not queue " + localPath; does not return then.
void queueFile(const std::string& url, const std::string& localPath, const std::string& expectedMd5,
               const std::string& unpackedMd5);

// Logs nothing of its own and ends the run with the fatal "Could not download " + localPath:
// something other than a regular file stands where the file would go. Does not return.
void refuseFile(const std::string& localPath);

// Logs what the worker met on the way (redirects, resumes, retries), then, for a failed request,
// why it failed: one line each, `prefix` in front. Callbacks call it before their own lines.
void logTransferNotes(const DownloadRequest& request, const std::string& prefix);

// Success callback of every file request, called by deliverFinished with finishedLock held.
// Counts the file in FilesFetched, finishes it, and sets the phase to Updated at the last one.
// The request stays the manager's.
void onFileDownloaded(DownloadRequest* request);
// Failure callback of every file request (also for requests undelivered when the manager
// stops). A file that failed its digest is queued once more, fresh (past every cache, from the
// first byte; the player's file is still replaced only once that download is verified): a cache
// may hold an old release, or the file may have changed on the server between a cut and its
// resume. Otherwise, and the second time, logs the status as the reason
// and ends the run with "Could not download " + path.
void onFileFailed(DownloadRequest* request);

// Any thread: unpacks the verified ".gz" at `localPath` into its name without the suffix plus
// ".unpacking", bounded by unpackLimit and hashed while written, checks the result against
// `unpackedMd5` (when not empty), renames it over the name without the suffix and deletes the
// ".gz". Any failure removes what was unpacked and leaves the old file as it was, and the
// ".gz" too unless it is `unverified` (nothing would vouch for it next time); the outcome then
// holds why, and the failure "Could not decompress " + localPath. Gives up as soon as `stop` is
// raised, as a kill would. Touches nothing but these files; logs nothing itself.
FinishOutcome unpackArrived(const std::string& localPath, const std::string& unpackedMd5, bool unverified,
                            const std::atomic<bool>* stop = nullptr);

// Main thread: logs how the arrived file at `localPath` was finished: "not compressed" for a name
// without ".gz", else the lines its worker left in `unpacked`. Notes a verified result for the
// record; a failed one ends the run with its fatal error and does not return. Always true.
bool finishFile(const std::string& localPath, const FinishOutcome& unpacked);

// The most a ".gz" may unpack to: 256 times its size, and at least 64 MiB.
int64_t unpackLimit(const std::string& gzPath);

// Decompresses `gzPath` into `outPath` (a new file replacing any there, no link followed)
// through fixed buffers, never holding the whole file: every gzip member in turn (bytes after
// the last one that are no gzip magic are ignored, as gzip does). A file that is not in gzip
// form is copied unchanged. False when `gzPath` cannot be opened (then `outPath` is left
// untouched), when `outPath` cannot be created or written in full, when the output would pass
// `maxBytes` (0 or less: no bound; `tooLarge` then set when given), or when the compressed data
// is damaged or ends early, wherever it is cut; `outPath` is removed on every failure after it
// was created, also when `stop` is raised meanwhile. `unpackedMd5`, when given, receives the
// digest of what was written, computed while writing, when the result is true.
bool gunzipFile(const std::string& gzPath, const std::string& outPath, int64_t maxBytes = 0,
                bool* tooLarge = nullptr, std::string* unpackedMd5 = nullptr,
                const std::atomic<bool>* stop = nullptr);
