// Which release files and base addresses a manifest can name so that the updater reads them
// back exactly: the tool refuses everything else instead of publishing a broken release.
#pragma once

#include <string>

// Why the updater could not fetch a file published under `path` (relative, "/"-separated);
// the empty text when it can. Besides the updater's own refusals (empty, absolute, "\",
// ".." segment) it rejects what the manifest reader or the address would change: whitespace
// and control characters (deleted from manifest lines), ":" and "<" (field separators),
// "?", "#" and "%" (they end or escape the address path), and the two names the updater
// keeps for itself in the game's folder ("manifest.txt" and "logs/updater.log").
std::string manifestPathProblem(const std::string& path);

// Checks the base address the files are fetched from and brings it into the form the
// manifest needs: "http://" or "https://", a host (with an optional port) and a path ending in
// "/" (added when missing). False, with the reason in `problem`, for anything the updater
// cannot fetch (another scheme, no host, whitespace).
bool normaliseBaseAddress(std::string& address, std::string& problem);
