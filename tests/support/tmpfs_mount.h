// Small volumes that a test mounts on a folder of its own: a tmpfs, for a disk that fills up,
// and an ext4 image with one-second file times. Mounting needs root (as in CI); elsewhere
// mounted() is false and the test skips.
#pragma once

#include <cstddef>
#include <string>

class TmpfsMount {
public:
    // Mounts a tmpfs of `bytes` on `dir`, which must exist. Check mounted() (and error()).
    TmpfsMount(const std::string& dir, size_t bytes);
    // Unmounts, detached so that an open file cannot keep the folder busy.
    ~TmpfsMount();
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& error() const { return error_; }
    // Grows or shrinks the disk, keeping its files; false when the system refuses.
    bool resize(size_t bytes);

private:
    std::string dir_;
    bool mounted_ = false;
    std::string error_;
};

// An ext4 image of a few megabytes made with 128-byte inodes, which keep file times in whole
// seconds (as FAT keeps them in two), loop-mounted on `dir`.
class CoarseTimeVolume {
public:
    // Makes the image beside `dir` (which must exist) and mounts it. Check mounted() (and error()).
    explicit CoarseTimeVolume(const std::string& dir);
    // Unmounts, detached, and removes the image.
    ~CoarseTimeVolume();
    CoarseTimeVolume(const CoarseTimeVolume&) = delete;
    CoarseTimeVolume& operator=(const CoarseTimeVolume&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& error() const { return error_; }

private:
    std::string dir_;
    std::string image_;
    bool mounted_ = false;
    std::string error_;
};
