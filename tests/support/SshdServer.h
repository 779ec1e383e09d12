#pragma once

#include "support/ProcessRunner.h"
#include "support/SshKeys.h"
#include "support/TempDir.h"
#include "support/Tools.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velunor::test {

// One sshd's configuration, chosen per test. Algorithm lists use sshd_config syntax: a leading
// '+' appends to sshd's defaults, a plain list replaces them, empty leaves the default. The
// defaults switch on the old algorithms the client has to speak.
struct SshdOptions {
    std::string ciphers = "+aes128-cbc,aes192-cbc,aes256-cbc,3des-cbc";
    std::string macs = "+hmac-sha1,hmac-md5";
    std::string kexAlgorithms = "+diffie-hellman-group1-sha1";
    std::string hostKeyAlgorithms = "+ssh-rsa,ssh-dss";
    std::string pubkeyAcceptedAlgorithms = "+ssh-rsa,ssh-dss";
    std::vector<std::string> hostKeyTypes = {"rsa", "dsa"};  // ssh-keygen -t, one host key each
    bool freshHostKeys = false;  // false: the process-wide keys (SharedHostKey); true: new ones
    std::string authenticationMethods;                       // e.g. "publickey,password"; empty: any one
    bool passwordAuthentication = true;
    bool kbdInteractiveAuthentication = true;
    bool pubkeyAuthentication = true;
    bool compression = false;
    std::string rekeyLimit;                                  // e.g. "32K" or "1M 10s"; empty: default
    std::string sftpSubsystem = "internal-sftp";             // or "/usr/lib/openssh/sftp-server"
    std::string bannerText;                                  // sent before authentication when set
    // "DEBUG1" also logs each key exchange ("SSH2_MSG_KEXINIT received") with the negotiated
    // "kex: client->server cipher: ... MAC: ... compression: ..." lines.
    std::string logLevel = "VERBOSE";
    // Lines written before everything above; sshd keeps the first value it reads for a keyword,
    // so these override the fields.
    std::vector<std::string> extraConfig;
};

// A throwaway OpenSSH server on 127.0.0.1: its own config, host keys, authorized_keys, pid file
// and log in a temp directory, run in the foreground (-D -e) and stopped by its pid.
class SshdServer {
public:
    static constexpr const char* kSshd = kSshdBinary;

    SshdServer();
    ~SshdServer();
    SshdServer(const SshdServer&) = delete;
    SshdServer& operator=(const SshdServer&) = delete;

    // Writes the config, generates host keys, checks the config with `sshd -t`, starts sshd on
    // a free port and waits (bounded) until it accepts connections. Needs root.
    ::testing::AssertionResult Start(const SshdOptions& options = {});
    void Stop();

    // Writes the config and host keys only (no server) so a test can run sshd -t or -T on it.
    ::testing::AssertionResult Prepare(const SshdOptions& options = {});

    uint16_t Port() const { return port; }
    pid_t Pid() const { return process ? process->Pid() : -1; }
    const std::string& Dir() const { return dir.Path(); }
    const std::string& ConfigPath() const { return configPath; }
    const std::string& AuthorizedKeysPath() const { return authorizedKeysPath; }
    const std::vector<SshKeyFiles>& HostKeys() const { return hostKeys; }
    // MD5 fingerprint ("aa:bb:...") of the host key for "ssh-rsa"/"ssh-dss" (or "rsa"/"dsa");
    // empty if there is none.
    std::string HostKeyMd5(const std::string& algorithm) const;
    // Appends one public key line; sshd reads the file at each login.
    bool AddAuthorizedKey(const std::string& publicLine) const;
    std::string Log() const { return process ? process->Stderr() : std::string(); }
    // Command line, state and the end of sshd's log, for failure messages.
    std::string Describe() const;

private:
    TempDir dir{0755};  // sshd reads authorized_keys as the logged-in user, who must get through
    std::unique_ptr<ProcessRunner> process;
    std::vector<SshKeyFiles> hostKeys;
    std::string configPath;
    std::string authorizedKeysPath;
    uint16_t port = 0;
};

// `sshd -t -f config` (syntax, keys and algorithm names), and `sshd -T` (the effective values).
CommandResult CheckSshdConfig(const std::string& configPath);
CommandResult DumpSshdConfig(const std::string& configPath);

}  // namespace velunor::test
