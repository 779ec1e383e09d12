#include "support/AsyncSshServer.h"

#include <cstdlib>
#include <cstring>
#include <thread>

namespace velunor::test {

namespace {

constexpr auto kStartTimeout = std::chrono::seconds(30);
constexpr const char* kReady = "VELUNOR-ASYNCSSH-READY port=";

std::string Join(const std::vector<std::string>& list) {
    std::string s;
    for (const auto& n : list) s += (s.empty() ? "" : ",") + n;
    return s;
}

// The port from the ready line, 0 while it has not been printed.
uint16_t ReadyPort(const std::string& out) {
    size_t at = out.find(kReady);
    if (at == std::string::npos) return 0;
    size_t end = out.find('\n', at);
    if (end == std::string::npos) return 0;  // the line is not complete yet
    unsigned long n = std::strtoul(out.c_str() + at + std::strlen(kReady), nullptr, 10);
    return n > 0 && n < 65536 ? uint16_t(n) : 0;
}

}  // namespace

std::string InteropScript(const std::string& name) {
    return std::string(VELUNOR_SOURCE_DIR) + "/tests/interop/servers/" + name;
}

AsyncSshServer::AsyncSshServer() = default;

AsyncSshServer::~AsyncSshServer() { Stop(); }

::testing::AssertionResult AsyncSshServer::Start(const AsyncSshOptions& o) {
    Stop();
    port = 0;
    if (dir.Path().empty()) return ::testing::AssertionFailure() << "cannot make a temp directory for asyncssh";
    hostKeys.clear();
    for (const auto& type : o.hostKeyTypes) {
        SshKeyFiles key;
        KeyGenOptions keyOptions;
        keyOptions.comment = "velunor-asyncssh-host-" + type;
        auto r = o.freshHostKeys ? GenerateSshKey(dir.Path(), "host_" + type + "_key", type, key, keyOptions)
                                 : SharedHostKey(type, key);
        if (!r) return r;
        hostKeys.push_back(key);
    }
    sftpRoot = o.sftpRoot.empty() ? dir.MakeDir("sftp-root") : o.sftpRoot;
    if (sftpRoot.empty()) return ::testing::AssertionFailure() << "cannot make the SFTP root";
    std::string keys;
    for (const auto& k : o.authorizedKeys) keys += k + "\n";
    authorizedKeysPath = dir.WriteFile("authorized_keys", keys);
    if (authorizedKeysPath.empty()) return ::testing::AssertionFailure() << "cannot write authorized_keys";

    ProcessSpec command;
    command.program = kPython;
    command.workDir = dir.Path();
    // Unbuffered, so the ready line and the log reach their files as they are written.
    command.env = {{"PYTHONUNBUFFERED", "1"}, {"PYTHONDONTWRITEBYTECODE", "1"}};
    auto& a = command.args;
    a = {"-W", "ignore", InteropScript("asyncssh_server.py"), "--sftp-root", sftpRoot, "--auth", Join(o.authMethods),
         "--username", o.username, "--password", o.password, "--authorized-keys", authorizedKeysPath};
    for (const auto& k : hostKeys) a.insert(a.end(), {"--host-key", k.privatePath});
    auto list = [&a](const char* flag, const std::vector<std::string>& names) {
        if (!names.empty()) a.insert(a.end(), {flag, Join(names)});
    };
    list("--encryption", o.encryption);
    list("--mac", o.macs);
    list("--kex", o.kex);
    list("--compression", o.compression);
    list("--signature", o.signatures);
    if (!o.kbdName.empty()) a.insert(a.end(), {"--kbd-name", o.kbdName});
    if (!o.kbdInstructions.empty()) a.insert(a.end(), {"--kbd-instructions", o.kbdInstructions});
    for (const auto& p : o.kbdPrompts)
        a.insert(a.end(), {"--kbd-prompt", p.prompt, "--kbd-echo", p.echo ? "1" : "0", "--kbd-answer", p.answer});
    a.insert(a.end(), {"--log-level", o.logLevel});
    if (o.rekeyBytes != 0) a.insert(a.end(), {"--rekey-bytes", std::to_string(o.rekeyBytes)});
    if (!o.bannerText.empty()) {
        std::string banner = dir.WriteFile("banner", o.bannerText);
        if (banner.empty()) return ::testing::AssertionFailure() << "cannot write the banner file";
        a.insert(a.end(), {"--banner-file", banner});
    }

    process = std::make_unique<ProcessRunner>(dir.Path());
    if (auto r = process->Start(command); !r) return r;
    auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        port = ReadyPort(process->Stdout());
        if (port != 0) return ::testing::AssertionSuccess();
        if (!process->Running()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    process->Stop();
    return ::testing::AssertionFailure() << "asyncssh server did not report its port in time\n" << Describe();
}

void AsyncSshServer::Stop() {
    if (process) process->Stop();
}

std::string AsyncSshServer::HostKeyMd5(const std::string& algorithm) const {
    for (const auto& k : hostKeys)
        if (k.algorithm == algorithm || k.keygenType == algorithm) return k.md5;
    return {};
}

bool AsyncSshServer::AddAuthorizedKey(const std::string& publicLine) const {
    return !authorizedKeysPath.empty() && WriteTextFile(authorizedKeysPath, publicLine + "\n", 0644, true);
}

std::string AsyncSshServer::Describe() const {
    std::string d = "asyncssh on 127.0.0.1:" + std::to_string(port) + ", sftp root " + sftpRoot;
    if (process) d += "\n" + process->Describe();
    return d;
}

}  // namespace velunor::test
