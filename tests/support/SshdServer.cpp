#include "support/SshdServer.h"

#include "support/LocalPort.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

namespace velunor::test {

namespace {

constexpr auto kStartTimeout = std::chrono::seconds(15);

// sshd refuses to start without its privilege-separation directory; a fresh machine where
// the service never ran has none.
::testing::AssertionResult EnsurePrivsepDir() {
    if (mkdir("/run/sshd", 0755) != 0 && errno != EEXIST)
        return ::testing::AssertionFailure() << "cannot create /run/sshd: " << std::strerror(errno);
    return ::testing::AssertionSuccess();
}

std::string ConfigText(const SshdOptions& o, const std::vector<SshKeyFiles>& hostKeys, uint16_t port,
                       const std::string& dir, const std::string& authorizedKeys, const std::string& bannerPath) {
    std::ostringstream c;
    auto yesNo = [](bool b) { return b ? "yes" : "no"; };
    auto line = [&c](const char* keyword, const std::string& value) {
        if (!value.empty()) c << keyword << " " << value << "\n";
    };
    for (const auto& extra : o.extraConfig) c << extra << "\n";
    c << "ListenAddress 127.0.0.1\n";
    c << "Port " << port << "\n";
    for (const auto& k : hostKeys) c << "HostKey " << k.privatePath << "\n";
    c << "PidFile " << dir << "/sshd.pid\n";
    c << "LogLevel " << o.logLevel << "\n";
    c << "UsePAM yes\n";
    c << "PasswordAuthentication " << yesNo(o.passwordAuthentication) << "\n";
    c << "KbdInteractiveAuthentication " << yesNo(o.kbdInteractiveAuthentication) << "\n";
    c << "PubkeyAuthentication " << yesNo(o.pubkeyAuthentication) << "\n";
    c << "AuthorizedKeysFile " << authorizedKeys << "\n";
    c << "StrictModes no\n";
    c << "PermitRootLogin no\n";
    c << "UseDNS no\n";
    c << "PrintMotd no\n";
    c << "X11Forwarding no\n";
    c << "LoginGraceTime 60\n";
    c << "Compression " << yesNo(o.compression) << "\n";
    line("Ciphers", o.ciphers);
    line("MACs", o.macs);
    line("KexAlgorithms", o.kexAlgorithms);
    line("HostKeyAlgorithms", o.hostKeyAlgorithms);
    line("PubkeyAcceptedAlgorithms", o.pubkeyAcceptedAlgorithms);
    line("AuthenticationMethods", o.authenticationMethods);
    line("RekeyLimit", o.rekeyLimit);
    line("Banner", bannerPath);
    c << "Subsystem sftp " << o.sftpSubsystem << "\n";
    return c.str();
}

}  // namespace

SshdServer::SshdServer() = default;

SshdServer::~SshdServer() { Stop(); }

::testing::AssertionResult SshdServer::Prepare(const SshdOptions& options) {
    if (dir.Path().empty()) return ::testing::AssertionFailure() << "cannot make a temp directory for sshd";
    hostKeys.clear();
    for (const auto& type : options.hostKeyTypes) {
        SshKeyFiles key;
        KeyGenOptions keyOptions;
        keyOptions.comment = "velunor-host-" + type;
        auto r = options.freshHostKeys
                     ? GenerateSshKey(dir.Path(), "ssh_host_" + type + "_key", type, key, keyOptions)
                     : SharedHostKey(type, key);
        if (!r) return r;
        hostKeys.push_back(key);
    }
    authorizedKeysPath = dir.Join("authorized_keys");
    if (!WriteTextFile(authorizedKeysPath, "", 0644))
        return ::testing::AssertionFailure() << "cannot write " << authorizedKeysPath;
    std::string bannerPath;
    if (!options.bannerText.empty()) {
        bannerPath = dir.WriteFile("banner", options.bannerText);
        if (bannerPath.empty()) return ::testing::AssertionFailure() << "cannot write the banner file";
    }
    port = PickFreePort();
    if (port == 0) return ::testing::AssertionFailure() << "no free port on 127.0.0.1";
    configPath = dir.WriteFile("sshd_config", ConfigText(options, hostKeys, port, dir.Path(), authorizedKeysPath,
                                                         bannerPath));
    if (configPath.empty()) return ::testing::AssertionFailure() << "cannot write sshd_config";
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult SshdServer::Start(const SshdOptions& options) {
    Stop();
    if (geteuid() != 0)
        return ::testing::AssertionFailure() << "the sshd fixture needs root (privilege separation, PAM logins)";
    if (auto r = EnsurePrivsepDir(); !r) return r;
    if (auto r = Prepare(options); !r) return r;
    if (CommandResult check = CheckSshdConfig(configPath); !check.Ok())
        return ::testing::AssertionFailure() << "sshd rejects its config:\n"
                                             << check.description << "\n--- config ---\n"
                                             << ReadTextFile(configPath);

    // The free port can be taken before sshd binds it; then sshd exits and another port is tried.
    std::string failures;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (attempt > 0) {
            uint16_t next = PickFreePort();
            std::string text = ReadTextFile(configPath);
            std::string from = "\nPort " + std::to_string(port) + "\n";
            size_t at = text.find(from);
            if (next == 0 || at == std::string::npos) break;
            text.replace(at, from.size(), "\nPort " + std::to_string(next) + "\n");
            if (!WriteTextFile(configPath, text)) break;
            port = next;
        }
        process = std::make_unique<ProcessRunner>(dir.Path());
        ProcessSpec command;
        command.program = kSshd;
        command.args = {"-D", "-e", "-f", configPath};
        if (auto r = process->Start(command); !r) return r;
        ProcessRunner* p = process.get();
        if (WaitForTcpPort(port, kStartTimeout, [p] { return p->Running(); }))
            return ::testing::AssertionSuccess();
        process->Stop();
        failures += "\n" + process->Describe();
    }
    return ::testing::AssertionFailure() << "sshd did not start listening on 127.0.0.1:" << port << failures;
}

void SshdServer::Stop() {
    if (process) process->Stop();
}

std::string SshdServer::HostKeyMd5(const std::string& algorithm) const {
    for (const auto& k : hostKeys)
        if (k.algorithm == algorithm || k.keygenType == algorithm) return k.md5;
    return {};
}

bool SshdServer::AddAuthorizedKey(const std::string& publicLine) const {
    return !authorizedKeysPath.empty() && WriteTextFile(authorizedKeysPath, publicLine + "\n", 0644, true);
}

std::string SshdServer::Describe() const {
    std::string d = "sshd on 127.0.0.1:" + std::to_string(port) + ", config " + configPath;
    if (process) d += "\n" + process->Describe();
    return d;
}

CommandResult CheckSshdConfig(const std::string& configPath) {
    return RunCommand(SshdServer::kSshd, {"-t", "-f", configPath}, std::chrono::seconds(30));
}

CommandResult DumpSshdConfig(const std::string& configPath) {
    return RunCommand(SshdServer::kSshd, {"-T", "-f", configPath}, std::chrono::seconds(30));
}

}  // namespace velunor::test
