// The record of verified files as the comparison uses it: what it lets the comparison trust
// without reading, and every way a file or the record can change that must lead to hashing.
#include "update/local_digests.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "support/digest.h"
#include "support/temp_dir.h"
#include "update/own_files.h"
#include "update/verified_files.h"
#include "util/md5.h"

namespace {

namespace fs = std::filesystem;

// A digest no file here has: a comparison that returns it took the record's word.
const std::string kRecordedMd5(32, 'e');
const std::string kPath = "data/level.pak";
const std::string kContent = "level data, version 1";

class RecordedFile : public ::testing::Test {
protected:
    // The hashing threads of the last comparison end before the folder they read goes away.
    void TearDown() override { digests.endHashing(); }

    // Writes the file, records it with kRecordedMd5 and dates the record `recordDelay` after
    // the file's last change.
    void record(std::chrono::seconds recordDelay = std::chrono::seconds(5)) {
        dir.write(kPath, kContent);
        VerifiedFiles::Entries entries;
        ASSERT_TRUE(platformStampFile(kPath, entries[kPath].stamp));
        entries[kPath].md5 = kRecordedMd5;
        dir.write(kVerifiedFilesPath, VerifiedFiles::format(entries));
        fs::last_write_time(kVerifiedFilesPath, fs::last_write_time(kPath) + recordDelay);
        // Whatever a case does next happens later than the recording, as on a later start.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    std::string compare() {
        digests.prepare({kPath});
        return digests.digest(kPath);
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

}  // namespace

TEST_F(RecordedFile, IsTrustedOnlyWhileNothingAboutItOrTheRecordChanged) {
    struct Case {
        const char* name;
        std::function<void()> change;
        bool trusted;
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
             fs::last_write_time(kVerifiedFilesPath, fs::last_write_time(kPath) + std::chrono::seconds(5));
         },
         false},
        {"record cut short",
         [] {
             const std::string text = readFileBytes(kVerifiedFilesPath);
             writeFileBytes(kVerifiedFilesPath, text.substr(0, text.size() - 10));
             fs::last_write_time(kVerifiedFilesPath, fs::last_write_time(kPath) + std::chrono::seconds(5));
         },
         false},
        {"record is not a record", [] { writeFileBytes(kVerifiedFilesPath, "\x1f\x8b garbage\n"); }, false},
        {"record written in the second of the file's last change",
         [] { fs::last_write_time(kVerifiedFilesPath, fs::last_write_time(kPath)); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        record();
        c.change();
        const std::string current = readFileBytes(kPath);
        EXPECT_EQ(compare(), c.trusted ? kRecordedMd5 : md5OfBuffer(current.data(), int32_t(current.size())));
    }
}

TEST_F(RecordedFile, SavingKeepsWhatTheRunVerifiedAndDropsTheRest) {
    record();
    dir.write("gone.dat", "no longer listed");
    dir.write("new.dat", "new");
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
