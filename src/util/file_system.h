// Small file and path operations shared by every subsystem. They keep no state and never log.
#pragma once

#include <string>

// True when this process can open the path for reading (a directory counts as absent).
bool fileExists(const std::string& path);
// Removes the file when it can be opened; true when it was there, whether or not removal worked.
bool deleteIfExists(const std::string& path);
// Appends the file's whole content to `destination`; false, and nothing appended, when it
// cannot be opened.
bool readWholeFile(std::string& destination, const std::string& path);
// The path up to and including its last `\` (looked for first) or `/`; empty when it has none.
std::string directoryOf(const std::string& path);
// Creates every `/`-separated level of the path, of any length. Returns the result of creating
// the last level: 0 when it was created, -1 otherwise (it may already exist).
int makeDirectories(const std::string& path);
