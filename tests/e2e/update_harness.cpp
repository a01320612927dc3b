// The shared end-to-end harness: real nginx, real gzip and md5sum, the real updater.
#include "e2e/update_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "support/digest.h"
#include "update/own_files.h"
#include "util/md5.h"

const char* const kGameScript =
    "#!/bin/sh\n"
    "echo the game talks on its standard output\n"
    "pwd > game-started.tmp\n"
    "mv game-started.tmp game-started\n";

const char* const kUnsignedRunLine = "No assets/updater/update.pub: the manifest's signature is not checked";

SigningKey::SigningKey() {
    const ProcessResult result =
        runProcess({"minisign", "-G", "-W", "-p", dir_.file("key.pub"), "-s", dir_.file("key.key")});
    EXPECT_EQ(result.exitCode, 0) << result.err;
}

void UpdateServer::sign(const SigningKey& key, const std::string& trustedComment, bool legacy,
                        const std::string& relative) const {
    std::vector<std::string> argv = {"minisign", "-S", "-s", key.secretKeyPath(), "-m", root_.file(relative)};
    if (!trustedComment.empty()) argv.insert(argv.end(), {"-t", trustedComment});
    if (legacy) argv.push_back("-l");
    const ProcessResult result = runProcess(argv);
    EXPECT_EQ(result.exitCode, 0) << result.err;
}

void UpdateServer::listPresenceDigests(const std::vector<std::string>& paths) const {
    std::vector<std::string> argv = {"md5sum"};
    argv.insert(argv.end(), paths.begin(), paths.end());
    ProcessOptions options;
    options.workingDirectory = root_.file("files");
    const ProcessResult result = runProcess(argv, options);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    put("release/manifest.presence.md5", result.out);
}

UpdateServer::UpdateServer(const std::string& extraServerConfig, const NginxTls& tls)
    : nginx_(root_.path(), extraServerConfig, tls) {
    EXPECT_TRUE(nginx_.started()) << nginx_.error();
}

void UpdateServer::remove(const std::string& relative) const { std::filesystem::remove(root_.file(relative)); }

void UpdateServer::gzip(const std::string& relative) const {
    const ProcessResult result = runProcess({"gzip", "-9", "-n", "-k", "-f", root_.file(relative)});
    EXPECT_EQ(result.exitCode, 0) << result.err;
}

void UpdateServer::publish(const Files& files, const std::map<std::string, Listing>& listings) const {
    std::string manifest = "master:" + url("files/") + "\n";
    for (const auto& [path, content] : files) {
        put("files/" + path, content);
        const auto listing = listings.find(path);
        const Listing kind = listing == listings.end() ? Listing::Digest : listing->second;
        if (kind == Listing::Presence) {
            manifest += path + "\n";
        } else if (kind == Listing::Compressed) {
            gzip("files/" + path);
            const std::string packed = get("files/" + path + ".gz");
            manifest += path + ".gz:" + md5OfBuffer(content.data(), int32_t(content.size())) + "<" +
                        md5OfBuffer(packed.data(), int32_t(packed.size())) + "\n";
        } else {
            manifest += path + ":" + md5OfBuffer(content.data(), int32_t(content.size())) + "\n";
        }
    }
    put("release/manifest", manifest);
}

std::string UpdateServer::md5(const std::string& relative) const {
    const ProcessResult result = runProcess({"md5sum", "-b", root_.file(relative)});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return result.out.substr(0, 32);
}

std::vector<std::string> UpdateServer::accessLogLines() const { return splitLines(nginx_.accessLog()); }

std::vector<std::string> UpdateServer::requests(size_t from) const {
    std::vector<std::string> requests;
    const std::vector<std::string> lines = accessLogLines();
    for (size_t i = from; i < lines.size(); ++i) {
        const size_t open = lines[i].find('"');
        const size_t close = lines[i].find('"', open + 1);
        requests.push_back(lines[i].substr(open + 1, close - open - 1));
    }
    return requests;
}

GameFolder::GameFolder(const std::string& manifestUrl) {
    write("assets/updater/update.cfg", manifestUrl + "\n");
}

void GameFolder::write(const std::string& relative, const std::string& content) const {
    writeFileBytes(file(relative), content);
}

bool GameFolder::exists(const std::string& relative) const { return std::filesystem::exists(file(relative)); }

void GameFolder::installGame() const {
    write("kib.exe", kGameScript);
    std::filesystem::permissions(file("kib.exe"), std::filesystem::perms::owner_all);
}

std::unique_ptr<ChildProcess> GameFolder::start(const Environment& environment, const std::string& program,
                                                const std::vector<std::string>& wrapper) const {
    ProcessOptions options;
    options.workingDirectory = path();
    options.setEnv = {{"SDL_VIDEODRIVER", "dummy"}, {"SDL_AUDIODRIVER", "dummy"}};
    options.setEnv.insert(options.setEnv.end(), environment.begin(), environment.end());
    // Retries wait 1, 2 and 4 seconds in the field; tests that fail on purpose need not.
    const bool retryDelayGiven = std::any_of(environment.begin(), environment.end(),
                                             [](const auto& variable) { return variable.first == "KIB_RETRY_DELAY_MS"; });
    if (!retryDelayGiven) options.setEnv.push_back({"KIB_RETRY_DELAY_MS", "20"});
    // Without a display the boxes go to standard error only, and nothing waits for a click.
    options.unsetEnv = {"DISPLAY", "WAYLAND_DISPLAY"};
    // The machine's proxy is not the test's: a test that wants one sets it.
    for (const char* proxy : {"http_proxy", "HTTP_PROXY", "no_proxy", "NO_PROXY"}) {
        const bool given = std::any_of(environment.begin(), environment.end(),
                                       [&](const auto& variable) { return variable.first == proxy; });
        if (!given) options.unsetEnv.push_back(proxy);
    }
    std::vector<std::string> argv = wrapper;
    argv.push_back(program);
    return std::make_unique<ChildProcess>(argv, options);
}

UpdaterRun GameFolder::run(int timeoutMs, const Environment& environment, const std::string& program,
                           const std::vector<std::string>& wrapper) const {
    UpdaterRun run;
    run.process = start(environment, program, wrapper)->wait(timeoutMs);
    run.log = log();
    return run;
}

std::vector<std::string> GameFolder::log() const { return splitLines(read("logs/updater.log")); }

bool GameFolder::gameStarted(int timeoutMs) const {
    for (int i = 0; i < timeoutMs / 10; ++i) {
        if (exists("game-started")) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::map<std::string, std::string> GameFolder::files() const {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path()))
        if (entry.is_regular_file())
            files[std::filesystem::relative(entry.path(), path()).string()] = readFileBytes(entry.path().string());
    return files;
}

std::map<std::string, std::string> GameFolder::finishedFolder(
    const std::map<std::string, std::string>& gameFiles) const {
    std::map<std::string, std::string> files = gameFiles;
    files["assets/updater/update.cfg"] = read("assets/updater/update.cfg");
    files["logs/updater.log"] = read("logs/updater.log");
    // Held during the run, left for the next one (empty: only the lock on it matters).
    files["logs/updater.lock"] = "";
    files["game-started"] = path() + "\n";
    // The record of what the run verified, for the next start.
    if (exists(kVerifiedFilesPath)) files[kVerifiedFilesPath] = read(kVerifiedFilesPath);
    return files;
}

std::vector<std::string> GameFolder::besideTheFolder() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(parent_.path()))
        if (entry.path().filename() != "game") names.push_back(entry.path().filename().string());
    return names;
}

std::string box(const std::string& caption, const std::string& text) { return caption + "\n" + text + "\n\n"; }

std::string fatalBox(const std::string& failure) {
    return box("Oh no! Problems!", failure +
                                       "\n\nWhoops, it seems something broke, so please try to run the updater "
                                       "again.\n\nIf this problem persists, ask for help on " KIB_HELP_URL);
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return lines;
}

void expectFailureBox(const std::string& err, const std::string& failure) {
    const std::string any = "...";
    if (failure.size() < any.size() || failure.compare(failure.size() - any.size(), any.size(), any) != 0) {
        EXPECT_EQ(err, fatalBox(failure));
        return;
    }
    const std::string begins = "Oh no! Problems!\n" + failure.substr(0, failure.size() - any.size());
    EXPECT_EQ(err.substr(0, begins.size()), begins) << err;
    const std::vector<std::string> lines = splitLines(err);
    ASSERT_GE(lines.size(), 2u) << err;
    EXPECT_EQ(err, fatalBox(lines[1]));
}

std::vector<std::string> switchLines(const std::vector<std::string>& placed, const std::vector<std::string>& removed) {
    std::vector<std::string> lines = {"Switching to the new release: " + std::to_string(placed.size()) +
                                      " files to put in place, " + std::to_string(removed.size()) + " to remove"};
    for (const std::string& path : placed) lines.push_back("\t" + path + " in place");
    for (const std::string& path : removed) lines.push_back("\tRemoved " + path + ": the release no longer lists it");
    lines.push_back("Switch done");
    return lines;
}

std::vector<std::string> leftovers(const Files& files) {
    std::vector<std::string> found;
    for (const auto& entry : files) {
        const std::string& path = entry.first;
        auto endsWith = [&](const std::string& suffix) {
            return path.size() > suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
        };
        if (path == "manifest.txt" || endsWith(".part") || endsWith(".unpacking")) found.push_back(path);
    }
    return found;
}

std::vector<std::string> differences(const Files& actual, const Files& expected) {
    std::vector<std::string> found;
    for (const auto& [path, content] : expected) {
        const auto it = actual.find(path);
        if (it == actual.end()) found.push_back("missing " + path);
        else if (it->second != content) found.push_back("differs " + path);
    }
    for (const auto& entry : actual)
        if (!expected.count(entry.first)) found.push_back("unexpected " + entry.first);
    return found;
}

Files rightFiles(const GameFolder& game, const Files& release) {
    Files right;
    for (const auto& [path, content] : release)
        if (game.exists(path) && game.read(path) == content) right[path] = content;
    return right;
}

UpdaterRun expectFailedRun(const GameFolder& game, const std::string& failure, const std::string& logLine,
                           const Environment& environment) {
    const UpdaterRun run = game.run(60000, environment);
    EXPECT_FALSE(run.process.timedOut);
    EXPECT_EQ(run.process.exitCode, 0);
    expectFailureBox(run.process.err, failure);
    EXPECT_TRUE(std::any_of(run.log.begin(), run.log.end(),
                            [&](const std::string& line) { return line.compare(0, logLine.size(), logLine) == 0; }))
        << ::testing::PrintToString(run.log);
    EXPECT_FALSE(game.gameStarted(300));
    // A cut download of a file with a digest stays as ".part" for the next run to continue.
    std::vector<std::string> left = leftovers(game.files());
    left.erase(std::remove_if(left.begin(), left.end(),
                              [](const std::string& path) { return path.size() > 5 && path.substr(path.size() - 5) == ".part"; }),
               left.end());
    EXPECT_EQ(left, std::vector<std::string>{});
    EXPECT_EQ(game.besideTheFolder(), std::vector<std::string>{});
    return run;
}

void expectFinishedRun(const GameFolder& game, const Files& release, const Environment& environment) {
    const UpdaterRun run = game.run(120000, environment);
    EXPECT_TRUE(run.process.err == box("Done!", "It's a miracle! The update was a success!") ||
                run.process.err == box("Up to date!", "Everything is up to date!"))
        << run.process.err;
    ASSERT_TRUE(game.gameStarted());
    EXPECT_EQ(differences(game.files(), game.finishedFolder(release)), std::vector<std::string>{});
    EXPECT_EQ(game.besideTheFolder(), std::vector<std::string>{});
}
