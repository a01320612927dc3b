// The platform layer on POSIX systems: BSD sockets, X11 window placement, dialog programs for
// message boxes, and starting the game as a child process.
#include "platform/platform.h"

#include <SDL.h>
#include <SDL_syswm.h>

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <ctime>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

extern char** environ;

namespace {

bool hasGraphicalSession() {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x11 && *x11) || (wayland && *wayland);
}

// Runs a program found on PATH with its output discarded and waits for it. False when it
// could not be started (then the next dialog program is tried).
bool runAndWait(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // The dialog's chatter must not end up in the updater's log, which is our standard output.
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t child;
    const int failed = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed) return false;
    int status = 0;
    pid_t waited;
    do {
        waited = waitpid(child, &status, 0);
    } while (waited < 0 && errno == EINTR);
    // The dialog started but its end cannot be learnt (someone else reaped it): it counts as
    // shown, so that the user is not handed the same message twice.
    if (waited < 0) return true;
    // 127 is the shell's "could not execute"; other codes mean the box was shown and closed.
    return !(WIFEXITED(status) && WEXITSTATUS(status) == 127);
}

// xmessage neither wraps nor scrolls sideways: break long lines at spaces so the whole text
// fits on a small screen.
std::string wrapLines(const std::string& text, size_t width) {
    std::string wrapped;
    size_t lineLength = 0;
    size_t lastSpace = std::string::npos;
    for (char c : text) {
        wrapped += c;
        if (c == '\n') {
            lineLength = 0;
            lastSpace = std::string::npos;
            continue;
        }
        if (c == ' ') lastSpace = wrapped.size() - 1;
        if (++lineLength > width && lastSpace != std::string::npos) {
            wrapped[lastSpace] = '\n';
            lineLength = wrapped.size() - 1 - lastSpace;
            lastSpace = std::string::npos;
        }
    }
    return wrapped;
}

}  // namespace

void platformStartSockets() {}
void platformStopSockets() {}

bool platformRedirectOutput(std::FILE* stream, const std::string& path) {
    std::FILE* file = platformOpenFile(path, PlatformOpenMode::Write);
    if (!file) return false;
    std::fflush(stream);
    const bool ok = dup2(fileno(file), fileno(stream)) >= 0;
    std::fclose(file);
    return ok;
}

int platformMakeDirectory(const std::string& path) { return mkdir(path.c_str(), 0777); }

// ---- Files. Every level of a relative path is opened with openat(O_NOFOLLOW | O_DIRECTORY)
// from the one before, so a link anywhere on the way stops the walk (and each level costs one
// short system call: the whole walk is linear in the path's length).

namespace {

// An open folder descriptor, closed by its owner; AT_FDCWD (never closed) for the working
// directory.
struct Folder {
    int fd = -1;
    Folder() = default;
    explicit Folder(int descriptor) : fd(descriptor) {}
    Folder(Folder&& other) noexcept : fd(other.fd) { other.fd = -1; }
    Folder& operator=(Folder&& other) noexcept {
        std::swap(fd, other.fd);
        return *this;
    }
    ~Folder() {
        if (fd >= 0) close(fd);
    }
};

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Opens the folder that holds the path's last level and leaves that level's name in `leaf`.
// With `create`, missing levels are made on the way. False, with errno set, when a level is
// missing (ENOENT), a link or no folder (ELOOP, ENOTDIR), or the path ends in "/".
bool openParent(const std::string& path, std::string& leaf, Folder& parent, bool create = false) {
    const size_t slash = path.rfind('/');
    leaf = slash == std::string::npos ? path : path.substr(slash + 1);
    if (leaf.empty()) {
        errno = EISDIR;
        return false;
    }
    // An absolute path's folders are where the caller says, links and all.
    const bool absolute = path[0] == '/';
    const int levelFlags = absolute ? O_RDONLY | O_DIRECTORY | O_CLOEXEC : kFolderFlags;
    parent = Folder(absolute ? open("/", levelFlags) : AT_FDCWD);
    if (parent.fd == -1) return false;
    if (slash == std::string::npos) return true;
    size_t begin = absolute ? 1 : 0;
    while (begin < slash) {
        size_t end = path.find('/', begin);
        const std::string level = path.substr(begin, end - begin);
        begin = end + 1;
        if (level.empty() || level == ".") continue;
        if (create && mkdirat(parent.fd, level.c_str(), 0777) != 0 && errno != EEXIST) return false;
        Folder next(openat(parent.fd, level.c_str(), levelFlags));
        if (next.fd < 0) return false;
        parent = std::move(next);
    }
    return true;
}

// What stands at `leaf` in `folder`, the link itself when it is one.
PlatformFileKind kindAt(const Folder& folder, const std::string& leaf) {
    struct stat info;
    if (fstatat(folder.fd, leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? PlatformFileKind::Missing : PlatformFileKind::Other;
    return S_ISREG(info.st_mode) ? PlatformFileKind::Regular : PlatformFileKind::Other;
}

}  // namespace

PlatformFileKind platformFileKind(const std::string& path) {
    std::string leaf;
    Folder parent;
    if (!openParent(path, leaf, parent)) return errno == ENOENT ? PlatformFileKind::Missing : PlatformFileKind::Other;
    return kindAt(parent, leaf);
}

std::FILE* platformOpenFile(const std::string& path, PlatformOpenMode mode) {
    std::string leaf;
    Folder parent;
    if (!openParent(path, leaf, parent)) return nullptr;
    // O_NONBLOCK: opening a pipe for reading would wait for a writer; what is opened is
    // checked to be a regular file before anything is read or written.
    int flags = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    if (mode == PlatformOpenMode::Read) {
        flags |= O_RDONLY;
    } else if (mode == PlatformOpenMode::Write) {
        // A file already there may be a hard link to one elsewhere: it is replaced, not emptied.
        if (kindAt(parent, leaf) == PlatformFileKind::Regular) unlinkat(parent.fd, leaf.c_str(), 0);
        flags |= O_WRONLY | O_CREAT | O_EXCL;
    } else {
        flags |= O_RDWR | O_CREAT | O_APPEND;
    }
    const int fd = openat(parent.fd, leaf.c_str(), flags, 0666);
    if (fd < 0) return nullptr;
    // O_NONBLOCK stays: it changes nothing for a regular file.
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || (mode == PlatformOpenMode::Append && info.st_nlink > 1)) {
        close(fd);
        return nullptr;
    }
    std::FILE* file = fdopen(fd, mode == PlatformOpenMode::Read ? "rb" : mode == PlatformOpenMode::Write ? "wb" : "a+b");
    if (!file) close(fd);
    return file;
}

bool platformRenameFile(const std::string& from, const std::string& to) {
    std::string fromLeaf, toLeaf;
    Folder fromParent, toParent;
    if (!openParent(from, fromLeaf, fromParent) || !openParent(to, toLeaf, toParent)) return false;
    if (kindAt(fromParent, fromLeaf) != PlatformFileKind::Regular) return false;
    if (kindAt(toParent, toLeaf) == PlatformFileKind::Other) return false;
    return renameat(fromParent.fd, fromLeaf.c_str(), toParent.fd, toLeaf.c_str()) == 0;
}

bool platformRemoveFile(const std::string& path) {
    std::string leaf;
    Folder parent;
    if (!openParent(path, leaf, parent) || kindAt(parent, leaf) != PlatformFileKind::Regular) return false;
    return unlinkat(parent.fd, leaf.c_str(), 0) == 0;
}

PlatformRenameResult platformRename(const std::string& from, const std::string& to) {
    return platformRenameFile(from, to) ? PlatformRenameResult::Renamed : PlatformRenameResult::Refused;
}

bool platformRemoveFolder(const std::string& path) {
    std::string leaf;
    Folder parent;
    struct stat info;
    if (!openParent(path, leaf, parent) || fstatat(parent.fd, leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISDIR(info.st_mode))
        return false;
    return unlinkat(parent.fd, leaf.c_str(), AT_REMOVEDIR) == 0;
}

bool platformIsExecutable(const std::string& path) {
    std::string leaf;
    Folder parent;
    struct stat info;
    return openParent(path, leaf, parent) && fstatat(parent.fd, leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(info.st_mode) && (info.st_mode & S_IXUSR);
}

bool platformMakeExecutable(const std::string& path) {
    std::string leaf;
    Folder parent;
    struct stat info;
    if (!openParent(path, leaf, parent) || fstatat(parent.fd, leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(info.st_mode))
        return false;
    // Run permission for whoever may read it, as a compiler or an archive gives a program.
    const mode_t mode = (info.st_mode & 07777) | ((info.st_mode & 0444) >> 2);
    return fchmodat(parent.fd, leaf.c_str(), mode, 0) == 0;
}

int64_t platformFreeBytes(const std::string& path) {
    // The folder itself, reached without following a link on the way.
    std::string leaf;
    Folder parent;
    if (!openParent((path.empty() ? std::string(".") : path) + "/x", leaf, parent)) return -1;
    const int fd = parent.fd == AT_FDCWD ? open(".", kFolderFlags) : parent.fd;
    struct statvfs volume;
    const bool known = fd >= 0 && fstatvfs(fd, &volume) == 0;
    if (fd >= 0 && fd != parent.fd) close(fd);
    return known ? int64_t(volume.f_bavail) * int64_t(volume.f_frsize) : -1;
}

bool platformIsThisProgram(const std::string& path) {
    struct stat self, other;
    std::string leaf;
    Folder parent;
    return stat("/proc/self/exe", &self) == 0 && openParent(path, leaf, parent) &&
           fstatat(parent.fd, leaf.c_str(), &other, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(other.st_mode) &&
           self.st_dev == other.st_dev && self.st_ino == other.st_ino;
}

int64_t platformSeekFile(std::FILE* file, int64_t offset) {
    if (fseeko(file, off_t(offset < 0 ? 0 : offset), offset < 0 ? SEEK_END : SEEK_SET) != 0) return -1;
    return int64_t(ftello(file));
}

void platformForgetCachedBytes(std::FILE* file, int64_t offset, int64_t length) {
    posix_fadvise(fileno(file), off_t(offset), off_t(length), POSIX_FADV_DONTNEED);
}

namespace {

void fillStamp(const struct stat& info, PlatformFileStamp& out) {
    out.size = int64_t(info.st_size);
    out.modifiedSeconds = int64_t(info.st_mtim.tv_sec);
    out.modifiedNanoseconds = int32_t(info.st_mtim.tv_nsec);
    out.changedSeconds = int64_t(info.st_ctim.tv_sec);
    out.changedNanoseconds = int32_t(info.st_ctim.tv_nsec);
    out.identity = uint64_t(info.st_ino);
}

}  // namespace

bool platformStampFile(const std::string& path, PlatformFileStamp& out) {
    std::string leaf;
    Folder parent;
    struct stat info;
    if (!openParent(path, leaf, parent) || fstatat(parent.fd, leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(info.st_mode))
        return false;
    fillStamp(info, out);
    return true;
}

// The folders of the last path stamped, from the top: level i is open as levels[i].fd, reached
// from level i - 1 (the working directory for the first) without following a link.
struct PlatformFolderWalk::Levels {
    struct Level {
        std::string name;
        Folder folder;
    };
    std::vector<Level> open;
    // A level's name with its terminating zero, for openat: reused, so no allocation per file.
    std::string name;
};

PlatformFolderWalk::PlatformFolderWalk() : levels_(new Levels) {}

PlatformFolderWalk::~PlatformFolderWalk() { delete levels_; }

bool PlatformFolderWalk::stamp(const std::string& path, PlatformFileStamp& out) {
    const size_t slash = path.rfind('/');
    // An absolute path is walked as the path API walks it.
    if (path.empty() || path[0] == '/') return platformStampFile(path, out);
    std::vector<Levels::Level>& open = levels_->open;
    size_t depth = 0;
    size_t begin = 0;
    while (slash != std::string::npos && begin < slash) {
        size_t end = path.find('/', begin);
        const char* level = path.data() + begin;
        const size_t length = end - begin;
        begin = end + 1;
        if (length == 0 || (length == 1 && level[0] == '.')) continue;
        if (depth < open.size() && open[depth].name.compare(0, std::string::npos, level, length) == 0) {
            ++depth;
            continue;
        }
        // Another folder from here down: what was open below this level is left.
        open.resize(depth);
        levels_->name.assign(level, length);
        Folder next(openat(depth == 0 ? AT_FDCWD : open[depth - 1].folder.fd, levels_->name.c_str(), kFolderFlags));
        if (next.fd < 0) return false;
        open.push_back(Levels::Level{levels_->name, std::move(next)});
        ++depth;
    }
    open.resize(depth);
    const char* leaf = path.c_str() + (slash == std::string::npos ? 0 : slash + 1);
    struct stat info;
    if (*leaf == '\0' || fstatat(depth == 0 ? AT_FDCWD : open[depth - 1].folder.fd, leaf, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(info.st_mode))
        return false;
    fillStamp(info, out);
    return true;
}

bool platformFlushFile(const std::string& path, PlatformFileStamp* stamp) {
    std::string leaf;
    Folder parent;
    if (!openParent(path, leaf, parent)) return false;
    // Read-only is enough to flush here, and never blocks on a pipe put in the file's place.
    const Folder file(openat(parent.fd, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat info;
    if (file.fd < 0 || fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode) || fsync(file.fd) != 0) return false;
    if (stamp) {
        if (fstat(file.fd, &info) != 0) return false;
        fillStamp(info, *stamp);
    }
    return true;
}

bool platformFlushStream(std::FILE* file) { return std::fflush(file) == 0 && fsync(fileno(file)) == 0; }

void platformWriteBehind(std::FILE* file) {
    // Only what left the stream's buffer is the system's to write.
    if (std::fflush(file) == 0) sync_file_range(fileno(file), 0, 0, SYNC_FILE_RANGE_WRITE);
}

bool platformFlushFolder(const std::string& path) {
    std::string folder = path;
    while (!folder.empty() && folder.back() == '/') folder.pop_back();
    std::string leaf;
    Folder parent;
    // The folder is reached like a file's parent: without following a link on the way.
    if (folder.empty()) parent = Folder(open(".", kFolderFlags));
    else if (!openParent(folder + "/x", leaf, parent)) return false;
    if (parent.fd < 0) return false;
    return fsync(parent.fd) == 0;
}

int64_t platformWallClock() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

namespace {

// statfs(2)'s names for the kinds of file system whose times are taken from the system's clock
// as finely as it ticks, and for FAT and exFAT, which keep two seconds.
constexpr unsigned long kFineTimeFileSystems[] = {
    0xEF53,      // ext2, ext3, ext4: seconds only with 128-byte inodes (the stamp shows it)
    0x9123683E,  // btrfs
    0x58465342,  // xfs
    0x01021994,  // tmpfs
    0x858458F6,  // ramfs
    0xF2F52010,  // f2fs
    0x2FC12FC1,  // zfs
    0x794C7630,  // overlayfs
    0x7366746E,  // ntfs3
};
constexpr int64_t kOneSecond = 1000000000;

}  // namespace

int64_t platformTimeGranularity(const std::string& path, const PlatformFileStamp& stamp) {
    std::string leaf;
    Folder parent;
    if (!openParent(path, leaf, parent)) return 2 * kOneSecond;
    if (parent.fd == AT_FDCWD) parent = Folder(open(".", kFolderFlags));
    struct statfs volume;
    if (parent.fd < 0 || fstatfs(parent.fd, &volume) != 0) return 2 * kOneSecond;
    bool fine = false;
    for (unsigned long kind : kFineTimeFileSystems) fine = fine || (unsigned long)(volume.f_type) == kind;
    if (!fine) return 2 * kOneSecond;
    // Neither time has a fraction of a second: the volume keeps whole seconds.
    if (stamp.modifiedNanoseconds == 0 && stamp.changedNanoseconds == 0) return kOneSecond;
    // Files are dated by the coarse clock, which moves once a tick; a tick late at most once more.
    timespec tick;
    if (clock_getres(CLOCK_REALTIME_COARSE, &tick) != 0) return kOneSecond;
    return 2 * (int64_t(tick.tv_sec) * kOneSecond + tick.tv_nsec);
}

int platformProcessorCount() {
    const long count = sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? int(count) : 1;
}

bool platformMakeDirectories(const std::string& path) {
    if (path.empty()) return false;
    // The last level is made like the others: a name behind it stands in for the leaf.
    std::string leaf;
    Folder parent;
    return openParent(path + (path.back() == '/' ? "" : "/") + "x", leaf, parent, true);
}

PlatformLockResult platformLockFile(const std::string& path) {
    std::string leaf;
    Folder parent;
    if (!openParent(path, leaf, parent)) return PlatformLockResult::Unavailable;
    const int fd = openat(parent.fd, leaf.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) return PlatformLockResult::Unavailable;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return PlatformLockResult::Unavailable;
    }
    // The descriptor stays open for the rest of the process: closing it would end the lock.
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return PlatformLockResult::Held;
    const bool busy = errno == EWOULDBLOCK;
    close(fd);
    return busy ? PlatformLockResult::Busy : PlatformLockResult::Unavailable;
}

// ---- Files for the tools: plain POSIX calls, links followed.

bool platformPathInfo(const std::string& path, PlatformPathInfo& info) {
    struct stat linkInfo, target;
    if (lstat(path.c_str(), &linkInfo) != 0 || stat(path.c_str(), &target) != 0) return false;
    info.kind = S_ISREG(target.st_mode)   ? PlatformPathInfo::Kind::File
                : S_ISDIR(target.st_mode) ? PlatformPathInfo::Kind::Folder
                                          : PlatformPathInfo::Kind::Other;
    info.link = S_ISLNK(linkInfo.st_mode);
    info.size = uint64_t(target.st_size);
    return true;
}

bool platformListFolder(const std::string& path, std::vector<std::string>& names) {
    DIR* folder = opendir(path.c_str());
    if (!folder) return false;
    while (const dirent* entry = readdir(folder)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(folder);
    return true;
}

std::string platformResolvedPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? resolved : "";
}

bool platformIsTerminal(std::FILE* stream) { return stream && isatty(fileno(stream)); }

bool platformReadPassword(const std::string& prompt, std::string& password) {
    const int terminal = open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (terminal < 0) return false;
    if (write(terminal, prompt.data(), prompt.size()) < 0) {
        close(terminal);
        return false;
    }
    termios saved{};
    const bool haveModes = tcgetattr(terminal, &saved) == 0;
    if (haveModes) {
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        tcsetattr(terminal, TCSAFLUSH, &quiet);
    }
    char c;
    while (read(terminal, &c, 1) == 1 && c != '\n') password += c;
    if (haveModes) tcsetattr(terminal, TCSAFLUSH, &saved);
    // The typed line feed was not echoed; the next output starts on a line of its own.
    if (write(terminal, "\n", 1) < 0) {
    }
    close(terminal);
    return true;
}

int platformOpenDescriptor(const std::string& path, PlatformDescriptorMode mode) {
    if (mode == PlatformDescriptorMode::Read) {
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        return fd;
    }
    if (mode == PlatformDescriptorMode::CreatePrivate) return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

int64_t platformReadDescriptor(int descriptor, void* data, size_t length) {
    for (;;) {
        const ssize_t got = read(descriptor, data, length);
        if (got >= 0 || errno != EINTR) return got;
    }
}

bool platformWriteDescriptor(int descriptor, const void* data, size_t length) {
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t written = write(descriptor, bytes, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += written;
        length -= size_t(written);
    }
    return true;
}

int platformCloseDescriptor(int descriptor) { return close(descriptor); }

bool platformCreatePipe(int& readEnd, int& writeEnd) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return false;
    // A larger pipe means fewer switches between the writer and the reader.
    fcntl(ends[1], F_SETPIPE_SZ, 1 << 20);
    readEnd = ends[0];
    writeEnd = ends[1];
    return true;
}

// ---- TCP sockets. The descriptors are non-blocking, so that every wait goes through poll()
// with its time-out and the cancel pipe: a stalled peer or a shutdown never leaves a thread
// blocked in the kernel.

struct PlatformCancel {
    std::atomic<bool> raised{false};
    // A byte written here makes the read end readable for good, which wakes every poll().
    int readEnd = -1;
    int writeEnd = -1;
};

namespace {

enum class WaitResult { Ready, TimedOut, Failed, Cancelled };

// Waits until `fd` reports `events` (or an error or hang-up, which the next call then sees).
WaitResult waitForSocket(int fd, short events, int timeoutMs, const PlatformCancel* cancel) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (cancel && cancel->raised.load()) return WaitResult::Cancelled;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return WaitResult::TimedOut;
        pollfd fds[2] = {{fd, events, 0}, {cancel ? cancel->readEnd : -1, POLLIN, 0}};
        const int ready = poll(fds, 2, int(left.count()));
        if (ready < 0) {
            if (errno == EINTR) continue;
            return WaitResult::Failed;
        }
        if (fds[1].revents) return WaitResult::Cancelled;
        if (ready > 0) return WaitResult::Ready;
    }
}

}  // namespace

PlatformCancel* platformCreateCancel() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return nullptr;
    PlatformCancel* cancel = new PlatformCancel;
    cancel->readEnd = ends[0];
    cancel->writeEnd = ends[1];
    return cancel;
}

void platformRaiseCancel(PlatformCancel* cancel) {
    if (!cancel || cancel->raised.exchange(true)) return;
    const char byte = 1;
    while (write(cancel->writeEnd, &byte, 1) < 0 && errno == EINTR) {
    }
}

bool platformCancelRaised(const PlatformCancel* cancel) { return cancel && cancel->raised.load(); }

void platformDestroyCancel(PlatformCancel* cancel) {
    if (!cancel) return;
    close(cancel->readEnd);
    close(cancel->writeEnd);
    delete cancel;
}

PlatformSocket platformConnect(const PlatformAddress& address, int timeoutMs, const PlatformCancel* cancel) {
    const sockaddr* target = reinterpret_cast<const sockaddr*>(address.bytes);
    const int fd = socket(target->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return kNoSocket;
    bool connected = connect(fd, target, socklen_t(address.length)) == 0;
    if (!connected && (errno == EINPROGRESS || errno == EINTR) &&
        waitForSocket(fd, POLLOUT, timeoutMs, cancel) == WaitResult::Ready) {
        int error = 0;
        socklen_t length = sizeof error;
        connected = getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
    if (!connected) {
        close(fd);
        return kNoSocket;
    }
    return fd;
}

bool platformSendAll(PlatformSocket socket, const char* data, size_t length, int timeoutMs,
                     const PlatformCancel* cancel) {
    const int fd = int(socket);
    while (length > 0) {
        if (cancel && cancel->raised.load()) return false;
        // MSG_NOSIGNAL: a peer that has gone away is an error result, not a SIGPIPE.
        const ssize_t sent = send(fd, data, length, MSG_NOSIGNAL);
        if (sent > 0) {
            data += sent;
            length -= size_t(sent);
        } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (waitForSocket(fd, POLLOUT, timeoutMs, cancel) != WaitResult::Ready) return false;
        } else if (!(sent < 0 && errno == EINTR)) {
            return false;
        }
    }
    return true;
}

int64_t platformReceive(PlatformSocket socket, char* buffer, size_t capacity, int timeoutMs,
                        const PlatformCancel* cancel) {
    const int fd = int(socket);
    for (;;) {
        // Checked before every receive too: a peer that never pauses must not outlast a cancel.
        if (cancel && cancel->raised.load()) return kSocketCancelled;
        const ssize_t received = recv(fd, buffer, capacity, 0);
        if (received >= 0) return received;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return kSocketFailed;
        switch (waitForSocket(fd, POLLIN, timeoutMs, cancel)) {
        case WaitResult::Ready: break;
        case WaitResult::TimedOut: return kSocketTimedOut;
        case WaitResult::Cancelled: return kSocketCancelled;
        case WaitResult::Failed: return kSocketFailed;
        }
    }
}

void platformCloseSocket(PlatformSocket socket) {
    if (socket != kNoSocket) close(int(socket));
}

void platformShowMessage(const std::string& caption, const std::string& text) {
    // Standard error always has the box, so a run without a desktop still tells what happened.
    std::fprintf(stderr, "%s\n%s\n\n", caption.c_str(), text.c_str());
    std::fflush(stderr);
    if (!hasGraphicalSession()) return;
    if (runAndWait({"zenity", "--warning", "--no-markup", "--title", caption, "--text", text})) return;
    if (runAndWait({"kdialog", "--title", caption, "--sorry", text})) return;
    runAndWait({"xmessage", "-center", "-title", caption, "-buttons", "OK:0", wrapLines(text, 60)});
}

void platformPlaceWindow() {
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (SDL_GetWMInfo(&info) <= 0) return;
#if defined(SDL_VIDEO_DRIVER_X11)
    if (info.subsystem != SDL_SYSWM_X11) return;
    info.info.x11.lock_func();
    Display* display = info.info.x11.display;
    const Window window = info.info.x11.wmwindow;
    XMoveResizeWindow(display, window, 0, 0, 300, 50);
    XMapRaised(display, window);
    XSync(display, False);
    info.info.x11.unlock_func();
#endif
}

int platformLaunchGame(const std::string& file) {
    // Windows' ShellExecute results: above 32 is success, these are its failure codes.
    constexpr int kStarted = 33, kOutOfResources = 0, kFileNotFound = 2, kPathNotFound = 3,
                  kAccessDenied = 5, kOutOfMemory = 8, kBadFormat = 11, kSharingViolation = 26;
    // By its full path in the working directory (the game's folder), never searched for on
    // PATH.
    std::string path = file;
    if (path.empty() || path[0] != '/') {
        char folder[PATH_MAX];
        if (!getcwd(folder, sizeof folder)) return kPathNotFound;
        path = std::string(folder) + "/" + file;
    }

    // A game file the updater downloaded has no execute permission; updating the game must
    // not leave it unstartable. Anything but a regular file is left for exec to judge.
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && !(info.st_mode & S_IXUSR))
        chmod(path.c_str(), (info.st_mode & 07777) | S_IXUSR);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // Our standard output is the log: the game's output goes nowhere, as a Windows program's
    // does. Its standard error stays the user's terminal (where our own boxes are echoed), so a
    // game that dies at start can still say why.
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Nor does it inherit the log, the display connection or any socket of ours.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
#endif
    // Signals we ignore or block (a broken pipe on a socket) are not the game's business.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    char* argv[] = {const_cast<char*>(file.c_str()), nullptr};
    pid_t child;
    // glibc reports a failed exec here, in the parent. The game runs on after we exit and is
    // never waited for.
    const int error = posix_spawn(&child, path.c_str(), &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    switch (error) {
    case 0: return kStarted;
    case ENOENT: return kFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP: return kPathNotFound;
    case EACCES:
    case EPERM: return kAccessDenied;
    case ENOMEM:
    case E2BIG: return kOutOfMemory;
    case ENOEXEC:
    case ELIBBAD: return kBadFormat;
    case ETXTBSY: return kSharingViolation;
    default: return kOutOfResources;
    }
}

bool platformUserProxy(std::string&, std::string&) { return false; }
