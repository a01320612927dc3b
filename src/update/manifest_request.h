// The first step of the run: fetch the manifest (and, when the game ships a public key, its
// signature, checked before any line is acted upon), then hand it to the comparison.
// Everything here runs on the main thread.
#pragma once

struct DownloadRequest;

// Sets the phase to ManifestRequested, removes an old "manifest.txt" and queues ManifestUrl
// into it (at most kSignedManifestMaxBytes when a signature is required). An old copy that
// cannot be removed ends the run ("Could not get manifest").
void requestManifest();
// Success callback of the manifest request (inside deliverFinished, finishedLock held). Parses
// the manifest, or first queues its signature when one is required; a signature that is
// missing or does not verify ends the run with "Could not verify manifest".
void onManifestDownloaded(DownloadRequest* request);
// Failure callback of the manifest request; ends the run with "Could not get manifest".
void onManifestFailed(DownloadRequest* request);
