// Runs a real program (the updater, a tool, a server) as a child process with a time bound.
// A sanitizer report on the child's standard error fails the running test.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

struct ProcessOptions {
    // Where the child starts; empty keeps the test's own.
    std::string workingDirectory;
    // Variables set (or replaced) in the child's environment.
    std::vector<std::pair<std::string, std::string>> setEnv;
    // Variables removed from the child's environment.
    std::vector<std::string> unsetEnv;
    // The child is killed (SIGKILL) when it runs longer.
    int timeoutMs = 60000;
};

struct ProcessResult {
    // The exit status, or -1 when the child did not exit normally.
    int exitCode = -1;
    // The signal that ended the child, or 0.
    int signal = 0;
    bool timedOut = false;
    std::string out;
    std::string err;
};

class ChildProcess {
public:
    // Starts `argv`; standard output and error are collected in files until wait().
    ChildProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    void sendSignal(int signal) const;
    // Waits for the end, up to `timeoutMs` (the options' bound when negative), then kills the
    // child; collects the output.
    ProcessResult wait(int timeoutMs = -1);
    // What the child has written to standard error so far.
    std::string errorSoFar() const;

private:
    std::string program_;
    pid_t pid_ = -1;
    int timeoutMs_;
    std::string outPath_;
    std::string errPath_;
    bool waited_ = false;
};

// Starts `argv`, waits for it and returns what it did.
ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// Polls `condition` until it holds or `timeoutMs` has passed; its last answer.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs);

// The number in the test run's environment variable `name`, or `fallback` when it is unset or
// empty: how a slow run (scripts/memcheck.sh) makes the costliest cases smaller.
int numberFromEnvironment(const char* name, int fallback);
