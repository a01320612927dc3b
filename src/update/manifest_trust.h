// Whether a manifest must be signed, and the check of a fetched manifest against its signature,
// the game's public key and the newest release accepted before. Main thread only; never shows
// anything (the caller logs the reason and ends the run).
#pragma once

#include <cstdint>
#include <string>

#include "update/manifest.h"

// A game that ships this minisign public key accepts only manifests signed by it.
extern const char* const kPublicKeyPath;
// A signature file is four short lines; anything longer is not one.
constexpr int64_t kSignatureMaxBytes = 4096;
// A signed manifest is read whole into memory to be checked: an endless body must not fill the
// memory or the disk. The same limit as the reader's.
constexpr int64_t kSignedManifestMaxBytes = int64_t(kMaxManifestBytes);

// False only when nothing at all stands at kPublicKeyPath. Whatever stands there (a file that
// cannot be read or parsed, a folder, a link) makes the run signed, and its check then fails:
// a key that misbehaves refuses the run, it never turns signing off.
bool signatureRequired();
// The signature's address: ".minisig" appended to the manifest's path, before any query, so
// that "http://h/game/manifest.txt?ver=0.3.0" gives "http://h/game/manifest.txt.minisig?ver=0.3.0".
std::string signatureUrlFor(const std::string& manifestUrl);
// The name a signature's trusted comment must give in "file:" for the file fetched from `url`:
// the last segment of its path, before any query, as the updater asked for it.
std::string requestedFileName(const std::string& url);

struct TrustCheck {
    bool accepted = false;
    // One log line without its line feed: what was accepted, or exactly why not.
    std::string logLine;
    // The signed timestamp, once it is known.
    int64_t timestamp = 0;
};

// The whole decision over texts already read: the signature file must parse, name the key, and
// hold over `manifest` and its trusted comment; the comment must carry "file:" naming
// `fileName` (as requestedFileName gives it; the name as a server maps it to that path also
// counts), so that a file signed under another name (another channel's manifest) is refused,
// and "timestamp:" not below `installedTimestamp` (0: none yet); any "expires:" must not lie
// before `now` (Unix seconds). A timestamp in the future is accepted: players' clocks are often
// wrong, and the stored timestamp, not the clock, guards against rollback. The log line starts
// with `subject`, the signed file's name in the log.
TrustCheck checkManifestTrust(const std::string& manifest, const std::string& signatureText,
                              const std::string& publicKeyText, int64_t installedTimestamp, int64_t now,
                              const std::string& fileName, const std::string& subject = "Manifest");

// A downloaded file and its downloaded signature, to be checked as checkManifestTrust does.
struct FetchedCopy {
    const char* path;
    const char* signaturePath;
    // What the trusted comment's "file:" must give (requestedFileName of its address).
    std::string fileName;
    // The file's name at the start of the log line.
    std::string subject;
    // An accepted newer timestamp becomes the trust state (the manifest's does).
    bool recordTimestamp;
};
// The check of a fetched copy and its fetched signature (which it deletes) against the folder's
// key and trust state: a key that is not a regular file, or cannot be read, and a trust state
// that stands there but cannot be read, are refusals. When accepted and asked to, a newer
// timestamp is recorded first (atomically); when refused, nothing is written.
TrustCheck verifyFetchedCopy(const FetchedCopy& copy);
// verifyFetchedCopy of "manifest.txt" fetched from `manifestUrl`, recording its timestamp.
TrustCheck verifyFetchedManifest(const std::string& manifestUrl);

// The newest accepted timestamp from kTrustStatePath: 0 when nothing stands there; false when
// something does but does not hold one (a folder, a link, a file that cannot be read), since
// taking it for "none yet" would let an older release back in.
bool readTrustedTimestamp(int64_t& timestamp);
// Replaces kTrustStatePath through a temporary file and a rename, so that a crash leaves either
// the old or the new state. False when it could not be written.
bool recordTrustedTimestamp(int64_t timestamp);
