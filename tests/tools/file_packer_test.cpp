// One pass per file: the digests the manifest gets match what md5sum and gunzip see on disk.
#include "manifest/file_packer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/digest.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "util/md5.h"

namespace {

std::string md5sumOf(const std::string& path) {
    const ProcessResult result = runProcess({"md5sum", path});
    return result.out.substr(0, 32);
}

std::string gunzipped(const std::string& path) {
    return runProcess({"gzip", "-dc", path}).out;
}

size_t fileCount(const std::string& folder) {
    size_t count = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) count += entry.is_regular_file();
    return count;
}

std::string compressibleText(size_t lines) {
    std::string text;
    for (size_t i = 0; i < lines; ++i) text += "entity " + std::to_string(i % 97) + " at " + std::to_string(i) + "\n";
    return text;
}

}  // namespace

TEST(PackFile, CompressesWithDigestsOfBothFormsAsToolsSeeThem) {
    TempDir dir;
    const std::string text = compressibleText(200000);  // several read blocks
    dir.write("rel/level.txt", text);
    PackRequest request;
    request.sourcePath = dir.file("rel/level.txt");
    request.copyPath = dir.file("out/level.txt");
    request.gzPath = dir.file("out/level.txt.gz");
    std::filesystem::create_directories(dir.file("out"));
    PackResult result;
    ASSERT_TRUE(packFile(request, result)) << result.error;

    EXPECT_TRUE(result.compressed);
    EXPECT_EQ(result.size, text.size());
    EXPECT_EQ(result.md5, md5sumOf(request.sourcePath));
    EXPECT_EQ(result.gzMd5, md5sumOf(request.gzPath));
    EXPECT_EQ(result.gzSize, std::filesystem::file_size(request.gzPath));
    EXPECT_LT(result.gzSize, text.size() / 3);
    EXPECT_EQ(gunzipped(request.gzPath), text);
    // A compressed file travels only as its ".gz" copy.
    EXPECT_FALSE(dir.exists("out/level.txt"));
    EXPECT_EQ(fileCount(dir.file("out")), 1u);
}

TEST(PackFile, KeepsTheCompressedCopyOnlyWhenItSavesEnough) {
    TempDir dir;
    const std::string noise = patternBytes(3 * 1024 * 1024 + 17, 7);
    dir.write("rel/noise.bin", noise);
    std::filesystem::create_directories(dir.file("out"));
    PackRequest request;
    request.sourcePath = dir.file("rel/noise.bin");
    request.copyPath = dir.file("out/noise.bin");
    request.gzPath = dir.file("out/noise.bin.gz");
    PackResult result;
    ASSERT_TRUE(packFile(request, result)) << result.error;
    EXPECT_FALSE(result.compressed);
    EXPECT_EQ(result.md5, md5OfBuffer(noise.data(), int32_t(noise.size())));
    EXPECT_EQ(dir.read("out/noise.bin"), noise);
    EXPECT_FALSE(dir.exists("out/noise.bin.gz"));
    EXPECT_EQ(fileCount(dir.file("out")), 1u);

    // A name ending in ".gz" is always sent compressed once more, whatever it saves.
    request.gzPath = dir.file("out/noise.bin.gz");
    request.alwaysKeepCompressed = true;
    ASSERT_TRUE(packFile(request, result)) << result.error;
    EXPECT_TRUE(result.compressed);
    EXPECT_EQ(gunzipped(request.gzPath), noise);

    EXPECT_TRUE(compressionWorthIt(100, 90, 10));
    EXPECT_FALSE(compressionWorthIt(100, 91, 10));
    EXPECT_TRUE(compressionWorthIt(100, 100, 0));
    EXPECT_FALSE(compressionWorthIt(100, 101, 0));
}

TEST(PackFile, DigestsInPlaceAndHandlesEmptyFiles) {
    TempDir dir;
    dir.write("empty", "");
    PackRequest request;
    request.sourcePath = dir.file("empty");
    PackResult result;
    ASSERT_TRUE(packFile(request, result)) << result.error;
    EXPECT_EQ(result.md5, "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(result.size, 0u);
    EXPECT_FALSE(result.compressed);
    EXPECT_EQ(fileCount(dir.path()), 1u);
}

TEST(PackFile, FailsWithAReasonAndLeavesNoTemporaryFile) {
    TempDir dir;
    PackRequest missing;
    missing.sourcePath = dir.file("nope");
    PackResult result;
    EXPECT_FALSE(packFile(missing, result));
    EXPECT_NE(result.error.find("nope"), std::string::npos) << result.error;

    dir.write("rel/a.txt", compressibleText(1000));
    PackRequest unwritable;
    unwritable.sourcePath = dir.file("rel/a.txt");
    unwritable.copyPath = dir.file("no/such/folder/a.txt");
    unwritable.gzPath = dir.file("no/such/folder/a.txt.gz");
    EXPECT_FALSE(packFile(unwritable, result));
    EXPECT_NE(result.error.find("cannot create"), std::string::npos) << result.error;

    // A source that cannot be read to its end: a folder opens but does not read.
    std::filesystem::create_directories(dir.file("rel/folder"));
    std::filesystem::create_directories(dir.file("out"));
    PackRequest unreadable;
    unreadable.sourcePath = dir.file("rel/folder");
    unreadable.copyPath = dir.file("out/folder");
    unreadable.gzPath = dir.file("out/folder.gz");
    EXPECT_FALSE(packFile(unreadable, result));
    EXPECT_EQ(fileCount(dir.file("out")), 0u);
}
