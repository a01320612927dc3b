// Small file and path operations shared by every subsystem. They keep no state and never log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

constexpr size_t kNoSizeLimit = size_t(-1);

// Paths go through the platform's file API: no link is followed and only regular files count.

// True when this process can open the path for reading as a regular file.
bool fileExists(const std::string& path);
// Removes the file when it can be opened; true when it was there, whether or not removal worked.
bool deleteIfExists(const std::string& path);
// Appends the file's whole content to `destination`, but no more than `limit` + 1 bytes (so a
// larger file shows as more than `limit`); false, and nothing appended, when it cannot be
// opened or a read fails.
bool readWholeFile(std::string& destination, const std::string& path, size_t limit = kNoSizeLimit);
// The size of the regular file in bytes; -1 when it cannot be opened.
int64_t fileSize(const std::string& path);
// Writes `content` to `temporaryPath` (a new file: a regular file there is replaced, anything else
// refuses), makes it reach the disk, renames it over `path` and makes the rename reach the disk,
// so that `path` always holds either its old content or all of the new, also after a power cut.
// False when any step fails: `temporaryPath` is then removed, and `path` holds its old content
// unless only the last flush failed.
bool replaceWholeFile(const std::string& path, const std::string& temporaryPath, const std::string& content);
// The same for content too large to hold at once: `write` writes it to the stream it is given
// and says whether it could.
bool replaceWholeFileWith(const std::string& path, const std::string& temporaryPath,
                          const std::function<bool(std::FILE*)>& write);
// How much a writer of a large file writes between two calls of platformWriteBehind.
constexpr int64_t kWriteBehindBytes = int64_t(8) << 20;
// Counts `length` more bytes written to `file` in `pending` and has the system start writing
// them to the disk once kWriteBehindBytes have gathered (see platformWriteBehind).
void writeBehind(std::FILE* file, size_t length, int64_t& pending);
// The path up to and including its last `\` (looked for first) or `/`; empty when it has none.
std::string directoryOf(const std::string& path);
// Creates every `/`-separated level of the path, of any length, in time linear in it, never
// through a link. Returns the result of creating the last level: 0 when it was created, -1
// otherwise (it may already exist).
int makeDirectories(const std::string& path);
