// Digesting one release file and writing its server copy: plain, gzip-compressed, or both
// considered and the better kept. One read of the file does all of it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

struct PackRequest {
    // The release file.
    std::string sourcePath;
    // Where the plain copy goes; empty when the file is served from where it is.
    std::string copyPath;
    // Where the compressed copy goes; empty for a file that is not to be compressed.
    std::string gzPath;
    // Keep the compressed copy whatever it saves (a name ending in ".gz", which the updater
    // always unpacks after the download).
    bool alwaysKeepCompressed = false;
    // The compressed copy is kept only when it is at least this share smaller.
    int minSavingPercent = 10;
    // Write the plain copy (at copyPath, when set) even when the compressed copy is kept.
    bool keepPlainCopy = false;
    // Where the file's block map goes; empty for none.
    std::string blockMapPath;
    // zlib's compression level, 1 to 9.
    int level = 6;
};

struct PackResult {
    // MD5 digest text of the file as read, and its size.
    std::string md5;
    uint64_t size = 0;
    // True when the compressed copy was kept at gzPath.
    bool compressed = false;
    // MD5 digest text and size of the compressed copy as written (set when compressed).
    std::string gzMd5;
    uint64_t gzSize = 0;
    // What went wrong, when packFile returned false.
    std::string error;
};

// Reads the file once, computing its digest while the compressed copy is written (through a
// temporary file renamed into place; its digest is computed while it is written, on a second
// thread) and, when no compression was asked for, while the plain copy is written. A
// compressed copy that does not save enough is deleted and the plain copy, when one is asked
// for, is written in a second read. The block map, when asked for, is written last from one
// more read of the file (through a temporary file too). False with `error` set when a file cannot be read or
// written; no temporary file is left behind. Safe to call from several threads at once for
// different files; `bytesDone`, when given, is increased as the file is read.
bool packFile(const PackRequest& request, PackResult& result, std::atomic<uint64_t>* bytesDone = nullptr);

// True when a compressed copy of `gzSize` bytes saves at least `minSavingPercent` of `size`.
bool compressionWorthIt(uint64_t size, uint64_t gzSize, int minSavingPercent);
