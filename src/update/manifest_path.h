// Which file paths a manifest may name: the manifest comes from the network, and no path in it
// may reach outside the game's folder, nor name on Windows a file other than the one it says.
#pragma once

#include <string>

// False for an empty path, an absolute one ("/..."), one holding "\", ":" (a drive letter) or a
// zero byte, one with a ".." segment, one with a segment that Windows takes for a device
// ("con", "nul.txt", "COM1.dat", "LPT¹", ...), and one that windowsNameProblem refuses. Shared
// by the updater and the manifest tool so both agree.
bool isSafeManifestPath(const std::string& path);
// True when one of the path's "/"-separated segments is "..".
bool hasParentSegment(const std::string& path);
// Why Windows would take `path` for another file than the one it names, or empty: a segment
// that ends in "." or " " (Windows drops them, so "verified.txt." is "verified.txt"; "." itself
// is the folder it stands in), or one that looks like a short 8.3 name ("UPDATE~1.TRU": "~"
// and digits, which may stand for any long name of the folder).
std::string windowsNameProblem(const std::string& path);
