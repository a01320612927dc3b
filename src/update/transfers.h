// File transfers of the update run: queueing each stale file, and finishing it on arrival
// (counting it, decompressing a ".gz"). Main thread only.
#pragma once

#include <string>

struct DownloadRequest;

// Forgets every digest queueFile noted for a ".gz", and which files were fetched once more, as
// at the start of a run.
void resetTransfers();

// Counts the file in FilesToFetch (even when queueing fails) and queues it with the download
// manager, which creates its directories and deletes a local copy whose digest differs from
// `expectedMd5` (empty: no check). `unpackedMd5`, when not empty, is the digest a ".gz" must
// give once unpacked, checked by finishFile. When the manager refuses, logs "Queue Failed" and
// ends the run with the fatal "Could not queue " + localPath; does not return then.
void queueFile(const std::string& url, const std::string& localPath, const std::string& expectedMd5,
               const std::string& unpackedMd5);

// Logs what the worker met on the way (redirects, resumes, retries), then, for a failed request,
// why it failed: one line each, `prefix` in front. Callbacks call it before their own lines.
void logTransferNotes(const DownloadRequest& request, const std::string& prefix);

// Success callback of every file request, called by deliverFinished with finishedLock held.
// Counts the file in FilesFetched, finishes it, and sets the phase to Updated at the last one.
// The request stays the manager's.
void onFileDownloaded(DownloadRequest* request);
// Failure callback of every file request (also for requests undelivered when the manager
// stops). A file that failed its digest is queued once more, fresh (past every cache, from the
// first byte): a cache may hold an old release, or the file may have changed on the server
// between a cut and its resume. Otherwise, and the second time, logs the status as the reason
// and ends the run with "Could not download " + path.
void onFileFailed(DownloadRequest* request);

// Leaves a file whose name does not end in ".gz" as it is; decompresses a ".gz" into the name
// without the suffix and deletes the ".gz". Always true: a failed decompression, or a result
// whose digest is not the one queueFile was given for it, ends the run with the fatal
// "Could not decompress " + localPath (the ".gz" stays) and does not return.
bool finishFile(const std::string& localPath);

// Decompresses `gzPath` into `outPath` through 1024-byte buffers, never holding the whole file:
// every gzip member in turn (bytes after the last one that are no gzip magic are ignored, as
// gzip does). A file that is not in gzip form is copied unchanged. False when `gzPath` cannot
// be opened (then `outPath` is left untouched), when `outPath` cannot be created or written in
// full, or when the compressed data is damaged or ends early, wherever it is cut; `outPath` may
// then hold the data decompressed before the fault, which the next run's digest comparison
// finds stale.
bool gunzipFile(const std::string& gzPath, const std::string& outPath);
