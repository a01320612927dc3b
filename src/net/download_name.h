// The temporary name a download is written to: the download service writes it, the update
// engine reserves it (update/own_files.h), so it is defined below both.
#pragma once

#include <string>

// A download is written to its path with this appended, and renamed over the path only once it
// is complete and verified. A failed or killed download may leave it for the next run.
inline constexpr const char* kDownloadSuffix = ".part";

// The name a download of `path` is written to until it is verified.
inline std::string downloadName(const std::string& path) { return path + kDownloadSuffix; }
