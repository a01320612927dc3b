// A virtual X display (Debian's Xvfb) for tests that need a real window, and the X tools that
// inspect it: window geometry and properties, and screenshots.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/temp_dir.h"

class XvfbDisplay {
public:
    // Starts Xvfb on the first free display number (Xvfb picks it and reports it), with one
    // 640 by 480 screen of 24 bits per pixel. Check started() (and error()).
    XvfbDisplay();
    // Ends the server with SIGTERM, so that it removes its lock file and socket.
    ~XvfbDisplay();

    bool started() const { return !name_.empty(); }
    const std::string& error() const { return error_; }
    // ":N", the value for DISPLAY.
    const std::string& name() const { return name_; }
    // Runs an X client on this display and waits for it (bounded).
    ProcessResult run(const std::vector<std::string>& argv, int timeoutMs = 10000) const;

private:
    TempDir work_;
    std::unique_ptr<ChildProcess> server_;
    std::string name_;
    std::string error_;
};

// What xwininfo says about a window.
struct WindowInfo {
    bool found = false;
    int x = -1;
    int y = -1;
    int width = -1;
    int height = -1;
    int borderWidth = -1;
    std::string mapState;
};

// Looks the window up by its title (WM_NAME) on `display`.
WindowInfo windowByName(const XvfbDisplay& display, const std::string& title);

// Pixels of a screen area as 8-bit red, green, blue.
struct Screenshot {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;

    bool empty() const { return rgb.empty(); }
    uint32_t at(int x, int y) const {
        const size_t i = (size_t(y) * width + x) * 3;
        return uint32_t(rgb[i]) << 16 | uint32_t(rgb[i + 1]) << 8 | rgb[i + 2];
    }
};

// Takes the area (x, y, width, height) of the root window with ImageMagick's import, as a user
// would see it. When `savePath` is not empty the same area is also saved there (any format
// import knows by the file's extension). Empty on failure.
Screenshot takeScreenshot(const XvfbDisplay& display, int x, int y, int width, int height,
                          const std::string& savePath = "");
