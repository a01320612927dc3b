// Child processes for end-to-end tests.
#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

extern char** environ;

#include "support/temp_dir.h"

namespace {

std::string makeCaptureFile(const char* name) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/kib-" + name + "-XXXXXX";
    const int fd = mkstemp(pattern.data());
    if (fd >= 0) close(fd);
    return pattern;
}

// The sanitizer builds build the updater and the tools with the same sanitizer as the tests,
// and the runtime reports on standard error. A report fails the test that ran the program even
// when the test looks only at the exit code, or at nothing (a child it kills).
void failOnSanitizerReport(const std::string& program, const std::string& err) {
    for (const char* marker : {"WARNING: ThreadSanitizer:", "ERROR: AddressSanitizer:", "ERROR: LeakSanitizer:",
                               ": runtime error: "}) {
        const size_t at = err.find(marker);
        if (at == std::string::npos) continue;
        const size_t line = err.rfind('\n', at);
        ADD_FAILURE() << program << " reported:\n" << err.substr(line == std::string::npos ? 0 : line + 1);
        return;
    }
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const ProcessOptions& options)
    : program_(argv.empty() ? std::string() : argv[0]), timeoutMs_(options.timeoutMs), outPath_(makeCaptureFile("out")), errPath_(makeCaptureFile("err")) {
    // Everything the child needs is prepared here: after fork() in a threaded test binary the
    // child may only make async-signal-safe calls.
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        const std::string variable(*entry);
        const std::string name = variable.substr(0, variable.find('='));
        bool replaced = false;
        for (const auto& set : options.setEnv) replaced = replaced || set.first == name;
        for (const std::string& unset : options.unsetEnv) replaced = replaced || unset == name;
        if (!replaced) environment.push_back(variable);
    }
    for (const auto& [name, value] : options.setEnv) environment.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& variable : environment) envp.push_back(variable.data());
    envp.push_back(nullptr);
    std::vector<char*> args;
    for (const std::string& argument : argv) args.push_back(const_cast<char*>(argument.c_str()));
    args.push_back(nullptr);
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out = open(outPath_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    const int err = open(errPath_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    const char* directory = options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str();

    pid_ = fork();
    if (pid_ == 0) {
        setpgid(0, 0);
        if (directory && chdir(directory) != 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(in);
    close(out);
    close(err);
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !waited_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        failOnSanitizerReport(program_, readFileBytes(errPath_));
    }
    unlink(outPath_.c_str());
    unlink(errPath_.c_str());
}

void ChildProcess::sendSignal(int signal) const {
    if (pid_ > 0 && !waited_) kill(pid_, signal);
}

std::string ChildProcess::errorSoFar() const { return readFileBytes(errPath_); }

ProcessResult ChildProcess::wait(int timeoutMs) {
    ProcessResult result;
    if (pid_ <= 0 || waited_) return result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs >= 0 ? timeoutMs : timeoutMs_);
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            result.timedOut = true;
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    waited_ = true;
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    result.out = readFileBytes(outPath_);
    result.err = readFileBytes(errPath_);
    failOnSanitizerReport(program_, result.err);
    return result;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
    ChildProcess child(argv, options);
    return child.wait();
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

int numberFromEnvironment(const char* name, int fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::atoi(value) : fallback;
}
