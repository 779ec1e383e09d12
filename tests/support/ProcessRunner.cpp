#include "support/ProcessRunner.h"

#include "support/TempDir.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif

extern char** environ;

namespace velunor::test {

namespace {

constexpr auto kPollStep = std::chrono::milliseconds(10);

std::string BaseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Quote(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"'\\$") == std::string::npos) return arg;
    std::string q = "'";
    for (char c : arg) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::vector<std::string> BuildEnvironment(const std::vector<std::pair<std::string, std::string>>& overrides) {
    std::vector<std::string> env;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        std::string entry = *e;
        std::string key = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& [k, v] : overrides) replaced = replaced || k == key;
        if (!replaced) env.push_back(std::move(entry));
    }
    for (const auto& [k, v] : overrides) env.push_back(k + "=" + v);
    return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> p;
    for (auto& s : strings) p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

[[noreturn]] void FailChild(int errFd) {
    int e = errno;
    ssize_t ignored = write(errFd, &e, sizeof e);
    (void)ignored;
    _exit(127);
}

// Between fork and exec only async-signal-safe calls: the test process has threads.
[[noreturn]] void ExecChild(pid_t parent, int errFd, const char* program, char* const* argv, char* const* envp,
                            const char* inPath, const char* outPath, const char* errPath, const char* workDir) {
    auto fail = [errFd]() { FailChild(errFd); };
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);  // the parent died before the line above took effect

    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &dfl, nullptr);

    int in = open(inPath, O_RDONLY);
    int out = open(outPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) fail();
    if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) fail();
    if (workDir[0] != '\0' && chdir(workDir) != 0) fail();
    // The test process's sockets and files stay behind; the error pipe closes at exec.
    close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    execve(program, argv, envp);
    FailChild(errFd);
}

}  // namespace

ProcessRunner::ProcessRunner(std::string dir) : logDir(std::move(dir)) {
    if (logDir.empty()) {
        ownDir = std::make_unique<TempDir>();
        logDir = ownDir->Path();
    }
}

ProcessRunner::~ProcessRunner() { Stop(); }

::testing::AssertionResult ProcessRunner::Start(const ProcessSpec& command) {
    static std::atomic<unsigned> counter{0};
    if (pid > 0 && !reaped) return ::testing::AssertionFailure() << "runner already holds pid " << pid;
    if (logDir.empty()) return ::testing::AssertionFailure() << "no directory for the output of " << command.program;
    if (command.program.empty() || command.program[0] != '/')
        return ::testing::AssertionFailure() << "program must be an absolute path: '" << command.program << "'";

    std::string stem = logDir + "/" + BaseName(command.program) + "-" + std::to_string(counter++);
    outPath = stem + ".out";
    errPath = stem + ".err";
    std::string inPath = "/dev/null";
    if (!command.stdinText.empty()) {
        inPath = stem + ".in";
        if (!WriteTextFile(inPath, command.stdinText, 0600))
            return ::testing::AssertionFailure() << "cannot write " << inPath;
    }

    std::vector<std::string> argStrings{command.program};
    argStrings.insert(argStrings.end(), command.args.begin(), command.args.end());
    commandLine.clear();
    for (const auto& a : argStrings) commandLine += (commandLine.empty() ? "" : " ") + Quote(a);
    std::vector<std::string> envStrings = BuildEnvironment(command.env);
    std::vector<char*> argv = Pointers(argStrings);
    std::vector<char*> envp = Pointers(envStrings);

    int errPipe[2];
    if (pipe2(errPipe, O_CLOEXEC) != 0)
        return ::testing::AssertionFailure() << "pipe: " << std::strerror(errno);
    pid_t parent = getpid();
    pid_t child = fork();
    if (child < 0) {
        int e = errno;
        close(errPipe[0]);
        close(errPipe[1]);
        return ::testing::AssertionFailure() << "fork: " << std::strerror(e);
    }
    if (child == 0)
        ExecChild(parent, errPipe[1], command.program.c_str(), argv.data(), envp.data(), inPath.c_str(),
                  outPath.c_str(), errPath.c_str(), command.workDir.c_str());

    close(errPipe[1]);
    pid = child;
    reaped = false;
    exitCode = -1;
    // The pipe closes at exec (success) or carries errno (failure): either comes at once.
    int childErrno = 0;
    ssize_t n;
    do {
        n = read(errPipe[0], &childErrno, sizeof childErrno);
    } while (n < 0 && errno == EINTR);
    close(errPipe[0]);
    if (n == ssize_t(sizeof childErrno)) {
        Stop();
        return ::testing::AssertionFailure() << "cannot start " << commandLine << ": " << std::strerror(childErrno);
    }
    return ::testing::AssertionSuccess();
}

void ProcessRunner::Reaped(int status) {
    reaped = true;
    if (WIFEXITED(status))
        exitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        exitCode = 128 + WTERMSIG(status);
}

bool ProcessRunner::Running() {
    if (pid <= 0 || reaped) return false;
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) {
        Reaped(status);
        return false;
    }
    if (r < 0 && errno == ECHILD) {  // reaped elsewhere; never signal that pid again
        reaped = true;
        return false;
    }
    return true;
}

bool ProcessRunner::WaitExit(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Running()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kPollStep);
    }
    return pid > 0;
}

void ProcessRunner::Stop(std::chrono::milliseconds grace) {
    if (!Running()) return;
    kill(pid, SIGTERM);
    if (WaitExit(grace)) return;
    kill(pid, SIGKILL);
    // SIGKILL cannot be caught; the bound only covers a child stuck in the kernel.
    WaitExit(std::chrono::seconds(10));
}

std::string ProcessRunner::Stdout() const { return outPath.empty() ? std::string() : ReadTextFile(outPath); }
std::string ProcessRunner::Stderr() const { return errPath.empty() ? std::string() : ReadTextFile(errPath); }

std::string ProcessRunner::Describe() const {
    std::string d = "`" + commandLine + "`";
    if (pid <= 0)
        d += " (not started)";
    else if (!reaped)
        d += " (pid " + std::to_string(pid) + ", running)";
    else
        d += " (pid " + std::to_string(pid) + ", exit code " + std::to_string(exitCode) + ")";
    std::string err = Tail(Stderr());
    if (!err.empty()) d += "\n--- stderr ---\n" + err;
    return d;
}

CommandResult RunCommand(const ProcessSpec& command, std::chrono::milliseconds timeout) {
    CommandResult result;
    ProcessRunner runner;
    auto started = runner.Start(command);
    if (!started) {
        result.description = started.message();
        return result;
    }
    result.started = true;
    result.timedOut = !runner.WaitExit(timeout);
    runner.Stop();
    result.exitCode = runner.ExitCode();
    result.out = runner.Stdout();
    result.err = runner.Stderr();
    result.description = runner.Describe();
    if (result.timedOut) result.description += "\n(timed out and stopped)";
    std::string out = Tail(result.out);
    if (!out.empty()) result.description += "\n--- stdout ---\n" + out;
    return result;
}

CommandResult RunCommand(const std::string& program, const std::vector<std::string>& args,
                         std::chrono::milliseconds timeout) {
    ProcessSpec command;
    command.program = program;
    command.args = args;
    return RunCommand(command, timeout);
}

std::string Tail(const std::string& text, size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    return "..." + text.substr(text.size() - maxBytes);
}

}  // namespace velunor::test
