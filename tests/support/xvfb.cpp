// Starts Xvfb and reads windows and pixels back with xwininfo and ImageMagick.
#include "support/xvfb.h"

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace {

// Parses a binary PPM (P6, maxval 255) as import writes it.
Screenshot parsePpm(const std::string& bytes) {
    Screenshot shot;
    std::istringstream in(bytes);
    std::string magic;
    int maxValue = 0;
    in >> magic >> shot.width >> shot.height >> maxValue;
    if (magic != "P6" || maxValue != 255 || shot.width <= 0 || shot.height <= 0) return {};
    in.get();  // the single whitespace byte before the pixels
    const size_t size = size_t(shot.width) * shot.height * 3;
    const size_t offset = size_t(in.tellg());
    if (bytes.size() < offset + size) return {};
    shot.rgb.assign(bytes.begin() + offset, bytes.begin() + offset + size);
    return shot;
}

int numberAfter(const std::string& text, const std::string& label) {
    const size_t at = text.find(label);
    if (at == std::string::npos) return -1;
    return std::atoi(text.c_str() + at + label.size());
}

}  // namespace

XvfbDisplay::XvfbDisplay() {
    // -displayfd lets Xvfb choose a free display number itself and tell it once it accepts
    // clients; the shell only connects that descriptor to a file.
    const std::string numberFile = work_.file("display");
    server_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"sh", "-c",
                                 "exec Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp -noreset 3>'" +
                                     numberFile + "'"},
        ProcessOptions{"", {}, {}, 24 * 3600 * 1000});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string number = work_.read("display");
        if (!number.empty() && number.back() == '\n') {
            name_ = ":" + number.substr(0, number.size() - 1);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    error_ = "Xvfb did not report a display: " + server_->errorSoFar();
}

XvfbDisplay::~XvfbDisplay() {
    server_->sendSignal(SIGTERM);
    server_->wait(5000);
}

ProcessResult XvfbDisplay::run(const std::vector<std::string>& argv, int timeoutMs) const {
    return runProcess(argv, ProcessOptions{"", {{"DISPLAY", name_}}, {}, timeoutMs});
}

WindowInfo windowByName(const XvfbDisplay& display, const std::string& title) {
    WindowInfo info;
    const ProcessResult result = display.run({"xwininfo", "-name", title});
    if (result.exitCode != 0) return info;
    info.found = true;
    info.x = numberAfter(result.out, "Absolute upper-left X:");
    info.y = numberAfter(result.out, "Absolute upper-left Y:");
    info.width = numberAfter(result.out, "Width:");
    info.height = numberAfter(result.out, "Height:");
    info.borderWidth = numberAfter(result.out, "Border width:");
    const size_t at = result.out.find("Map State: ");
    if (at != std::string::npos) info.mapState = result.out.substr(at + 11, result.out.find('\n', at) - at - 11);
    return info;
}

Screenshot takeScreenshot(const XvfbDisplay& display, int x, int y, int width, int height,
                          const std::string& savePath) {
    const std::string area = std::to_string(width) + "x" + std::to_string(height) + "+" + std::to_string(x) + "+" +
                             std::to_string(y);
    TempDir work;
    const std::string ppm = work.file("shot.ppm");
    const ProcessResult result =
        display.run({"import", "-window", "root", "-crop", area, "+repage", "-depth", "8", "ppm:" + ppm});
    if (result.exitCode != 0) return {};
    if (!savePath.empty()) runProcess({"convert", ppm, savePath});
    return parsePpm(readFileBytes(ppm));
}
