// Starting and stopping a real server program on a loopback port.
#include "support/loopback_server.h"

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "support/nginx_server.h"

std::string findProgram(const std::vector<std::string>& candidates) {
    for (const std::string& candidate : candidates)
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    return "";
}

void handOverToServerAccount(const std::string& path, const std::string& user) {
    if (geteuid() != 0) return;
    const passwd* account = getpwnam(user.c_str());
    if (!account) return;
    chmod(path.c_str(), 0755);
    if (chown(path.c_str(), account->pw_uid, account->pw_gid) != 0) return;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path, ignored))
        if (chown(entry.path().c_str(), account->pw_uid, account->pw_gid) != 0) return;
}

LoopbackServer::LoopbackServer(const std::string& name, const std::string& program, const CommandForPort& commandFor,
                               const std::string& logFile, int startTimeoutMs)
    : installed_(!program.empty()) {
    if (!installed_) {
        error_ = name + " is not installed (scripts/setup.sh installs it)";
        return;
    }
    for (int attempt = 0; attempt < 5 && port_ == 0; ++attempt) {
        const int port = pickFreeLoopbackPort();
        process_ = std::make_unique<ChildProcess>(commandFor(work_, port), ProcessOptions{"", {}, {}, 24 * 3600 * 1000});
        if (waitForLoopbackPort(port, startTimeoutMs)) {
            port_ = port;
        } else {
            process_->sendSignal(SIGKILL);
            error_ = name + " did not start on port " + std::to_string(port) + ": " + process_->wait(1000).err + work_.read(logFile);
            process_.reset();
        }
    }
}

LoopbackServer::~LoopbackServer() { stop(); }

void LoopbackServer::stop() {
    if (!process_) return;
    process_->sendSignal(SIGTERM);
    process_->wait(3000);
    process_.reset();
}

std::string LoopbackServer::baseUrl() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
