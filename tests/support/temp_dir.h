// A fresh folder per test, removed with everything in it when the test ends.
#pragma once

#include <string>

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // The absolute path of `relative` inside the folder.
    std::string file(const std::string& relative) const { return path_ + "/" + relative; }
    // Writes `content` to `relative`, creating its directories.
    void write(const std::string& relative, const std::string& content) const;
    // The whole content of `relative`; empty when it cannot be read.
    std::string read(const std::string& relative) const;
    bool exists(const std::string& relative) const;

private:
    std::string path_;
};

// Runs the rest of a scope inside `dir`, so relative paths behave as in the updater, which
// works in the game's folder. Restores the previous working directory.
class ScopedWorkingDirectory {
public:
    explicit ScopedWorkingDirectory(const std::string& dir);
    ~ScopedWorkingDirectory();
    ScopedWorkingDirectory(const ScopedWorkingDirectory&) = delete;
    ScopedWorkingDirectory& operator=(const ScopedWorkingDirectory&) = delete;

private:
    std::string previous_;
};

// The whole content of a file; empty when it cannot be read.
std::string readFileBytes(const std::string& path);
void writeFileBytes(const std::string& path, const std::string& content);
// `count` bytes of a repeatable pseudo-random pattern.
std::string patternBytes(size_t count, unsigned seed = 1);
