// The platform layer on POSIX systems: BSD sockets, X11 window placement, dialog programs for
// message boxes, and starting the game as a child process.
#include "platform/platform.h"

#include <SDL.h>
#include <SDL_syswm.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
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

int platformLaunchGame(const std::string&) {
    // Starting the game arrives with the update engine; until then it is never found.
    return 2;
}
