// Outcome reporting and the launch of the game.
#include "app/outcome.h"

#include <cstdio>

#include "platform/platform.h"
#include "update/own_files.h"
#include "update/update_run.h"
#include "util/file_system.h"
#include "util/strings.h"

#ifndef KIB_HELP_URL
#define KIB_HELP_URL "https://www.example.com/kib/community/help"
#endif

namespace {

const char* const kGame = "kib.exe";
// ShellExecute's convention: results up to 32 are failure codes.
constexpr int kLaunchFailureLimit = 32;

}  // namespace

void showMessage(const std::string& caption, const std::string& text) {
    // The player may kill the process behind a box, or leave it standing: the log is whole first.
    std::fflush(stdout);
    platformShowMessage(caption, text);
}

void showFatalError(const std::string& failure) {
    deleteIfExists(kManifestCopyPath);
    showMessage("Oh no! Problems!",
                failure +
                    "\n\nWhoops, it seems something broke, so please try to run the updater again."
                    "\n\nIf this problem persists, ask for help on " KIB_HELP_URL);
}

void finishRun(UpdateRun& run) {
    deleteIfExists(kManifestCopyPath);
    // Once per finished run, after the last delivery: the next start trusts what this one verified.
    run.saveRecord();
    if (run.state().UpdatePhase == Updated)
        showMessage("Done!", "It's a miracle! The update was a success!");
    else
        showMessage("Up to date!", "Everything is up to date!");
    // The game may replace this process, or outlive it by hours.
    std::fflush(stdout);
    const int result = platformLaunchGame(kGame);
    if (result <= kLaunchFailureLimit)
        showMessage("Error!", "Encountered error code " + intToString(result) + " while trying to run kib.exe!");
}
