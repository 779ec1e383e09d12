#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velunor::test {

class TempDir;

// What to run. The program is an absolute path: no PATH search, so a test runs exactly the
// binary it names.
struct ProcessSpec {
    std::string program;
    std::vector<std::string> args;                             // argv[1..]
    std::vector<std::pair<std::string, std::string>> env;      // set on top of this process's environment
    std::string workDir;                                       // empty: inherit
    std::string stdinText;                                     // fed through a file; empty: /dev/null
};

// One child process, started and stopped by its pid. stdout and stderr go to files so that a
// chatty child never blocks on a full pipe and its output survives for the failure message.
// The destructor stops it (SIGTERM, bounded wait, SIGKILL, waitpid): no zombie, no stray server.
// The child also gets SIGTERM if this process dies first, so a crashed test leaves no server
// holding a port.
class ProcessRunner {
public:
    // Output files go to logDir; empty: a private temp directory owned by the runner.
    explicit ProcessRunner(std::string logDir = {});
    ~ProcessRunner();
    ProcessRunner(const ProcessRunner&) = delete;
    ProcessRunner& operator=(const ProcessRunner&) = delete;

    ::testing::AssertionResult Start(const ProcessSpec& command);

    pid_t Pid() const { return pid; }
    // True while started and not yet reaped; reaps the child when it has exited.
    bool Running();
    // Waits up to `timeout` for the child to exit on its own; true when it has (and is reaped).
    bool WaitExit(std::chrono::milliseconds timeout);
    // SIGTERM, up to `grace` for it to go, then SIGKILL; always reaps. Safe to call twice.
    void Stop(std::chrono::milliseconds grace = std::chrono::seconds(5));

    // After exit: the exit status, or 128 + signal number as a shell reports it; -1 before.
    int ExitCode() const { return exitCode; }
    const std::string& StdoutPath() const { return outPath; }
    const std::string& StderrPath() const { return errPath; }
    std::string Stdout() const;
    std::string Stderr() const;
    // Command line, state and the tail of stderr, for failure messages.
    std::string Describe() const;

private:
    void Reaped(int status);

    std::unique_ptr<TempDir> ownDir;
    std::string logDir;
    std::string commandLine;
    std::string outPath;
    std::string errPath;
    pid_t pid = -1;
    bool reaped = false;
    int exitCode = -1;
};

struct CommandResult {
    bool started = false;
    bool timedOut = false;
    int exitCode = -1;     // as ProcessRunner::ExitCode
    std::string out;
    std::string err;
    std::string description;  // command line and outcome, for failure messages

    bool Ok() const { return started && !timedOut && exitCode == 0; }
};

// Runs a tool (ssh-keygen, openssl, puttygen, a Python check script) to completion, bounded by
// `timeout`; a tool still running then is stopped by its pid and reported as timed out.
CommandResult RunCommand(const ProcessSpec& command, std::chrono::milliseconds timeout = std::chrono::seconds(60));
CommandResult RunCommand(const std::string& program, const std::vector<std::string>& args,
                         std::chrono::milliseconds timeout = std::chrono::seconds(60));

// The last `maxBytes` of a text, for failure messages.
std::string Tail(const std::string& text, size_t maxBytes = 2000);

}  // namespace velunor::test
