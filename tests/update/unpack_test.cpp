// Decompression of arrived files, with real gzip output.
#include "update/unpack.h"

#include <gtest/gtest.h>

#include "support/digest.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "util/md5.h"

namespace {

// What Debian's gzip makes of `content`.
std::string gzipped(const std::string& content) {
    TempDir work;
    work.write("plain", content);
    const ProcessResult result = runProcess({"gzip", "-9", "-n", "-c", work.file("plain")});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return result.out;
}

}  // namespace

TEST(Gunzip, DecompressesRealGzipOutputOfAnySize) {
    TempDir dir;
    // Empty, smaller than the work buffer, exactly its size, and many buffers long.
    for (const size_t size : {size_t(0), size_t(10), size_t(1024), size_t(300000)}) {
        SCOPED_TRACE(size);
        const std::string content = patternBytes(size, unsigned(size));
        dir.write("file.gz", gzipped(content));
        dir.write("file", "an older, longer copy that must be replaced entirely");
        // The digest taken while writing is that of the file written.
        std::string unpackedMd5;
        EXPECT_TRUE(gunzipFile(dir.file("file.gz"), dir.file("file"), 0, nullptr, &unpackedMd5));
        EXPECT_EQ(dir.read("file"), content);
        EXPECT_EQ(unpackedMd5, md5OfFile(dir.file("file")));
    }
}

TEST(Gunzip, ReadsConcatenatedMembers) {
    TempDir dir;
    dir.write("file.gz", gzipped("first part, ") + gzipped("second part"));
    EXPECT_TRUE(gunzipFile(dir.file("file.gz"), dir.file("file")));
    EXPECT_EQ(dir.read("file"), "first part, second part");
}

TEST(Gunzip, CopiesAFileThatIsNotGzipUnchanged) {
    TempDir dir;
    const std::string content = patternBytes(5000, 7);
    dir.write("plain.gz", content);
    dir.write("empty.gz", "");
    EXPECT_TRUE(gunzipFile(dir.file("plain.gz"), dir.file("plain")));
    EXPECT_EQ(dir.read("plain"), content);
    EXPECT_TRUE(gunzipFile(dir.file("empty.gz"), dir.file("empty")));
    EXPECT_TRUE(dir.exists("empty"));
    EXPECT_EQ(dir.read("empty"), "");
}

TEST(Gunzip, FailsOnDamagedOrTruncatedData) {
    TempDir dir;
    const std::string packed = gzipped(patternBytes(200000, 3));
    ASSERT_GT(packed.size(), 1000u);

    std::string damaged = packed;
    for (size_t i = packed.size() / 2; i < packed.size() / 2 + 16; ++i) damaged[i] = char(~damaged[i]);
    dir.write("damaged.gz", damaged);
    EXPECT_FALSE(gunzipFile(dir.file("damaged.gz"), dir.file("damaged")));

    // Only the check value at the end is wrong: every block inflates, the CRC does not match.
    std::string badCheck = packed;
    badCheck[packed.size() - 8] = char(~badCheck[packed.size() - 8]);
    dir.write("badcheck.gz", badCheck);
    EXPECT_FALSE(gunzipFile(dir.file("badcheck.gz"), dir.file("badcheck")));

    // Cut in the middle of the stream, and cut just before the trailer.
    for (const size_t keep : {packed.size() / 2, packed.size() - 8, size_t(12)}) {
        SCOPED_TRACE(keep);
        dir.write("short.gz", packed.substr(0, keep));
        EXPECT_FALSE(gunzipFile(dir.file("short.gz"), dir.file("short")));
    }
    // What was unpacked before the fault is removed, never left to pass for the file.
    for (const char* name : {"damaged", "badcheck", "short"}) EXPECT_FALSE(dir.exists(name)) << name;
}

TEST(Gunzip, StopsAtTheBoundAndRemovesWhatItWrote) {
    TempDir dir;
    const std::string content(300000, 'z');
    dir.write("bomb.gz", gzipped(content));
    dir.write("plain.gz", content);
    for (const char* name : {"bomb", "plain"}) {
        SCOPED_TRACE(name);
        bool tooLarge = false;
        EXPECT_FALSE(gunzipFile(dir.file(std::string(name) + ".gz"), dir.file(name), 100000, &tooLarge));
        EXPECT_TRUE(tooLarge);
        EXPECT_FALSE(dir.exists(name));
        EXPECT_TRUE(gunzipFile(dir.file(std::string(name) + ".gz"), dir.file(name), 300000, &tooLarge));
        EXPECT_FALSE(tooLarge);
        EXPECT_EQ(dir.read(name), content);
    }
    // 256 times the download, and never less than 64 MiB.
    EXPECT_EQ(unpackLimit(dir.file("plain.gz")), int64_t(300000) * 256);
    EXPECT_EQ(unpackLimit(dir.file("bomb.gz")), int64_t(64) << 20);
}

TEST(Gunzip, EveryCutOfAStreamFails) {
    TempDir dir;
    // Long runs: the stream is short and most of its codes are long copies, so some cuts end
    // the input exactly where a read fills its buffer with a copy still pending.
    std::string text;
    while (text.size() < 60000) text += "the kib crossed the river\n";
    const std::string packed = gzipped(text);
    // From the two bytes of gzip's magic on; a single byte is no gzip data and is copied.
    for (size_t keep = 2; keep < packed.size(); ++keep) {
        dir.write("cut.gz", packed.substr(0, keep));
        EXPECT_FALSE(gunzipFile(dir.file("cut.gz"), dir.file("cut"))) << "cut after " << keep << " of " << packed.size();
    }
    dir.write("whole.gz", packed);
    EXPECT_TRUE(gunzipFile(dir.file("whole.gz"), dir.file("whole")));
    EXPECT_EQ(dir.read("whole"), text);
}

TEST(Gunzip, FailsWhenTheOutputCannotBeWritten) {
    TempDir dir;
    dir.write("file.gz", gzipped(patternBytes(100000, 5)));
    // /dev/full accepts the open and refuses every byte, like a full disk.
    EXPECT_FALSE(gunzipFile(dir.file("file.gz"), "/dev/full"));
    EXPECT_FALSE(gunzipFile(dir.file("file.gz"), dir.file("no/such/dir/file")));
}

TEST(Gunzip, MissingInputLeavesTheOutputAlone) {
    TempDir dir;
    dir.write("file", "good copy");
    EXPECT_FALSE(gunzipFile(dir.file("missing.gz"), dir.file("file")));
    EXPECT_EQ(dir.read("file"), "good copy");
}

TEST(UnpackArrived, PutsTheVerifiedFileInPlaceAndRemovesTheGz) {
    TempDir dir;
    const std::string content = patternBytes(3000, 9);
    dir.write("data/pack.bin.gz", gzipped(content));
    dir.write("data/pack.bin", "the player's older copy");

    const FinishOutcome unpacked = unpackArrived(dir.file("data/pack.bin.gz"), dir.file("data/pack.bin"), "pack.bin.gz",
                                                 md5OfBuffer(content.data(), int32_t(content.size())), false);
    EXPECT_EQ(unpacked.failure, "");
    EXPECT_EQ(unpacked.verifiedPath, dir.file("data/pack.bin"));
    EXPECT_EQ(unpacked.lines, std::vector<std::string>{"\t\t\tDecompressing pack.bin.gz"});
    EXPECT_EQ(dir.read("data/pack.bin"), content);
    EXPECT_FALSE(dir.exists("data/pack.bin.gz"));
    EXPECT_FALSE(dir.exists("data/pack.bin.unpacking"));
}
