// The first step of the run: the requests that fetch the manifest (and, when the game ships a
// public key, its signature and the presence digests), and reading the fetched copy for the
// comparison. The run sends
// them and acts on their answers (update_run.h). One thread (the run's).
#pragma once

#include <string>

#include "net/download_manager.h"

// Fetches `manifestUrl` into "manifest.txt": always anew, past every cache (a republished
// release keeps its address), replacing the old copy only once complete, and never more than
// the reader takes (kMaxManifestBytes, counted as written).
DownloadRequest manifestRequest(const std::string& manifestUrl);
// Fetches the signature of `manifestUrl` into its own copy, at most kSignatureMaxBytes.
DownloadRequest signatureRequest(const std::string& manifestUrl);
// Fetch the presence digests beside `manifestUrl` (presence_digests.h) into their own copy, at
// most kPresenceDigestsMaxBytes, and their signature into its own, at most kSignatureMaxBytes.
DownloadRequest presenceDigestsRequest(const std::string& manifestUrl);
DownloadRequest presenceSignatureRequest(const std::string& manifestUrl);

// Reads "manifest.txt" for the comparison into `manifest`; a missing copy reads as empty.
// False, after a log line saying why, when it is larger than kMaxManifestBytes or more than
// the memory holds.
bool readManifestCopy(std::string& manifest);
