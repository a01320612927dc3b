// Mounts and unmounts a tmpfs through the system calls, so no mount(8) output gets in the way;
// the ext4 image through mkfs.ext4 and mount(8), which sets up the loop device.
#include "support/tmpfs_mount.h"

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/process.h"

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

CoarseTimeVolume::CoarseTimeVolume(const std::string& dir) : dir_(dir), image_(dir + ".ext4") {
    if (geteuid() != 0) {
        error_ = "loop-mounting an image needs root";
        return;
    }
    const ProcessResult made = runProcess({"mkfs.ext4", "-q", "-F", "-I", "128", image_, "4M"});
    if (made.exitCode != 0) {
        error_ = "mkfs.ext4: " + made.err;
        return;
    }
    const ProcessResult mounted = runProcess({"mount", "-o", "loop", image_, dir_});
    if (mounted.exitCode != 0) {
        error_ = "mount: " + mounted.err;
        return;
    }
    mounted_ = true;
}

CoarseTimeVolume::~CoarseTimeVolume() {
    // mount(8) made the loop device detach itself once the volume is gone.
    if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
    unlink(image_.c_str());
}
