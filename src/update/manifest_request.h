// The first step of the run: fetch the manifest, then hand it to the comparison.
// Everything here runs on the main thread.
#pragma once

struct DownloadRequest;

// Sets the phase to ManifestRequested, removes an old "manifest.txt" and queues ManifestUrl
// into it. An old copy that cannot be removed ends the run ("Could not get manifest").
void requestManifest();
// Success callback of the manifest request (inside deliverFinished, finishedLock held).
void onManifestDownloaded(DownloadRequest* request);
// Failure callback of the manifest request; ends the run with "Could not get manifest".
void onManifestFailed(DownloadRequest* request);
