// The signed files kib-manifest writes beside a manifest: the manifest's signature and, for a
// manifest with presence-only lines, the digests of those files' first copies with a
// signature of their own, so that a player's updater installs nothing unsigned.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "manifest/signing.h"

// What every signature of one run carries in its trusted comment.
struct SigningTerms {
    // Unix seconds; never ahead of the clock unless the publisher asked for it.
    int64_t timestamp = 0;
    // Unix seconds, or 0 for no expiry.
    int64_t expiresAt = 0;
};

// Signs the manifest at `manifestPath` (named `manifestName` on the server) into
// "<manifest>.minisig". With `presenceDigests` ((path, md5) of every presence-only file) it
// also writes the list beside it (kPresenceDigestsSuffix) and signs it the same way; without,
// a list an earlier run left there is removed. Prints a line per file written. False, after a
// message on standard error, when a file cannot be read, signed or written.
bool writeSignedFiles(const std::string& manifestPath, const std::string& manifestName,
                      const std::vector<std::pair<std::string, std::string>>& presenceDigests, const SecretKey& key,
                      const SigningTerms& terms);

// Removes what an earlier signed run left beside `manifestPath` (its signature, the presence
// digests and their signature): they vouch for a manifest that is gone. Prints a line for the
// signature removed. False, after a message on standard error, when one cannot be removed.
bool removeSignedFiles(const std::string& manifestPath);

// The names beside a manifest named `manifestName` that kib-manifest writes itself: its
// signature, the presence digests and their signature.
std::vector<std::string> signedFileNames(const std::string& manifestName);
