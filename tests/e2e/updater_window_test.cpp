// The real kib-updater on a virtual X display: its window's place, size, decoration and
// caption as X reports them, and what a screenshot of it shows.
//
// Set KIB_SCREENSHOT_DIR to keep the screenshots as PNG files (scripts/screenshot.sh does).
#include <SDL.h>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#include "e2e/update_harness.h"
#include "support/process.h"
#include "support/sdl_surface.h"
#include "support/temp_dir.h"
#include "support/window_layout.h"
#include "support/xvfb.h"
#include "update/own_files.h"
#include "update/staging.h"
#include "ui/pixels.h"
#include "util/md5.h"

namespace {

const char* const kCaption = "kib Updater";

// Accepts connections into its backlog and never answers: the manifest request stays under
// way for as long as the test needs.
class SilentServer {
public:
    SilentServer() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(fd_, 16) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port_ = ntohs(address.sin_port);
    }
    ~SilentServer() { close(fd_); }
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

// Writes a gzip file that unpacks to `mebibytes` MiB of long zero runs between pattern bytes
// (about 60 to 1, within the updater's bound for a download) and returns the unpacked digest.
std::string writeLargeGz(const std::string& path, int mebibytes) {
    gzFile out = gzopen(path.c_str(), "wb1");
    Md5State state;
    md5Init(state);
    std::string block(64 * 1024, '\0');
    for (int i = 0; out && i < mebibytes * 16; ++i) {
        block.replace(block.size() - 1024, 1024, patternBytes(1024, unsigned(i)));
        md5Append(state, reinterpret_cast<const uint8_t*>(block.data()), int32_t(block.size()));
        gzwrite(out, block.data(), unsigned(block.size()));
    }
    if (out) gzclose(out);
    uint8_t digest[16];
    md5Finish(state, digest);
    return md5ToText(digest);
}

std::string rgbText(uint32_t rgb) {
    char text[16];
    std::snprintf(text, sizeof text, "#%06x", rgb);
    return text;
}

uint32_t pictureRgb(SDL_Surface* picture, int x, int y) {
    const Colour colour = getPixelColour(picture, x, y);
    return uint32_t(colour.r) << 16 | uint32_t(colour.g) << 8 | colour.b;
}

class UpdaterWindow : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(display_.started()) << display_.error();
        const std::string pictures = KIB_SOURCE_DIR "/assets/updater/";
        for (const char* name : {"bg.bmp", "progress.bmp", "title.bmp"})
            game_.write(std::string("assets/updater/") + name, readFileBytes(pictures + name));
        background_.reset(SDL_LoadBMP((pictures + "bg.bmp").c_str()));
        title_.reset(SDL_LoadBMP((pictures + "title.bmp").c_str()));
        ASSERT_TRUE(background_ && title_) << SDL_GetError();
        // A window manager would have made this atom; SDL only sets its no-decoration hint
        // when the atom already exists.
        display_.run({"xprop", "-root", "-f", "_MOTIF_WM_HINTS", "32c", "-set", "_MOTIF_WM_HINTS", "0"});
    }

    void TearDown() override {
        // The updater's own children (a message box, the game) are in its process group.
        if (updater_ && updater_->started()) kill(-updater_->pid(), SIGKILL);
        updater_.reset();
    }

    void startUpdater(const std::string& manifestUrl) {
        game_.write("assets/updater/update.cfg", manifestUrl);
        updater_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{KIB_UPDATER_PATH},
            ProcessOptions{game_.path(), {{"DISPLAY", display_.name()}}, {"SDL_VIDEODRIVER"}, 120000});
        ASSERT_TRUE(updater_->started());
    }

    WindowInfo waitForWindow() {
        WindowInfo window;
        waitUntil([&] { return (window = windowByName(display_, kCaption)).found && window.mapState == "IsViewable"; },
                  15000);
        return window;
    }

    Screenshot screenshot(const std::string& name) {
        std::string savePath;
        if (const char* folder = std::getenv("KIB_SCREENSHOT_DIR")) {
            std::filesystem::create_directories(folder);
            savePath = std::string(folder) + "/" + name + ".png";
        }
        return takeScreenshot(display_, 0, 0, kWindowWidth, kWindowHeight, savePath);
    }

    // Columns from the bar's left end on whose middle row the trough of the background no
    // longer shows.
    int barLengthIn(const Screenshot& shot) const {
        const int row = kBarTop + kBarRows / 2;
        int length = 0;
        while (length < kFullBar &&
               shot.at(kBarLeft + length, row) != pictureRgb(background_.get(), backgroundColumnAt(kBarLeft + length), row))
            ++length;
        return length;
    }

    // Every pixel of the shot against the layout, with a bar of `barLength` columns whose rows
    // each hold one colour that is not the background's. Returns the differences found.
    std::vector<std::string> differencesFromLayout(const Screenshot& shot, int barLength) const {
        std::vector<std::string> found;
        auto report = [&](int x, int y, uint32_t actual, const std::string& expected) {
            if (found.size() < 8)
                found.push_back("(" + std::to_string(x) + ", " + std::to_string(y) + ") is " + rgbText(actual) +
                                ", expected " + expected);
        };
        for (int y = 0; y < kWindowHeight; ++y) {
            for (int x = 0; x < kWindowWidth; ++x) {
                const uint32_t actual = shot.at(x, y);
                const uint32_t background = pictureRgb(background_.get(), backgroundColumnAt(x), y);
                switch (layerAt(x, y, barLength, title_.get())) {
                case WindowLayer::Title:
                    if (actual != pictureRgb(title_.get(), x, y))
                        report(x, y, actual, "title " + rgbText(pictureRgb(title_.get(), x, y)));
                    break;
                case WindowLayer::Bar:
                    if (actual == background) report(x, y, actual, "a bar colour");
                    if (actual != shot.at(kBarLeft, y)) report(x, y, actual, "the bar's " + rgbText(shot.at(kBarLeft, y)));
                    break;
                case WindowLayer::Background:
                    if (actual != background) report(x, y, actual, "background " + rgbText(background));
                    break;
                }
            }
        }
        return found;
    }

    XvfbDisplay display_;
    TempDir game_;
    std::unique_ptr<ChildProcess> updater_;
    SurfacePtr background_, title_;
};

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

TEST_F(UpdaterWindow, IsABorderless300By50WindowAtTheTopLeftWithItsCaption) {
    SilentServer server;
    ASSERT_GT(server.port(), 0);
    startUpdater("http://127.0.0.1:" + std::to_string(server.port()) + "/manifest.txt");

    const WindowInfo window = waitForWindow();
    ASSERT_TRUE(window.found) << updater_->errorSoFar();
    EXPECT_EQ(window.x, 0);
    EXPECT_EQ(window.y, 0);
    EXPECT_EQ(window.width, 300);
    EXPECT_EQ(window.height, 50);
    EXPECT_EQ(window.borderWidth, 0);

    const ProcessResult properties = display_.run({"xprop", "-name", kCaption, "WM_NAME", "_MOTIF_WM_HINTS"});
    EXPECT_NE(properties.out.find("WM_NAME(STRING) = \"kib Updater\""), std::string::npos) << properties.out;
    // Motif hints: flags 2 (decorations given), decorations 0 (none at all).
    EXPECT_NE(properties.out.find("_MOTIF_WM_HINTS(_MOTIF_WM_HINTS) = 0x2, 0x0"), std::string::npos) << properties.out;

    // While the manifest is still on its way there is no bar: background and title only.
    Screenshot shot;
    std::vector<std::string> differences;
    waitUntil(
        [&] {
            shot = screenshot("waiting-for-manifest");
            differences = shot.empty() ? std::vector<std::string>{"no screenshot"} : differencesFromLayout(shot, 0);
            return differences.empty();
        },
        5000);
    EXPECT_TRUE(differences.empty()) << joined(differences);
}

TEST_F(UpdaterWindow, EscapeClosesIt) {
    SilentServer server;
    startUpdater("http://127.0.0.1:" + std::to_string(server.port()) + "/manifest.txt");
    ASSERT_TRUE(waitForWindow().found) << updater_->errorSoFar();
    // Key events go to the window under the pointer: there is no window manager to give focus.
    display_.run({"xdotool", "mousemove", "150", "25"});
    display_.run({"xdotool", "key", "Escape"});
    const ProcessResult result = updater_->wait(10000);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_FALSE(windowByName(display_, kCaption).found);
}

// The player presses Escape while the game's largest file is being hashed or unpacked: the
// window answers at once (the work runs beside it), nothing is left half done, and the next
// run completes without fetching again what already arrived.
TEST_F(UpdaterWindow, EscapeAnswersAtOnceWhileALargeFileIsHashedOrUnpacked) {
    const struct {
        const char* name;
        bool unpacking;
        // What the log shows, and what stands in the folder, once Escape was answered.
        const char* line;
    } cases[] = {
        {"hashing", false, "\tComparison stopped"},
        {"unpacking", true, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UpdateServer server;
        ASSERT_TRUE(server.started());
        const std::string old = "the player's old copy";
        game_.write("big.bin", old);
        std::string manifest = "master:" + server.url("files/") + "\n";
        if (c.unpacking) {
            server.put("files/big.bin.gz", "");
            // Large enough that Escape lands while it unpacks; under Valgrind, a fraction is.
            const std::string unpacked =
                writeLargeGz(server.file("files/big.bin.gz"), numberFromEnvironment("KIB_LARGE_GZ_MIB", 512));
            manifest += "big.bin.gz:" + unpacked + "<" + server.md5("files/big.bin.gz") + "\n";
        } else {
            // A gibibyte that reads as zeros: hashing it takes a while, writing it nothing.
            std::filesystem::resize_file(game_.file("big.bin"), int64_t(1) << 30);
            manifest += "big.bin:" + std::string(32, '0') + "\n";
        }
        server.put("release/manifest", manifest);
        game_.write("logs/updater.log", "");
        startUpdater(server.manifestUrl());
        ASSERT_TRUE(waitForWindow().found) << updater_->errorSoFar();
        const bool busy = waitUntil(
            [&] {
                return c.unpacking ? std::filesystem::exists(game_.file(unpackName(stagedName("big.bin"))))
                                   : game_.read("logs/updater.log").find("Manifest obtained. Parsing.") != std::string::npos;
            },
            30000);
        ASSERT_TRUE(busy) << game_.read("logs/updater.log");
        display_.run({"xdotool", "mousemove", "150", "25"});
        display_.run({"xdotool", "key", "Escape"});
        const ProcessResult result = updater_->wait(10000);
        EXPECT_FALSE(result.timedOut);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        const std::string log = game_.read("logs/updater.log");
        if (c.line) {
            EXPECT_NE(log.find(std::string(c.line) + "\n"), std::string::npos) << log;
        }
        EXPECT_FALSE(std::filesystem::exists(game_.file(unpackName(stagedName("big.bin")))));
        if (!c.unpacking) {
            // Nothing was queued from a comparison the player stopped.
            EXPECT_EQ(std::filesystem::file_size(game_.file("big.bin")), uintmax_t(1) << 30);
            for (const std::string& request : server.requests()) EXPECT_EQ(request.find("big.bin"), std::string::npos);
            continue;
        }
        // The verified download stays, the player's copy is untouched, and the next run only
        // unpacks.
        EXPECT_EQ(game_.read("big.bin"), old) << log;
        EXPECT_TRUE(std::filesystem::exists(game_.file(stagedGzipName("big.bin"))));
        const size_t requestsBefore = server.requests().size();
        const ProcessResult again = runProcess({KIB_UPDATER_PATH},
            ProcessOptions{game_.path(), {{"SDL_VIDEODRIVER", "dummy"}}, {"DISPLAY", "http_proxy"}, 120000});
        EXPECT_EQ(again.exitCode, 0) << again.err;
        EXPECT_NE(again.err.find("Done!"), std::string::npos) << again.err;
        EXPECT_EQ(md5OfFile(game_.file("big.bin")), manifest.substr(manifest.find(".gz:") + 4, 32));
        for (const std::string& request : server.requests(requestsBefore))
            EXPECT_EQ(request.find("big.bin"), std::string::npos) << request;
        std::filesystem::remove(game_.file("big.bin"));
    }
}

TEST_F(UpdaterWindow, ASlowedUpdateShowsAPartialBarThatCyclesItsColour) {
    // Three quick files and one that nginx trickles out for minutes: the bar rests at three of
    // four files for as long as the test looks.
    UpdateServer server("    location /release/files/slow/ { limit_rate 2k; }");
    ASSERT_TRUE(server.started());
    std::string manifest = "master:" + server.url("release/files/") + "\n";
    for (const char* path : {"quick/one.bin", "quick/two.bin", "quick/three.bin", "slow/big.bin"}) {
        server.put(std::string("release/files/") + path,
                   patternBytes(std::string(path).rfind("slow", 0) == 0 ? 600000 : 3000, unsigned(manifest.size())));
        manifest += std::string(path) + ":" + server.md5(std::string("release/files/") + path) + "\n";
    }
    server.put("release/manifest", manifest);
    startUpdater(server.manifestUrl());
    ASSERT_TRUE(waitForWindow().found) << updater_->errorSoFar();

    const int threeOfFour = kFullBar * 3 / 4;
    Screenshot shot;
    waitUntil([&] { return barLengthIn(shot = screenshot("partial-bar")) == threeOfFour; }, 30000);
    ASSERT_EQ(barLengthIn(shot), threeOfFour) << "log:\n" << game_.read("logs/updater.log");
    const std::vector<std::string> differences = differencesFromLayout(shot, threeOfFour);
    EXPECT_TRUE(differences.empty()) << joined(differences);

    // The hue steps every 50 ms while files arrive.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const Screenshot later = screenshot("partial-bar-later");
    EXPECT_EQ(barLengthIn(later), threeOfFour);
    EXPECT_NE(later.at(kBarLeft, kBarTop + 4), shot.at(kBarLeft, kBarTop + 4));
    EXPECT_TRUE(differencesFromLayout(later, threeOfFour).empty());
}

}  // namespace
