// The switch from one release to the next, driven by its journal.
#include "update/release_switch.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "platform/platform.h"
#include "update/own_files.h"
#include "util/file_system.h"
#include "util/md5.h"
#include "util/strings.h"

namespace {

const std::string kJournalHeader = "kib switch 1";
const std::string kPlace = "place";
const std::string kRemove = "remove";
const std::string kEnd = "end";
constexpr std::chrono::milliseconds kFirstBackoff{50};
constexpr std::chrono::milliseconds kLongestBackoff{1000};

std::string digestOfText(const std::string& text) {
    Md5State state;
    md5Init(state);
    md5Append(state, reinterpret_cast<const uint8_t*>(text.data()), int32_t(text.size()));
    uint8_t digest[16];
    md5Finish(state, digest);
    return md5ToText(digest);
}

bool exists(const std::string& path) { return platformFileKind(path) == PlatformFileKind::Regular; }

// "place <staged> <x|-> <md5|-> <path>" and "remove <path>", tab-separated, the path last (no
// tab can stand in a path the manifest gives).
std::string formatJournal(const std::vector<SwitchEntry>& entries) {
    std::string text = kJournalHeader + "\n";
    for (const SwitchEntry& entry : entries) {
        if (entry.staged.empty())
            text += kRemove + "\t" + entry.path + "\n";
        else
            text += kPlace + "\t" + entry.staged + "\t" + (entry.executable ? "x" : "-") + "\t" +
                    (entry.md5.empty() ? "-" : entry.md5) + "\t" + entry.path + "\n";
    }
    return text + kEnd + "\t" + digestOfText(text) + "\n";
}

bool parseJournal(const std::string& text, std::vector<SwitchEntry>& entries) {
    const size_t end = text.rfind(kEnd + "\t");
    if (end == std::string::npos || text.compare(end, std::string::npos, kEnd + "\t" + digestOfText(text.substr(0, end)) + "\n") != 0)
        return false;
    StringList lines;
    split(lines, text.substr(0, end), "\n");
    if (lines.empty() || lines.front() != kJournalHeader) return false;
    for (size_t i = 1; i < lines.size(); ++i) {
        if (lines[i].empty()) continue;
        StringList fields;
        split(fields, lines[i], "\t");
        SwitchEntry entry;
        if (fields.size() == 2 && fields[0] == kRemove) {
            entry.path = fields[1];
        } else if (fields.size() == 5 && fields[0] == kPlace) {
            entry.staged = fields[1];
            entry.executable = fields[2] == "x";
            entry.md5 = fields[3] == "-" ? "" : fields[3];
            entry.path = fields[4];
        } else {
            return false;
        }
        // The journal lies in the game's folder: it may name nothing outside it.
        if (entry.path.empty() || entry.path[0] == '/' || entry.path.find("..") != std::string::npos) return false;
        entries.push_back(entry);
    }
    return true;
}

// Writes `text` to `path` through its download name, so that the file is either whole or
// absent, also after a power cut: a journal that lost its bytes while the files it moved kept
// their names would leave the folder half switched.
bool writeWhole(const std::string& path, const std::string& text) {
    return replaceWholeFile(path, downloadName(path), text);
}

// Removes the folders of `path` that the removal of its file left empty, deepest first.
void removeEmptyFolders(const std::string& path) {
    for (std::string folder = directoryOf(path); !folder.empty(); folder = directoryOf(folder)) {
        folder.pop_back();
        if (folder.empty() || !platformRemoveFolder(folder)) return;
    }
}

}  // namespace

bool ReleaseSwitch::begin(std::vector<SwitchEntry> entries) {
    entries_ = std::move(entries);
    phase_ = Phase::Aside;
    next_ = 0;
    makeDirectories(directoryOf(kSwitchJournalPath));
    if (!writeWhole(kSwitchJournalPath, formatJournal(entries_))) {
        std::printf("Could not write %s\n", kSwitchJournalPath);
        failure_ = "Could not put the new release in place";
        return false;
    }
    const size_t removals = size_t(std::count_if(entries_.begin(), entries_.end(),
                                                 [](const SwitchEntry& entry) { return entry.staged.empty(); }));
    std::printf("Switching to the new release: %lu files to put in place, %lu to remove\n",
                static_cast<unsigned long>(entries_.size() - removals), static_cast<unsigned long>(removals));
    return true;
}

bool ReleaseSwitch::resume() {
    if (platformFileKind(kSwitchJournalPath) == PlatformFileKind::Missing) return false;
    std::string text;
    entries_.clear();
    if (!readWholeFile(text, kSwitchJournalPath) || !parseJournal(text, entries_)) {
        // Written whole before the first file moved: one cut short moved nothing.
        std::printf("Removed an unfinished switch journal\n");
        platformRemoveFile(kSwitchJournalPath);
        entries_.clear();
        return false;
    }
    phase_ = Phase::Aside;
    next_ = 0;
    std::printf("Finishing the switch to a new release that an earlier run began\n");
    return true;
}

double ReleaseSwitch::patienceLeft() const {
    if (!waiting()) return 1.0;
    const double spent = std::chrono::duration<double>(Clock::now() - waitingSince_) / kBusyPatience;
    return std::max(0.0, 1.0 - spent);
}

bool ReleaseSwitch::retryLater(const std::string& path) {
    const Clock::time_point now = Clock::now();
    if (!waiting()) {
        std::printf("\t%s is in use by another program; waiting for it\n", path.c_str());
        waitingSince_ = now;
        backoff_ = kFirstBackoff;
    } else {
        backoff_ = std::min(backoff_ * 2, kLongestBackoff);
    }
    if (now - waitingSince_ >= kBusyPatience) return false;
    retryAt_ = now + backoff_;
    return true;
}

// False when the file could not be moved (failure_ set) or must be tried again (waiting()).
bool ReleaseSwitch::moveAside(const SwitchEntry& entry) {
    // Already done by the run whose journal this is: placed, or moved aside.
    if (!entry.staged.empty() && !exists(entry.staged)) return true;
    const PlatformFileKind kind = platformFileKind(entry.path);
    if (kind == PlatformFileKind::Missing) return true;
    if (kind == PlatformFileKind::Other) {
        std::printf("\t%s is not a regular file; left alone\n", entry.path.c_str());
        failure_ = "Could not replace " + entry.path;
        return false;
    }
    switch (platformRename(entry.path, asideName(entry.path))) {
    case PlatformRenameResult::Renamed:
        return true;
    case PlatformRenameResult::Busy:
        if (retryLater(entry.path)) return false;
        failure_ = "Could not replace " + entry.path +
                   ": another program is using it (the game itself, or a virus scanner checking it). Close it "
                   "and start the updater again.";
        return false;
    case PlatformRenameResult::Refused:
        break;
    }
    std::printf("\tCould not move %s aside\n", entry.path.c_str());
    failure_ = "Could not replace " + entry.path;
    return false;
}

bool ReleaseSwitch::place(SwitchEntry& entry) {
    if (entry.staged.empty() || !exists(entry.staged)) return true;
    makeDirectories(directoryOf(entry.path));
    // Still the file its verifier vouched for? Asked before the permission and the rename set
    // its change time.
    entry.vouch = vouchBeforeRename(entry.staged, entry.vouch);
    if (entry.executable) platformMakeExecutable(entry.staged);
    const PlatformRenameResult result = platformRename(entry.staged, entry.path);
    if (result == PlatformRenameResult::Renamed) {
        entry.vouch = vouchAfterRename(entry.path, entry.vouch);
        std::printf("\t%s in place\n", entry.path.c_str());
        return true;
    }
    if (result == PlatformRenameResult::Busy && retryLater(entry.path)) return false;
    std::printf("\tCould not put %s in place\n", entry.path.c_str());
    failure_ = "Could not replace " + entry.path;
    return false;
}

ReleaseSwitch::Progress ReleaseSwitch::fail(const std::string& failure) {
    failure_ = failure;
    waitingSince_ = Clock::time_point();
    undo();
    return Progress::Failed;
}

ReleaseSwitch::Progress ReleaseSwitch::step(std::chrono::milliseconds budget) {
    const Clock::time_point deadline = Clock::now() + budget;
    while (phase_ != Phase::Cleanup) {
        if (waiting() && Clock::now() < retryAt_) return Progress::Working;
        if (next_ == entries_.size()) {
            if (phase_ == Phase::Place) break;
            phase_ = Phase::Place;
            next_ = 0;
            continue;
        }
        SwitchEntry& entry = entries_[next_];
        const bool done = phase_ == Phase::Aside ? moveAside(entry) : place(entry);
        if (!done) {
            if (waiting() && failure_.empty()) return Progress::Working;
            return fail(failure_);
        }
        waitingSince_ = Clock::time_point();
        ++next_;
        if (Clock::now() >= deadline) return Progress::Working;
    }
    phase_ = Phase::Cleanup;
    cleanUp();
    return Progress::Done;
}

void ReleaseSwitch::cleanUp() {
    std::string leftovers;
    for (const SwitchEntry& entry : entries_) {
        const std::string aside = asideName(entry.path);
        if (exists(aside) && !platformRemoveFile(aside)) leftovers += aside + "\n";
        if (!entry.staged.empty()) continue;
        std::printf("\tRemoved %s: the release no longer lists it\n", entry.path.c_str());
        removeEmptyFolders(entry.path);
    }
    if (!leftovers.empty()) {
        std::string listed;
        readWholeFile(listed, kLeftoversPath);
        writeWhole(kLeftoversPath, listed + leftovers);
    }
    // The renames reach the disk before the journal's removal does.
    std::set<std::string> folders;
    for (const SwitchEntry& entry : entries_) folders.insert(directoryOf(entry.path));
    for (const std::string& folder : folders) platformFlushFolder(folder);
    platformRemoveFile(kSwitchJournalPath);
    std::printf("Switch done\n");
}

void ReleaseSwitch::undo() {
    bool whole = true;
    for (size_t i = entries_.size(); i-- > 0;) {
        const SwitchEntry& entry = entries_[i];
        const std::string aside = asideName(entry.path);
        // Placed by this switch: back to the staging folder for the next run.
        if (!entry.staged.empty() && !exists(entry.staged) && exists(entry.path))
            whole = platformRenameFile(entry.path, entry.staged) && whole;
        if (exists(aside) && platformFileKind(entry.path) == PlatformFileKind::Missing)
            whole = platformRenameFile(aside, entry.path) && whole;
    }
    // What could not be undone is finished by the next start instead: the journal stays for it.
    if (!whole) {
        std::printf("\tThe switch could not be undone; the next start finishes it\n");
        return;
    }
    platformRemoveFile(kSwitchJournalPath);
    std::printf("\tSwitch undone: the release before it stands whole\n");
}

void ReleaseSwitch::removeLeftovers() {
    std::string listed;
    if (!readWholeFile(listed, kLeftoversPath)) return;
    StringList paths;
    split(paths, listed, "\n");
    std::string kept;
    for (const std::string& path : paths) {
        // Only the names the switch gives what it moves aside: the list lies in the folder.
        if (path.empty() || path[0] == '/' || path.find("..") != std::string::npos || !endsWith(path, kAsideSuffix))
            continue;
        if (exists(path) && !platformRemoveFile(path)) kept += path + "\n";
    }
    if (kept.empty())
        platformRemoveFile(kLeftoversPath);
    else if (kept != listed)
        writeWhole(kLeftoversPath, kept);
}
