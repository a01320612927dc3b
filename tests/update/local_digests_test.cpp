// The record of verified files as the comparison uses it: what it lets the comparison trust
// without reading, and every way a file or the record can change that must lead to hashing.
#include "update/local_digests.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "support/digest.h"
#include "support/temp_dir.h"
#include "support/tmpfs_mount.h"
#include "update/own_files.h"
#include "update/release_switch.h"
#include "update/staging.h"
#include "update/verified_files.h"
#include "util/file_vouch.h"
#include "util/md5.h"

namespace {

namespace fs = std::filesystem;

// A digest no file here has: a comparison that returns it took the record's word.
const std::string kRecordedMd5(32, 'e');
const std::string kPath = "data/level.pak";
const std::string kContent = "level data, version 1";
// On a volume that keeps file times in whole seconds, mounted by the case that needs it.
const std::string kCoarsePath = "coarse/level.pak";

class RecordedFile : public ::testing::Test {
protected:
    // The hashing threads of the last comparison end before the folder they read goes away.
    void TearDown() override { digests.endHashing(); }

    // Writes the file and records it with kRecordedMd5, as an earlier run that vouched for it.
    void record(const std::string& path = kPath) {
        dir.write(path, kContent);
        VerifiedFiles::Entries entries;
        ASSERT_TRUE(platformStampFile(path, entries[path].stamp));
        entries[path].md5 = kRecordedMd5;
        // Whatever a case left at the record's name is replaced, not written through.
        fs::remove(kVerifiedFilesPath);
        dir.write(kVerifiedFilesPath, VerifiedFiles::format(entries));
        // Whatever a case does next happens later than the recording, as on a later start.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    // As a comparison does: the record read ahead, on another thread, while the manifest is.
    std::string compare(const std::string& path = kPath) {
        digests.loadRecordAhead(1, path.size());
        digests.prepare({path});
        return digests.digest(path);
    }

    TempDir dir;
    ScopedWorkingDirectory inside{dir.path()};
    LocalDigests digests{kVerifiedFilesPath, kVerifiedFilesTemporaryPath};
};

// Changes `path` in place and puts its modification time back.
void rewriteKeepingTime(const std::string& path, const std::string& content) {
    const fs::file_time_type modified = fs::last_write_time(path);
    writeFileBytes(path, content);
    fs::last_write_time(path, modified);
}

bool sameStamp(const PlatformFileStamp& a, const PlatformFileStamp& b) {
    return a.size == b.size && a.modifiedSeconds == b.modifiedSeconds &&
           a.modifiedNanoseconds == b.modifiedNanoseconds && a.changedSeconds == b.changedSeconds &&
           a.changedNanoseconds == b.changedNanoseconds && a.identity == b.identity;
}

// Dates the record as a run that went on downloading for a while after the comparison writes it.
void recordLater() {
    fs::last_write_time(kVerifiedFilesPath, fs::file_time_type::clock::now() + std::chrono::seconds(5));
}

void waitForNextSecond() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    std::this_thread::sleep_for(std::chrono::seconds(1) - (now % std::chrono::seconds(1)) + std::chrono::milliseconds(5));
}

}  // namespace

TEST_F(RecordedFile, IsTrustedOnlyWhileNothingAboutItOrTheRecordChanged) {
    struct Case {
        const char* name;
        std::function<void()> change;
        bool trusted;
        std::string path = kPath;
    };
    const std::vector<Case> cases = {
        {"unchanged", [] {}, true},
        {"a byte changed, modification time put back",
         [] { rewriteKeepingTime(kPath, "level data, version 2"); }, false},
        {"swapped for another file of the same size and times",
         [] {
             writeFileBytes("other", "LEVEL DATA, VERSION 1");
             fs::last_write_time("other", fs::last_write_time(kPath));
             fs::rename("other", kPath);
         },
         false},
        {"times touched, content the same", [] { rewriteKeepingTime(kPath, kContent); }, false},
        {"record missing", [] { fs::remove(kVerifiedFilesPath); }, false},
        {"record damaged: one digit of the entry changed",
         [] {
             std::string text = readFileBytes(kVerifiedFilesPath);
             text[text.find(kRecordedMd5)] = 'f';
             writeFileBytes(kVerifiedFilesPath, text);
         },
         false},
        {"record cut short",
         [] {
             const std::string text = readFileBytes(kVerifiedFilesPath);
             writeFileBytes(kVerifiedFilesPath, text.substr(0, text.size() - 10));
         },
         false},
        {"record is not a record", [] { writeFileBytes(kVerifiedFilesPath, "\x1f\x8b garbage\n"); }, false},
        // Only the record itself is believed: never what a link at its name leads to.
        {"record is a link to a copy of itself",
         [] {
             fs::copy_file(kVerifiedFilesPath, "copy.txt", fs::copy_options::overwrite_existing);
             fs::remove(kVerifiedFilesPath);
             fs::create_symlink(fs::absolute("copy.txt"), kVerifiedFilesPath);
         },
         false},
        {"record is a pipe", [] { fs::remove(kVerifiedFilesPath), mkfifo(kVerifiedFilesPath, 0600); }, false},
        {"record of the older kind, whose stamps were taken after the fact",
         [] {
             std::string text = readFileBytes(kVerifiedFilesPath);
             text = "kib verified files 1" + text.substr(text.find('\n'), text.rfind("end ") - text.find('\n'));
             writeFileBytes(kVerifiedFilesPath, text + "end " + md5OfBuffer(text.data(), int32_t(text.size())) + "\n");
         },
         false},
        // Its writer vouches for the file as it staged it, and the switch carries that to the
        // file's place: another program that rewrites it in between, its modification time put
        // back, is not vouched for.
        {"rewritten between its staging and the switch",
         [this] {
             SwitchEntry entry{kPath, stagedName(kPath), false, md5OfBuffer(kContent.data(), int32_t(kContent.size())), {}};
             writeFileBytes("level.pak.part", kContent);
             fs::last_write_time("level.pak.part", fs::last_write_time(kPath) - std::chrono::seconds(10));
             ASSERT_TRUE(placeVerifiedFile("level.pak.part", entry.staged, &entry.vouch));
             ASSERT_TRUE(entry.vouch.trustworthy);
             rewriteKeepingTime(entry.staged, "level data, version 2");
             ReleaseSwitch release;
             ASSERT_TRUE(release.begin({entry}));
             while (release.step(std::chrono::seconds(1)) == ReleaseSwitch::Progress::Working) {
             }
             digests.noteVerified(kPath, entry.md5, release.entries().front().vouch);
             digests.save();
             recordLater();
         },
         false},
        // Hashed and rewritten within one second, and the record written seconds later: the
        // file's times show nothing, and only the hashing's own time tells that they cannot.
        {"rewritten in the second it was hashed in, on a volume with one-second times",
         [this] {
             PlatformFileStamp hashed, rewritten;
             for (int attempt = 0; attempt < 3 && !(attempt > 0 && sameStamp(hashed, rewritten)); ++attempt) {
                 waitForNextSecond();
                 writeFileBytes(kCoarsePath, "level data, version 2");
                 compare(kCoarsePath);
                 ASSERT_TRUE(platformStampFile(kCoarsePath, hashed));
                 writeFileBytes(kCoarsePath, "level data, version 3");
                 ASSERT_TRUE(platformStampFile(kCoarsePath, rewritten));
             }
             ASSERT_TRUE(sameStamp(hashed, rewritten)) << "the rewrite never stayed within the second";
             EXPECT_EQ(platformTimeGranularity(kCoarsePath, rewritten), 1000000000);
             digests.save();
             recordLater();
         },
         false, kCoarsePath},
    };
    std::unique_ptr<CoarseTimeVolume> coarse;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.path == kCoarsePath && !coarse) {
            fs::create_directory("coarse");
            coarse = std::make_unique<CoarseTimeVolume>(dir.file("coarse"));
            if (!coarse->mounted()) GTEST_SKIP() << "no volume with one-second times: " << coarse->error();
        }
        record(c.path);
        c.change();
        const std::string current = readFileBytes(c.path);
        EXPECT_EQ(compare(c.path), c.trusted ? kRecordedMd5 : md5OfBuffer(current.data(), int32_t(current.size())));
    }
}

TEST_F(RecordedFile, SavingKeepsWhatTheRunVerifiedAndDropsTheRest) {
    record();
    dir.write("gone.dat", "no longer listed");
    dir.write("new.dat", "new");
    // Only a file whose last change lies a clock tick before its hashing is vouched for.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    digests.prepare({kPath, "new.dat"});
    EXPECT_EQ(digests.digest(kPath), kRecordedMd5);
    EXPECT_EQ(digests.digest("new.dat"), md5OfBuffer("new", 3));
    digests.save();

    VerifiedFiles::Entries saved;
    ASSERT_TRUE(VerifiedFiles::parse(readFileBytes(kVerifiedFilesPath), saved));
    ASSERT_EQ(saved.size(), 2u);
    EXPECT_EQ(saved[kPath].md5, kRecordedMd5);
    EXPECT_EQ(saved["new.dat"].md5, md5OfBuffer("new", 3));
    EXPECT_FALSE(dir.exists(kVerifiedFilesTemporaryPath));
    // A record that cannot be written is no failure, and leaves no temporary file.
    fs::remove(kVerifiedFilesPath);
    fs::create_directory(kVerifiedFilesPath);
    digests.prepare({"new.dat"});
    digests.digest("new.dat");
    digests.save();
    EXPECT_TRUE(fs::is_directory(kVerifiedFilesPath));
    EXPECT_FALSE(dir.exists(kVerifiedFilesTemporaryPath));
}

// The record a run saves is the last word of each note, whatever came before it in the run:
// entries noted as loaded keep the record as it was (not even rewritten), a change, an
// addition or a drop rewrites it, and a note taken back drops the entry again.
TEST_F(RecordedFile, TheSavedRecordHoldsEachFilesLastNote) {
    const std::string other(32, 'a'), third(32, 'b');
    PlatformFileStamp stamp;
    stamp.size = 7, stamp.modifiedSeconds = 1700000000, stamp.changedSeconds = 1700000001, stamp.identity = 42;
    PlatformFileStamp moved = stamp;
    moved.modifiedNanoseconds = 5;
    auto vouch = [](const PlatformFileStamp& s, bool trustworthy) {
        FileVouch v;
        v.stamp = s, v.trustworthy = trustworthy;
        return v;
    };
    struct Note {
        std::string path, md5;
        FileVouch vouch;
    };
    struct Case {
        const char* name;
        std::vector<Note> notes;
        // "path=md5" (with "?" for an entry to hash before it is believed), in path order;
        // empty when the record must be left as it was.
        std::vector<std::string> saved;
    };
    const std::vector<Case> cases = {
        {"every file as loaded", {{"a", other, vouch(stamp, true)}, {"b", third, vouch(stamp, true)}}, {}},
        {"a file changed", {{"a", third, vouch(moved, true)}, {"b", third, vouch(stamp, true)}}, {"a=" + third, "b=" + third}},
        {"a file no longer noted", {{"b", third, vouch(stamp, true)}}, {"b=" + third}},
        {"a file added", {{"a", other, vouch(stamp, true)}, {"b", third, vouch(stamp, true)}, {"c/d", other, vouch(moved, false)}},
         {"a=" + other, "b=" + third, "c/d=" + other + "?"}},
        {"a change taken back", {{"a", third, vouch(moved, true)}, {"a", "", vouch(moved, true)}, {"b", third, vouch(stamp, true)}},
         {"b=" + third}},
        {"a change noted, then the loaded entry again", {{"a", third, vouch(moved, true)}, {"a", other, vouch(stamp, true)}, {"b", third, vouch(stamp, true)}},
         {"a=" + other, "b=" + third}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VerifiedFiles::Entries loaded;
        loaded["a"] = {stamp, other, true};
        loaded["b"] = {stamp, third, true};
        const std::string before = VerifiedFiles::format(loaded);
        dir.write(kVerifiedFilesPath, before);
        fs::last_write_time(kVerifiedFilesPath, fs::file_time_type::clock::now() - std::chrono::hours(1));
        const fs::file_time_type written = fs::last_write_time(kVerifiedFilesPath);
        VerifiedFiles record;
        record.load(kVerifiedFilesPath);
        for (const Note& note : c.notes) record.note(note.path, note.vouch, note.md5);
        ASSERT_TRUE(record.save(kVerifiedFilesPath, kVerifiedFilesTemporaryPath));
        if (c.saved.empty()) {
            EXPECT_EQ(fs::last_write_time(kVerifiedFilesPath), written);
            continue;
        }
        VerifiedFiles::Entries saved;
        ASSERT_TRUE(VerifiedFiles::parse(readFileBytes(kVerifiedFilesPath), saved));
        std::vector<std::string> found;
        for (const auto& [path, entry] : saved) found.push_back(path + "=" + entry.md5 + (entry.vouched ? "" : "?"));
        EXPECT_EQ(found, c.saved);
    }
}
