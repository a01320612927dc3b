// What the real servers of the tests share (Apache httpd, squid, Python's http.server): each is
// started by the test in the foreground on a free loopback port, with its configuration and
// logs in a temporary folder of its own, and stopped when the test ends.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/temp_dir.h"

// The first of `candidates` that is an executable file; empty when none is (the package is not
// installed: the test skips).
std::string findProgram(const std::vector<std::string>& candidates);

// On a root test run, hands `path` and everything in it to the system account `user` (a server
// that drops root's rights, as Apache httpd and squid do, must write its logs and cache there)
// and lets every account pass through the folder. Nothing happens when not root.
void handOverToServerAccount(const std::string& path, const std::string& user);

class LoopbackServer {
public:
    // Writes the configuration for a port into the work folder and gives the command line.
    using CommandForPort = std::function<std::vector<std::string>(const TempDir& work, int port)>;

    // `name` is used in error(); `program` empty means the package is missing: then
    // installed() is false and nothing is started. Otherwise the command runs until a
    // connection to its port succeeds, within `startTimeoutMs`; a port taken by someone else
    // in the meantime is retried with another. When it does not start, error() holds its
    // standard error and the work folder's `logFile`.
    LoopbackServer(const std::string& name, const std::string& program, const CommandForPort& commandFor,
                   const std::string& logFile, int startTimeoutMs = 10000);
    // Stops the server.
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    bool installed() const { return installed_; }
    bool started() const { return port_ > 0; }
    // Why it is not running: the package missing, or what the server said when it did not start.
    const std::string& error() const { return error_; }
    int port() const { return port_; }
    // "http://127.0.0.1:PORT/"
    std::string baseUrl() const;
    const TempDir& work() const { return work_; }
    // SIGTERM, and SIGKILL after three seconds; the destructor does it too.
    void stop();

private:
    TempDir work_;
    std::unique_ptr<ChildProcess> process_;
    bool installed_ = false;
    int port_ = 0;
    std::string error_;
};
