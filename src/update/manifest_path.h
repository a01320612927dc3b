// Which file paths a manifest may name: the manifest comes from the network, and no path in it
// may reach outside the game's folder.
#pragma once

#include <string>

// False for an empty path, an absolute one ("/..."), one holding "\", ":" (a drive letter) or a
// zero byte, one with a ".." segment, and one with a segment that Windows takes for a device
// ("con", "nul.txt", "COM1.dat", ...). Shared by the updater and the manifest tool so both
// agree.
bool isSafeManifestPath(const std::string& path);
// True when one of the path's "/"-separated segments is "..".
bool hasParentSegment(const std::string& path);
