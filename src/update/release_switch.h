// Putting a staged release in place as one: a journal lists every file to place and every file
// to remove; the old files are first moved aside (so that a file another program holds stops
// the switch while nothing is replaced yet), then the staged files take their places, then what
// was moved aside is removed. A start that finds the journal finishes the switch before anything
// else. One thread (the run's); it logs what it does.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "util/file_vouch.h"

struct SwitchEntry {
    // The file of the game's folder the entry is for.
    std::string path;
    // The staged file that takes its place; empty for a file the release no longer lists, which
    // is removed.
    std::string staged;
    // Give the placed file run permission.
    bool executable = false;
    // The staged file's digest, for the record of verified files; empty when none is known.
    std::string md5;
    // The stamp the staged file's verifier vouched for (see file_vouch.h), carried by the
    // switch to the placed file; the journal keeps none, so a switch an earlier run began
    // vouches for nothing.
    FileVouch vouch;
};

class ReleaseSwitch {
public:
    enum class Progress { Working, Done, Failed };

    // How long a file another program holds is waited for before the switch gives up.
    static constexpr std::chrono::milliseconds kBusyPatience{5000};

    // Writes the journal for `entries` (and flushes it), then logs "Switching to the new
    // release". False, with failure() set and nothing changed, when it cannot be written.
    bool begin(std::vector<SwitchEntry> entries);
    // Takes up the journal an earlier run left: true, after a log line, when there is a switch to
    // finish. A journal cut short (a run stopped while writing it, before any file was moved) is
    // removed, and so is one that cannot be read (false).
    bool resume();

    // Goes on for about `budget`, or until a held file makes it wait (the next call tries again).
    // Done once every file is in place, what was moved aside is removed (or listed for the next
    // start when it cannot be yet) and the journal is gone. Failed, with failure() set, when a
    // file stayed held past kBusyPatience or could not be moved: then every file moved so far is
    // back where it was and the journal is gone, so the release before the switch stands whole
    // (and the staged files stay for the next run).
    Progress step(std::chrono::milliseconds budget);
    // True while the switch waits for a file another program holds.
    bool waiting() const { return waitingSince_ != Clock::time_point(); }
    // The share of the patience left while waiting, from 1 down to 0.
    double patienceLeft() const;
    // Why the switch failed, for the player.
    const std::string& failure() const { return failure_; }
    const std::vector<SwitchEntry>& entries() const { return entries_; }

    // Removes the old files an earlier switch could not remove (listed in kLeftoversPath),
    // keeping the list of those that still cannot be.
    static void removeLeftovers();

private:
    using Clock = std::chrono::steady_clock;
    enum class Phase { Aside, Place, Cleanup };
    bool moveAside(const SwitchEntry& entry);
    bool place(SwitchEntry& entry);
    bool retryLater(const std::string& path);
    void cleanUp();
    void undo();
    Progress fail(const std::string& failure);

    std::vector<SwitchEntry> entries_;
    Phase phase_ = Phase::Aside;
    size_t next_ = 0;
    std::string failure_;
    // When the file the switch waits for was first found held, and when to try it again.
    Clock::time_point waitingSince_;
    Clock::time_point retryAt_;
    std::chrono::milliseconds backoff_{0};
};
