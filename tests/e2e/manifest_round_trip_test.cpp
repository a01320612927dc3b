// What kib-manifest publishes is exactly what kib-updater installs: a release of a few hundred
// files with every kind of manifest line, served by nginx, installed into an empty folder and
// over an older release, then found up to date.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "support/nginx_server.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "update/own_files.h"

namespace {

namespace fs = std::filesystem;

// Relative path -> content of every regular file under `root`.
std::map<std::string, std::string> filesUnder(const std::string& root) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), root).generic_string()] = readFileBytes(entry.path().string());
    }
    return files;
}

std::string textFile(int seed, int lines) {
    std::string text;
    for (int i = 0; i < lines; ++i)
        text += "level " + std::to_string(seed) + " row " + std::to_string(i % 50) + ": ok\r\n";
    return text;
}

std::string gzipOf(const TempDir& scratch, const std::string& content) {
    scratch.write("raw", content);
    return runProcess({"gzip", "-c", scratch.file("raw")}).out;
}

// A release with text, binary, already compressed data, empty files and files ending in
// ".gz", in nested folders; `version` changes some of them.
void makeRelease(const TempDir& dir, const std::string& folder, int version) {
    TempDir scratch;
    for (int i = 0; i < 240; ++i) {
        const std::string sub = folder + "/data/" + std::to_string(i % 6) + "/" + std::to_string(i % 4) + "/";
        const int seed = (i % 10 == 0) ? i + version * 1000 : i;
        switch (i % 4) {
        case 0: dir.write(sub + "text" + std::to_string(i) + ".txt", textFile(seed, 10 + i * 5)); break;
        case 1: dir.write(sub + "blob" + std::to_string(i) + ".bin", patternBytes(size_t(100 + i * 97), unsigned(seed))); break;
        case 2: dir.write(sub + "empty" + std::to_string(i) + ".dat", ""); break;
        case 3: dir.write(sub + "packed" + std::to_string(i) + ".png", gzipOf(scratch, textFile(seed, 300))); break;
        }
    }
    dir.write(folder + "/music/theme.ogg", patternBytes(3 * 1024 * 1024 + 5, unsigned(version)));
    dir.write(folder + "/maps/big.map", textFile(version, 40000));
    dir.write(folder + "/saves/archive.gz", gzipOf(scratch, textFile(version + 7, 500)));
    dir.write(folder + "/saves/plain.gz", "not gzip at all, yet named so");
    dir.write(folder + "/config/settings.ini", "volume=" + std::to_string(version) + "\n");
    dir.write(folder + "/readme.txt", "version " + std::to_string(version) + "\n");
}

ProcessResult runUpdater(const std::string& game) {
    ProcessOptions options;
    options.workingDirectory = game;
    options.setEnv = {{"SDL_VIDEODRIVER", "dummy"}, {"SDL_AUDIODRIVER", "dummy"}};
    options.unsetEnv = {"DISPLAY", "WAYLAND_DISPLAY"};
    options.timeoutMs = 120000;
    return runProcess({KIB_UPDATER_PATH}, options);
}

// Everything the updater leaves in the game's folder besides the game's files.
std::map<std::string, std::string> withoutUpdaterFiles(std::map<std::string, std::string> files) {
    files.erase("assets/updater/update.cfg");
    files.erase("logs/updater.log");
    files.erase(kVerifiedFilesPath);
    files.erase("logs/updater.lock");
    return files;
}

}  // namespace

TEST(ManifestRoundTrip, PublishedReleaseInstallsByteForByteThenIsUpToDate) {
    TempDir dir;
    makeRelease(dir, "release", 2);
    makeRelease(dir, "older", 1);
    fs::create_directories(dir.file("www"));
    NginxServer server(dir.file("www"));
    ASSERT_TRUE(server.started()) << server.error();

    const std::string base = server.baseUrl() + "game/v2";
    const ProcessResult published = runProcess({KIB_MANIFEST_PATH, "-q", "--presence", "config/*.ini", "-o",
                                                dir.file("www/game/v2"), dir.file("release"), base});
    ASSERT_EQ(published.exitCode, 0) << published.err;
    const std::string manifest = dir.read("www/game/v2/manifest.txt");
    // Every kind of line is in the test: digest, compressed, compressed twice, presence.
    EXPECT_NE(manifest.find("\nreadme.txt:"), std::string::npos);
    EXPECT_NE(manifest.find("\nmaps/big.map.gz:"), std::string::npos);
    EXPECT_NE(manifest.find("\nmusic/theme.ogg:"), std::string::npos);
    EXPECT_NE(manifest.find("\nsaves/archive.gz.gz:"), std::string::npos);
    EXPECT_NE(manifest.find("\nsaves/plain.gz.gz:"), std::string::npos);
    EXPECT_NE(manifest.find("\nconfig/settings.ini\n"), std::string::npos);
    const auto release = filesUnder(dir.file("release"));
    ASSERT_GT(release.size(), 240u);

    // Into an empty folder.
    dir.write("fresh/assets/updater/update.cfg", base + "/manifest.txt");
    const ProcessResult fresh = runUpdater(dir.file("fresh"));
    EXPECT_NE(fresh.err.find("Done!\nIt's a miracle! The update was a success!"), std::string::npos)
        << fresh.err << dir.read("fresh/logs/updater.log");
    EXPECT_TRUE(withoutUpdaterFiles(filesUnder(dir.file("fresh"))) == release);

    // Over the older release: stale files replaced, missing ones added, files the game
    // maker no longer ships and the player's settings left alone.
    fs::copy(dir.file("older"), dir.file("old"), fs::copy_options::recursive);
    fs::remove(dir.file("old/readme.txt"));
    fs::remove_all(dir.file("old/data/3"));
    dir.write("old/screenshots/shot1.bmp", "player's own");
    dir.write("old/assets/updater/update.cfg", base + "/manifest.txt\n");
    const ProcessResult upgrade = runUpdater(dir.file("old"));
    EXPECT_NE(upgrade.err.find("Done!"), std::string::npos) << upgrade.err << dir.read("old/logs/updater.log");
    auto expected = release;
    expected["config/settings.ini"] = "volume=1\n";
    expected["screenshots/shot1.bmp"] = "player's own";
    EXPECT_TRUE(withoutUpdaterFiles(filesUnder(dir.file("old"))) == expected);

    for (const char* game : {"fresh", "old"}) {
        const ProcessResult again = runUpdater(dir.file(game));
        EXPECT_NE(again.err.find("Up to date!\nEverything is up to date!"), std::string::npos)
            << game << "\n" << again.err << dir.read(std::string(game) + "/logs/updater.log");
        EXPECT_EQ(again.err.find("Oh no!"), std::string::npos) << again.err;
    }
}
