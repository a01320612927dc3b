// A small tmpfs that a test mounts on a folder of its own, for a disk that fills up. Mounting
// needs root (as in CI); elsewhere mounted() is false and the test skips.
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
