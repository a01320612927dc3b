// Which release files and base addresses a manifest can name so that the updater reads them
// back exactly: the tool refuses everything else instead of publishing a broken release.
#pragma once

#include <string>

// Why the updater could not fetch a file published under `path` (relative, "/"-separated);
// the empty text when it can. Besides the updater's own refusals (empty, absolute, "\",
// ".." segment, Windows devices, names ending in "." or " ", short 8.3 names) it rejects what the manifest reader or the address would change: whitespace
// and control characters (deleted from manifest lines), ":" and "<" (field separators),
// "?", "#" and "%" (they end or escape the address path), and the names the updater keeps for
// itself in the game's folder (reservedNameProblem: "manifest.txt", "logs/updater.log", its
// lock, anything under them, and names ending like its temporary names or its block maps).
std::string manifestPathProblem(const std::string& path);

// Why a path the updater can fetch may still fail some players or servers, for a warning (the
// path is published all the same): a name Windows cannot hold ('"', '*', '|', '>'), or a name a common server refuses to serve as
// it is installed (Debian's lighttpd denies names ending in "~" or ".inc", Apache httpd
// denies file names beginning with ".ht"). Empty when none applies.
std::string manifestPathWarning(const std::string& path);

// Why `path` and `other`, both in one release, cannot live side by side on Windows or macOS,
// whose folders ignore the case of letters (compared as Windows does, foldCaseAsWindows);
// empty when they can. The updater fetches only the first of two such paths.
std::string caseClashWarning(const std::string& path, const std::string& other);

// Checks the base address the files are fetched from and brings it into the form the
// manifest needs: "http://" or "https://", a host (with an optional port) and a path ending in
// "/" (added when missing). False, with the reason in `problem`, for anything the updater
// cannot fetch (another scheme, no host, whitespace).
bool normaliseBaseAddress(std::string& address, std::string& problem);
