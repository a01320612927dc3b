// The platform layer on POSIX systems: BSD sockets, X11 window placement, dialog programs for
// message boxes, and starting the game as a child process.
#include "platform/platform.h"

#include <SDL.h>
#include <SDL_syswm.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
    int status;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    // 127 is the shell's "could not execute"; other codes mean the box was shown and closed.
    return !(WIFEXITED(status) && WEXITSTATUS(status) == 127);
}

}  // namespace

void platformStartSockets() {}
void platformStopSockets() {}

void platformShowMessage(const std::string& caption, const std::string& text) {
    // Standard error always has the box, so a run without a desktop still tells what happened.
    std::fprintf(stderr, "%s\n%s\n\n", caption.c_str(), text.c_str());
    std::fflush(stderr);
    if (!hasGraphicalSession()) return;
    if (runAndWait({"zenity", "--warning", "--no-markup", "--title", caption, "--text", text})) return;
    if (runAndWait({"kdialog", "--title", caption, "--sorry", text})) return;
    runAndWait({"xmessage", "-center", "-title", caption, "-buttons", "OK:0", text});
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
    // From the working directory only, never searched for on PATH.
    const std::string path = file.find('/') == std::string::npos ? "./" + file : file;

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
