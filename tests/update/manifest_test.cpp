// The manifest comparison on a real folder: which files are fetched, with which digest, and
// what the log says about each line.
#include "update/manifest.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "support/digest.h"
#include "support/temp_dir.h"
#include "update/run_state.h"
#include "util/md5.h"

namespace {

using Queued = std::tuple<std::string, std::string, std::string, std::string>;
std::vector<Queued> g_queued;

// Stands in for the download service: counts the file as queueFile does and remembers it.
void recordQueued(const std::string& url, const std::string& localPath, const std::string& expectedMd5,
                  const std::string& unpackedMd5) {
    ++FilesToFetch;
    g_queued.emplace_back(url, localPath, expectedMd5, unpackedMd5);
}

const std::string kBase = "http://127.0.0.1:8/game/";

class ManifestTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_queued.clear();
        UpdatePhase = Downloading;
        FilesToFetch = 0;
        FilesFetched = 0;
    }

    // Runs the comparison and returns its result, with the log it wrote in `log`.
    bool compare(const std::string& manifest) {
        testing::internal::CaptureStdout();
        const bool result = compareManifest(manifest, recordQueued);
        log = testing::internal::GetCapturedStdout();
        return result;
    }

    TempDir dir;
    ScopedWorkingDirectory inside{dir.path()};
    std::string log;
};

}  // namespace

TEST_F(ManifestTest, ComparesEveryLineKindAndQueuesOnlyWhatDiffers) {
    const std::string current = "current game binary";
    const std::string stale = "old level data";
    dir.write("kib.exe", current);
    dir.write("data/levels.pak", stale);
    dir.write("docs/readme.txt", "present");
    const std::string h1 = md5OfBuffer(current.data(), int32_t(current.size()));
    const std::string h2 = md5OfBuffer("new level data", 14);
    const std::string h3 = std::string(32, 'a');
    const std::string h4 = std::string(32, 'b');
    const std::string mirror = "http://[::1]:81/m/";
    const std::string manifest =
        "master: " + kBase + "\r\n"
        "kib.exe:" + h1 + "\r\n"
        "  data/levels.pak.gz : " + h2 + " < " + h3 + "\r\n"
        "\r\n\t \r\n"
        "docs/readme.txt\r\n"
        "docs/missing.txt\r\n"
        "master:" + mirror + "\r\n"
        "sounds/new.ogg:" + h4 + "\r\n";

    ASSERT_TRUE(compare(manifest));
    EXPECT_EQ(log,
              "\tMaster set to " + kBase + "\n"
              "\tkib.exe (" + h1 + ") up to date\n"
              "\tdata/levels.pak Local uncompressed hash (" + md5OfFile("data/levels.pak") +
                  ") does not match " + h2 + "\n"
              "\tMaster set to " + mirror + "\n"
              "\tsounds/new.ogg Local hash does not match " + h4 + "\n");
    const std::vector<Queued> expected = {
        {kBase + "data/levels.pak.gz", "data/levels.pak.gz", h3, h2},
        {kBase + "docs/missing.txt", "docs/missing.txt", "", ""},
        {mirror + "sounds/new.ogg", "sounds/new.ogg", h4, ""},
    };
    EXPECT_EQ(g_queued, expected);
    EXPECT_EQ(FilesToFetch, 3);
    EXPECT_EQ(UpdatePhase, Downloading);
}

TEST_F(ManifestTest, NothingToFetchIsUpToDate) {
    ASSERT_TRUE(compare("master:" + kBase + "\n\n   \n"));
    EXPECT_EQ(UpdatePhase, UpToDate);
    EXPECT_TRUE(g_queued.empty());

    UpdatePhase = Downloading;
    // Carriage returns alone do not end lines: this is one line, a master line.
    ASSERT_TRUE(compare("master:" + kBase + "\rdocs/x.txt\r"));
    EXPECT_EQ(log, "\tMaster set to " + kBase + "docs/x.txt\n");
    EXPECT_EQ(UpdatePhase, UpToDate);
}

TEST_F(ManifestTest, RejectsManifestsWithoutUsableMaster) {
    EXPECT_FALSE(compare(""));
    EXPECT_EQ(log, "");
    EXPECT_FALSE(compare("kib.exe\nmaster:" + kBase + "\n"));
    EXPECT_EQ(log, "\tMalformed manifest file\n");
    EXPECT_FALSE(compare("master:\nkib.exe\n"));
    EXPECT_EQ(log, "\tMaster set to \n\tMalformed manifest file\n");
    // A byte-order mark is not whitespace: the first line is a file line.
    EXPECT_FALSE(compare("\xEF\xBB\xBFmaster:" + kBase + "\nkib.exe\n"));
    EXPECT_EQ(log, "\tMalformed manifest file\n");
    // Only the exact lowercase tag is a master line.
    EXPECT_FALSE(compare("Master:" + kBase + "\n"));
    EXPECT_TRUE(g_queued.empty());
    EXPECT_EQ(UpdatePhase, Downloading);
}

TEST_F(ManifestTest, PathsThatLeaveTheFolderMakeTheManifestMalformed) {
    for (const std::string& line : std::vector<std::string>{"../outside.txt", "/tmp/outside.txt:" + std::string(32, 'a'),
                                   "a/../../outside.txt", "a\\..\\outside.txt", ":" + std::string(32, 'a'),
                                   "..", "dir/..:x<y",
                                   // Decompressed, these would be written to "..": any
                                   // downloaded ".gz" is, whatever kind of line named it.
                                   "...gz:x<y", "sub/...gz:x<y", "sub/...gz", "...gz:" + std::string(32, 'a')}) {
        SCOPED_TRACE(line);
        g_queued.clear();
        EXPECT_FALSE(compare("master:" + kBase + "\nfirst.txt\n" + line + "\nlast.txt\n"));
        EXPECT_EQ(log, "\tMaster set to " + kBase + "\n\tMalformed manifest file\n");
        // Lines before the bad one were handled; none after it.
        ASSERT_EQ(g_queued.size(), 1u);
        EXPECT_EQ(std::get<1>(g_queued[0]), "first.txt");
    }
    // Names that merely contain dots are ordinary names.
    g_queued.clear();
    EXPECT_TRUE(compare("master:" + kBase + "\n..hidden\na/...b\n./c.txt\n"));
    EXPECT_EQ(g_queued.size(), 3u);
}

TEST_F(ManifestTest, SplitsFileLinesAtTheFirstColonAndTheFirstAngleAfterIt) {
    const std::string masterWithColons = "http://127.0.0.1:8/a:b/";
    // A "<" before the colon is part of the path; a second colon belongs to the digest.
    ASSERT_TRUE(compare("master:" + masterWithColons + "\nodd<name:x:y\nz.gz:u<c<d\n"));
    EXPECT_EQ(log,
              "\tMaster set to " + masterWithColons + "\n"
              "\todd<name Local hash does not match x:y\n"
              "\tz Local uncompressed hash () does not match u\n");
    const std::vector<Queued> expected = {
        // Encoded on the way to the server, as it stands in the folder.
        {masterWithColons + "odd%3Cname", "odd<name", "x:y", ""},
        {masterWithColons + "z.gz", "z.gz", "c<d", "u"},
    };
    EXPECT_EQ(g_queued, expected);
}

TEST_F(ManifestTest, DigestsAreComparedAsExactText) {
    const std::string content = "abc";
    dir.write("upper.txt", content);
    dir.write("other.txt", content);
    std::string upper = md5OfBuffer(content.data(), 3);
    for (char& c : upper) c = char(toupper(c));
    // An empty digest matches a missing file (nothing fetched) but never an existing one.
    ASSERT_TRUE(compare("master:" + kBase + "\nupper.txt:" + upper + "\nnothing.txt:\nother.txt:\n"));
    EXPECT_EQ(log,
              "\tMaster set to " + kBase + "\n"
              "\tupper.txt Local hash does not match " + upper + "\n"
              "\tnothing.txt () up to date\n"
              "\tother.txt Local hash does not match \n");
    EXPECT_EQ(g_queued.size(), 2u);
}

TEST_F(ManifestTest, ParseManifestReadsTheLocalCopy) {
    EXPECT_FALSE(parseManifest());
    dir.write("manifest.txt", "master:" + kBase + "\n");
    testing::internal::CaptureStdout();
    EXPECT_TRUE(parseManifest());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\tMaster set to " + kBase + "\n");
    EXPECT_EQ(UpdatePhase, UpToDate);
}

TEST_F(ManifestTest, AnUpToDateCompressedLineRemovesOnlyItsLeftoverDownload) {
    // What a run killed between unpacking and deleting leaves: the file and its ".gz".
    const std::string music = "the music";
    const std::string digest = md5OfBuffer(music.data(), int32_t(music.size()));
    dir.write("music.ogg", music);
    dir.write("music.ogg.gz", "the download");
    // A compressed line whose path does not end in ".gz" names no download to remove.
    dir.write("sound.", music);
    dir.write("sound.wav", "a file of the player's");
    ASSERT_TRUE(compare("master:" + kBase + "\nmusic.ogg.gz:" + digest + "<" + std::string(32, 'c') +
                        "\nsound.wav:" + digest + "<" + std::string(32, 'd') + "\n"));
    EXPECT_TRUE(g_queued.empty());
    EXPECT_FALSE(dir.exists("music.ogg.gz"));
    EXPECT_EQ(dir.read("music.ogg"), music);
    EXPECT_EQ(dir.read("sound.wav"), "a file of the player's");
}

TEST_F(ManifestTest, APresenceLineForACompressedFileLooksForTheUnpackedFile) {
    // The player changed settings.cfg; its download was unpacked and deleted by an earlier run.
    dir.write("settings.cfg", "the player's own settings");
    ASSERT_TRUE(compare("master:" + kBase + "\nsettings.cfg.gz\nfresh.cfg.gz\n"));
    const std::vector<Queued> expected = {{kBase + "fresh.cfg.gz", "fresh.cfg.gz", "", ""}};
    EXPECT_EQ(g_queued, expected);
}

TEST_F(ManifestTest, APathListedTwiceIsFetchedOnceAsItsFirstLineSays) {
    const std::string first = std::string(32, 'a');
    ASSERT_TRUE(compare("master:" + kBase + "\nlevel.pak:" + first + "\nlevel.pak:" + std::string(32, 'b') +
                        "\nlevel.pak\n"));
    const std::vector<Queued> expected = {{kBase + "level.pak", "level.pak", first, ""}};
    EXPECT_EQ(g_queued, expected);
    EXPECT_EQ(FilesToFetch, 1);
    EXPECT_NE(log.find("\tlevel.pak listed again; fetched once\n"), std::string::npos);
}

// One file on Windows, so one download everywhere.
TEST_F(ManifestTest, PathsThatDifferOnlyInLetterCaseAreListedTwice) {
    const std::string first = std::string(32, 'a');
    ASSERT_TRUE(compare("master:" + kBase + "\nData/Level.pak:" + first + "\ndata/LEVEL.PAK:" + std::string(32, 'b') +
                        "\nDATA/level.pak\n"));
    const std::vector<Queued> expected = {{kBase + "Data/Level.pak", "Data/Level.pak", first, ""}};
    EXPECT_EQ(g_queued, expected);
    EXPECT_EQ(FilesToFetch, 1);
    EXPECT_NE(log.find("\tdata/LEVEL.PAK listed again; fetched once\n"), std::string::npos);
    EXPECT_NE(log.find("\tDATA/level.pak listed again; fetched once\n"), std::string::npos);
}
