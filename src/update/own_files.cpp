// The updater's own file names and the reserved-name rule.
#include "update/own_files.h"

#include <vector>

#include "util/case_fold.h"

const char* const kManifestCopyPath = "manifest.txt";
const char* const kLogFolder = "logs";
const char* const kLogPath = "logs/updater.log";
const char* const kLockPath = "logs/updater.lock";
const char* const kSignatureCopyPath = "manifest.txt.minisig";
// The manifest copy's name with kPresenceDigestsSuffix, and then ".minisig".
const char* const kPresenceDigestsCopyPath = "manifest.txt.presence.md5";
const char* const kPresenceSignatureCopyPath = "manifest.txt.presence.md5.minisig";
const char* const kTrustStatePath = "assets/updater/update.trust";
const char* const kUnpackSuffix = ".unpacking";
const char* const kBlockMapSuffix = ".kib-blocks";
const char* const kVerifiedFilesPath = "assets/updater/verified.txt";
const char* const kVerifiedFilesTemporaryPath = "assets/updater/verified.txt.new";
const char* const kStagedSuffix = ".kib-new";
const char* const kStagedGzipSuffix = ".kib-gz";
const char* const kStagedListPath = "assets/updater/staged.txt";
const char* const kSwitchJournalPath = "assets/updater/switch.journal";
const char* const kLeftoversPath = "assets/updater/leftovers.txt";
const char* const kAsideSuffix = ".kib-old";

namespace {

// A file of the updater's, and why a manifest may not name it (or anything under it).
struct OwnFile {
    const char* path;
    const char* why;
};

const OwnFile kOwnFiles[] = {
    {kManifestCopyPath, "the updater keeps the downloaded manifest under this name and deletes it"},
    {kLogPath, "the updater writes its log under this name"},
    {kLockPath, "the updater holds this file locked while it runs"},
    {kSignatureCopyPath, "the updater keeps the manifest's downloaded signature under this name and deletes it"},
    {kPresenceDigestsCopyPath, "the updater keeps the downloaded digests of presence-only files under this name and deletes it"},
    {kPresenceSignatureCopyPath, "the updater keeps the downloaded signature of those digests under this name and deletes it"},
    {kTrustStatePath, "the updater records the newest signed release it accepted under this name"},
    {kVerifiedFilesPath, "the updater keeps its record of verified files under this name"},
    {kVerifiedFilesTemporaryPath, "the updater writes its record of verified files under this name first"},
    {kStagedListPath, "the updater lists the files it stages under this name"},
    {kSwitchJournalPath, "the updater keeps the journal of a release being put in place under this name"},
    {kLeftoversPath, "the updater lists old files it could not remove yet under this name"},
};

const OwnFile kTemporarySuffixes[] = {
    {kDownloadSuffix, "the updater downloads every file under its name followed by this"},
    {kUnpackSuffix, "the updater unpacks every .gz under its name followed by this"},
    {kBlockMapSuffix, "names ending in this are the block maps published beside large files"},
    {kAsideSuffix, "the updater moves a file it replaces aside under its name followed by this"},
    {kStagedSuffix, "the updater stages every file under its name followed by this"},
    {kStagedGzipSuffix, "the updater downloads every .gz under its file's name followed by this"},
};

template <size_t count>
std::vector<std::string> foldedNames(const OwnFile (&files)[count]) {
    std::vector<std::string> names;
    for (const OwnFile& file : files) names.push_back(foldCaseAsWindows(file.path));
    return names;
}

// Whether `text` holds `word` at `at`, letters in Windows' case (both are folded already).
bool holdsAt(const std::string& text, size_t at, const std::string& word) {
    return at + word.size() <= text.size() && text.compare(at, word.size(), word) == 0;
}

}  // namespace

std::string unpackName(const std::string& path) { return path + kUnpackSuffix; }

std::string asideName(const std::string& path) { return path + kAsideSuffix; }

std::string reservedNameProblem(const std::string& path) { return reservedFoldedNameProblem(foldCaseAsWindows(path)); }

std::string reservedFoldedNameProblem(const std::string& folded) {
    // The own names folded once: the manifest reader asks for every line.
    static const std::vector<std::string> ownNames = foldedNames(kOwnFiles);
    static const std::vector<std::string> endings = foldedNames(kTemporarySuffixes);
    for (size_t i = 0; i < ownNames.size(); ++i) {
        const std::string& name = ownNames[i];
        if (holdsAt(folded, 0, name) && (folded.size() == name.size() || folded[name.size()] == '/'))
            return kOwnFiles[i].why;
    }
    for (size_t i = 0; i < endings.size(); ++i) {
        const std::string& ending = endings[i];
        if (folded.size() >= ending.size() && holdsAt(folded, folded.size() - ending.size(), ending))
            return kTemporarySuffixes[i].why;
    }
    return "";
}
