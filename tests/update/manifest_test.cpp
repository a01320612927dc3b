// The manifest comparison on a real folder: which files are fetched, with which digest, and
// what the log says about each line.
#include "update/manifest.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "net/url.h"
#include "support/digest.h"
#include "support/temp_dir.h"
#include "update/local_digests.h"
#include "update/manifest_request.h"
#include "update/own_files.h"
#include "util/md5.h"

namespace {

using Fetched = std::tuple<std::string, std::string, std::string, std::string>;

const std::string kBase = "http://127.0.0.1:8/game/";

class ManifestTest : public ::testing::Test {
protected:
    // Runs the comparison and returns its result, with the log it wrote in `log` and what its
    // plan fetches in `g_queued`.
    bool compare(const std::string& manifest) {
        LocalDigests digests(kVerifiedFilesPath, kVerifiedFilesTemporaryPath);
        Plan plan;
        testing::internal::CaptureStdout();
        const bool result = compareManifest(manifest, digests, plan);
        log = testing::internal::GetCapturedStdout();
        g_queued.clear();
        for (const PlannedFetch& file : plan.fetches)
            g_queued.emplace_back(file.url, file.localPath, file.expectedMd5, file.unpackedMd5);
        return result;
    }

    std::vector<Fetched> g_queued;

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
    const std::vector<Fetched> expected = {
        {kBase + "data/levels.pak.gz", "data/levels.pak.gz", h3, h2},
        {kBase + "docs/missing.txt", "docs/missing.txt", "", ""},
        {mirror + "sounds/new.ogg", "sounds/new.ogg", h4, ""},
    };
    EXPECT_EQ(g_queued, expected);
}

TEST_F(ManifestTest, NothingToFetchIsUpToDate) {
    ASSERT_TRUE(compare("master:" + kBase + "\n\n   \n"));
    EXPECT_TRUE(g_queued.empty());

    // Carriage returns alone do not end lines: this is one line, a master line.
    ASSERT_TRUE(compare("master:" + kBase + "\rdocs/x.txt\r"));
    EXPECT_EQ(log, "\tMaster set to " + kBase + "docs/x.txt\n");
    EXPECT_TRUE(g_queued.empty());
}

TEST_F(ManifestTest, RejectsManifestsWithoutUsableMaster) {
    const std::string noMaster = "\tLine 1 refused: a file line before any master line with an address\n"
                                 "\tMalformed manifest file\n";
    EXPECT_FALSE(compare(""));
    EXPECT_EQ(log, "");
    EXPECT_FALSE(compare("kib.exe\nmaster:" + kBase + "\n"));
    EXPECT_EQ(log, noMaster);
    EXPECT_FALSE(compare("master:\nkib.exe\n"));
    EXPECT_EQ(log, "\tLine 2 refused: a file line before any master line with an address\n"
                   "\tMalformed manifest file\n");
    // A byte-order mark is not whitespace: the first line is a file line.
    EXPECT_FALSE(compare("\xEF\xBB\xBFmaster:" + kBase + "\nkib.exe\n"));
    EXPECT_EQ(log, noMaster);
    // Only the exact lowercase tag is a master line.
    EXPECT_FALSE(compare("Master:" + kBase + "\n"));
    EXPECT_TRUE(g_queued.empty());
}

// Every refusal of the whole manifest: checked before anything in the folder is compared,
// queued or removed, so a stale file listed above the bad line is neither fetched nor lost.
TEST_F(ManifestTest, RefusedManifestsChangeNothing) {
    const std::string a = std::string(32, 'a');
    std::string deep;
    for (int level = 0; level < 65; ++level) deep += "d/";
    deep += "f.txt";
    const struct {
        std::string lines;
        std::string why;
    } cases[] = {
        {"../outside.txt", "../outside.txt: the path leaves the game's folder or names a device"},
        {"/tmp/outside.txt:" + a, "/tmp/outside.txt: the path leaves"},
        {"a/../../outside.txt", "a/../../outside.txt: the path leaves"},
        {"a\\..\\outside.txt", "the path leaves"},
        {":" + a, ": the path leaves"},
        {"dir/..:" + a + "<" + a, "dir/..: the path leaves"},
        // Decompressed, these would be written to "..": any downloaded ".gz" is, whatever kind
        // of line named it.
        {"...gz:" + a + "<" + a, "..: the path leaves"},
        {"sub/...gz", "sub/..: the path leaves"},
        // The updater's own names, in any case, and anything under them.
        {"manifest.txt/x", "manifest.txt/x: the updater keeps the downloaded manifest"},
        {"Manifest.TXT", "Manifest.TXT: the updater keeps the downloaded manifest"},
        {"logs/updater.log", "logs/updater.log: the updater writes its log"},
        {"LOGS/Updater.log/x:" + a, "the updater writes its log"},
        {"logs/updater.lock", "the updater holds this file locked"},
        {"manifest.txt.minisig:" + a, "manifest.txt.minisig: the updater keeps the manifest's downloaded signature"},
        {"Manifest.Txt.MINISIG", "the updater keeps the manifest's downloaded signature"},
        {"manifest.txt.presence.md5", "the updater keeps the downloaded digests of presence-only files"},
        {"Manifest.txt.Presence.MD5.minisig:" + a, "the updater keeps the downloaded signature of those digests"},
        {"assets/updater/update.trust", "assets/updater/update.trust: the updater records the newest signed release"},
        {"assets/Updater/UPDATE.TRUST.gz:" + a + "<" + a, "the updater records the newest signed release"},
        {"assets/updater/update.trust.part:" + a, "the updater downloads every file under its name followed by this"},
        {"movie.bin.part", "movie.bin.part: the updater downloads every file under its name followed by this"},
        {"movie.bin.PART:" + a, "the updater downloads every file"},
        {"notes.txt.unpacking", "the updater unpacks every .gz"},
        {"level.part.gz:" + a + "<" + a, "level.part: the updater downloads every file"},
        {"data/world.pak.KIB-BLOCKS:" + a, "the block maps published beside large files"},
        // Two lines that would write one file.
        {"notes.txt:" + a + "\nnotes.txt.gz:" + a + "<" + a, "both notes.txt and notes.txt.gz would write notes.txt"},
        {"Readme.txt:" + a + "\nREADME.TXT.gz:" + a + "<" + a, "both Readme.txt and README.TXT.gz would write README.TXT"},
        {"Émile.txt:" + a + "\némile.txt.gz:" + a + "<" + a, "both Émile.txt and émile.txt.gz would write émile.txt"},
        // Names Windows would take for other files, so that they dodge every rule above.
        {"assets/updater/verified.txt.:" + a, "verified.txt.: a name ends in '.' or ' ', which Windows drops"},
        {"x.pak.part.", "x.pak.part.: a name ends in '.' or ' ', which Windows drops"},
        {"./c.txt", "./c.txt: a name ends in '.'"},
        {"ASSETS/UPDATER/UPDATE~1.TRU:" + a, "UPDATE~1.TRU: a name looks like a Windows short name"},
        {"data/PROGRA~12/x", "a name looks like a Windows short name"},
        {"COM\xC2\xB9.txt", "the path leaves the game's folder or names a device"},
        {"data/lpt\xC2\xB3", "names a device"},
        // Digests: empty, long, not hexadecimal, or a compressed line's second one missing.
        {"kib.exe:", "a digest is not 32 hexadecimal digits"},
        {"kib.exe:" + a + "0", "a digest is not 32"},
        {"kib.exe:" + std::string(32, 'g'), "a digest is not 32"},
        {"kib.exe:x:y", "a digest is not 32"},
        {"z.gz:" + a + "<", "a digest is not 32"},
        {"z.gz:" + a + "<" + a + "<" + a, "a digest is not 32"},
        // Limits no real game meets.
        {"long.txt:" + a + std::string(4096, ' '), "the line is longer than 4096 bytes"},
        {std::string(1025, 'p'), ": the path is longer than 1024 bytes"},
        {deep, ": the path has more than 64 levels"},
    };
    const std::string stale = "the player's older kib.exe";
    dir.write("kib.exe", stale);
    for (const auto& test : cases) {
        SCOPED_TRACE(test.lines.substr(0, 80));
        g_queued.clear();
        EXPECT_FALSE(compare("master:" + kBase + "\nkib.exe:" + a + "\nfirst.txt\n" + test.lines + "\nlast.txt\n"));
        const size_t number = log.find("refused: ");
        EXPECT_EQ(log.compare(0, 6, "\tLine "), 0) << log;
        EXPECT_NE(log.find(test.why, number), std::string::npos) << log;
        EXPECT_EQ(log.substr(log.find('\n') + 1), "\tMalformed manifest file\n");
        EXPECT_TRUE(g_queued.empty());
        EXPECT_EQ(dir.read("kib.exe"), stale);
    }
    // Names that merely contain dots, or end like the temporary names without being them, are
    // ordinary names; digests may be written in capitals (as PowerShell prints them).
    g_queued.clear();
    EXPECT_TRUE(compare("master:" + kBase + "\n..hidden\na/...b\nc..txt\nparty.parts\nkib.exe:" +
                        std::string(32, 'A') + "\n"));
    EXPECT_EQ(g_queued.size(), 5u);
    EXPECT_EQ(std::get<2>(g_queued.back()), a);
}

TEST_F(ManifestTest, SplitsFileLinesAtTheFirstColonAndTheFirstAngleAfterIt) {
    const std::string masterWithColons = "http://127.0.0.1:8/a:b/";
    const std::string x = std::string(32, 'e'), u = std::string(32, 'f'), c = std::string(32, 'c');
    // A "<" before the colon is part of the path.
    ASSERT_TRUE(compare("master:" + masterWithColons + "\nodd<name:" + x + "\nz.gz:" + u + "<" + c + "\n"));
    EXPECT_EQ(log,
              "\tMaster set to " + masterWithColons + "\n"
              "\todd<name Local hash does not match " + x + "\n"
              "\tz Local uncompressed hash () does not match " + u + "\n");
    const std::vector<Fetched> expected = {
        // Encoded on the way to the server, as it stands in the folder.
        {masterWithColons + "odd%3Cname", "odd<name", x, ""},
        {masterWithColons + "z.gz", "z.gz", c, u},
    };
    EXPECT_EQ(g_queued, expected);
}

// Every line is kept compactly, its text in one block with the others: what is kept must be
// the line whole, at the limits too, and each line's digests its own.
TEST_F(ManifestTest, LinesAtTheLimitsAreComparedWhole) {
    // The longest master line and the longest, deepest path the limits let through.
    const std::string master = "http://127.0.0.1:8/" + std::string(4096 - 7 - 20, 'm') + "/";
    std::string deep;
    for (int level = 0; level < 63; ++level) deep += "d/";
    deep += std::string(1024 - deep.size(), 'f');
    const std::string a(32, 'a'), b(32, 'b'), c(32, 'c'), d(32, 'd'), e(32, 'e');
    // Whitespace inside a line goes; two compressed lines keep their own ".gz" digests.
    ASSERT_TRUE(compare("master:" + master + "\n" + deep + ":" + a + "\r\n p a c k . g z : " + b + "<" + c +
                        "\nsecond.gz:" + d + "<" + e + "\n"))
        << log.substr(log.size() - std::min<size_t>(log.size(), 300));
    const std::vector<Fetched> expected = {
        {master + deep, deep, a, ""},
        {master + "pack.gz", "pack.gz", c, b},
        {master + "second.gz", "second.gz", e, d},
    };
    EXPECT_EQ(g_queued, expected);
}

TEST_F(ManifestTest, DigestsAreComparedWithoutCase) {
    const std::string content = "abc";
    const std::string digest = md5OfBuffer(content.data(), 3);
    dir.write("upper.txt", content);
    std::string upper = digest;
    for (char& c : upper) c = char(toupper(c));
    ASSERT_TRUE(compare("master:" + kBase + "\nupper.txt:" + upper + "\n"));
    EXPECT_EQ(log, "\tMaster set to " + kBase + "\n\tupper.txt (" + digest + ") up to date\n");
    EXPECT_TRUE(g_queued.empty());
}

TEST_F(ManifestTest, TheLocalCopyIsReadWithinItsLimit) {
    std::string manifest;
    EXPECT_TRUE(readManifestCopy(manifest));
    EXPECT_EQ(manifest, "");
    dir.write("manifest.txt", "master:" + kBase + "\n");
    EXPECT_TRUE(readManifestCopy(manifest));
    EXPECT_EQ(manifest, "master:" + kBase + "\n");

    // One byte past the limit is not read at all.
    dir.write("manifest.txt", "master:" + kBase + "\n" + std::string(kMaxManifestBytes, '\n'));
    testing::internal::CaptureStdout();
    manifest.clear();
    EXPECT_FALSE(readManifestCopy(manifest));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\tManifest larger than 67108864 bytes\n");
}

TEST_F(ManifestTest, AnUpToDateCompressedLineRemovesOnlyItsLeftoverDownload) {
    // What a run killed between unpacking and deleting leaves: the file and its ".gz".
    const std::string music = "the music";
    const std::string digest = md5OfBuffer(music.data(), int32_t(music.size()));
    dir.write("music.ogg", music);
    dir.write("music.ogg.gz", "the download");
    // A compressed line whose path does not end in ".gz" names no download to remove.
    dir.write("sound", music);
    dir.write("soundwav", "a file of the player's");
    ASSERT_TRUE(compare("master:" + kBase + "\nmusic.ogg.gz:" + digest + "<" + std::string(32, 'c') +
                        "\nsoundwav:" + digest + "<" + std::string(32, 'd') + "\n"));
    EXPECT_TRUE(g_queued.empty());
    EXPECT_FALSE(dir.exists("music.ogg.gz"));
    EXPECT_EQ(dir.read("music.ogg"), music);
    EXPECT_EQ(dir.read("soundwav"), "a file of the player's");
}

TEST_F(ManifestTest, APresenceLineForACompressedFileLooksForTheUnpackedFile) {
    // The player changed settings.cfg; its download was unpacked and deleted by an earlier run.
    dir.write("settings.cfg", "the player's own settings");
    ASSERT_TRUE(compare("master:" + kBase + "\nsettings.cfg.gz\nfresh.cfg.gz\n"));
    const std::vector<Fetched> expected = {{kBase + "fresh.cfg.gz", "fresh.cfg.gz", "", ""}};
    EXPECT_EQ(g_queued, expected);
}

TEST_F(ManifestTest, APathListedTwiceIsFetchedOnceAsItsFirstLineSays) {
    const std::string first = std::string(32, 'a');
    ASSERT_TRUE(compare("master:" + kBase + "\nlevel.pak:" + first + "\nlevel.pak:" + std::string(32, 'b') +
                        "\nlevel.pak\n"));
    const std::vector<Fetched> expected = {{kBase + "level.pak", "level.pak", first, ""}};
    EXPECT_EQ(g_queued, expected);
    EXPECT_NE(log.find("\tlevel.pak listed again; fetched once\n"), std::string::npos);
}

// One file on Windows, so one download everywhere: letters compared as Windows compares them,
// which keeps the dotless i apart from I.
TEST_F(ManifestTest, PathsThatDifferOnlyInLetterCaseAreListedTwice) {
    const std::string first = std::string(32, 'a');
    ASSERT_TRUE(compare("master:" + kBase + "\nData/Level.pak:" + first + "\ndata/LEVEL.PAK:" + std::string(32, 'b') +
                        "\nDATA/level.pak\nΩmega/Émile.pak\nωMEGA/éMILE.PAK\nd\xC4\xB1sk.pak\nDISK.pak\n"));
    const std::vector<Fetched> expected = {{kBase + "Data/Level.pak", "Data/Level.pak", first, ""},
                                           {kBase + encodePath("Ωmega/Émile.pak"), "Ωmega/Émile.pak", "", ""},
                                           {kBase + encodePath("d\xC4\xB1sk.pak"), "d\xC4\xB1sk.pak", "", ""},
                                           {kBase + "DISK.pak", "DISK.pak", "", ""}};
    EXPECT_EQ(g_queued, expected);
    EXPECT_NE(log.find("\tdata/LEVEL.PAK listed again; fetched once\n"), std::string::npos);
    EXPECT_NE(log.find("\tDATA/level.pak listed again; fetched once\n"), std::string::npos);
    EXPECT_NE(log.find("\tωMEGA/éMILE.PAK listed again; fetched once\n"), std::string::npos);
}
