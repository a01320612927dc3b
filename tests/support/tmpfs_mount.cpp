// Mounts and unmounts a tmpfs through the system calls, so no mount(8) output gets in the way.
#include "support/tmpfs_mount.h"

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr unsigned long kFlags = MS_NOSUID | MS_NODEV;

std::string sizeOption(size_t bytes) { return "size=" + std::to_string(bytes) + ",mode=0755"; }

}  // namespace

TmpfsMount::TmpfsMount(const std::string& dir, size_t bytes) : dir_(dir) {
    if (geteuid() != 0) {
        error_ = "mounting a tmpfs needs root";
        return;
    }
    if (mount("kib-test", dir_.c_str(), "tmpfs", kFlags, sizeOption(bytes).c_str()) != 0) {
        error_ = std::string("mount: ") + std::strerror(errno);
        return;
    }
    mounted_ = true;
}

TmpfsMount::~TmpfsMount() {
    if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
}

bool TmpfsMount::resize(size_t bytes) {
    return mounted_ && mount("kib-test", dir_.c_str(), "tmpfs", MS_REMOUNT | kFlags, sizeOption(bytes).c_str()) == 0;
}
