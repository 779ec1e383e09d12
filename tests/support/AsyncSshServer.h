#pragma once

#include "support/ProcessRunner.h"
#include "support/SshKeys.h"
#include "support/TempDir.h"
#include "support/TestAccount.h"
#include "support/Tools.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velunor::test {

// One keyboard-interactive prompt the server sends and the answer it accepts.
struct KbdPrompt {
    std::string prompt;
    bool echo = false;
    std::string answer;
};

// One asyncssh server's configuration, chosen per test. An empty algorithm list means every
// algorithm this asyncssh offers (old ones included), so the client picks; name one to force it.
struct AsyncSshOptions {
    std::vector<std::string> encryption;   // e.g. {"blowfish-cbc"}
    std::vector<std::string> macs;         // e.g. {"hmac-md5"}
    std::vector<std::string> kex;          // e.g. {"diffie-hellman-group1-sha1"}
    std::vector<std::string> compression;  // e.g. {"zlib"} (plain zlib, from the first packet)
    std::vector<std::string> signatures;   // accepted for publickey auth
    std::vector<std::string> hostKeyTypes = {"rsa", "dsa"};  // ssh-keygen -t, one host key each
    bool freshHostKeys = false;  // false: the process-wide keys (SharedHostKey); true: new ones
    // Any of "password", "keyboard-interactive", "publickey"; "none" lets everyone in unasked.
    std::vector<std::string> authMethods = {"password", "keyboard-interactive", "publickey"};
    // Users exist only in the server, no system account; the names match TestAccount's so a
    // test can run the same login against both servers.
    std::string username = TestAccount::kUser;
    std::string password = TestAccount::kPassword;
    std::string kbdName;
    std::string kbdInstructions;
    std::vector<KbdPrompt> kbdPrompts;     // empty: one hidden "Password: " answered by `password`
    std::vector<std::string> authorizedKeys;  // public key lines accepted for publickey
    uint64_t rekeyBytes = 0;               // 0: asyncssh's default (1 GiB)
    std::string bannerText;                // sent before authentication when set
    std::string sftpRoot;                  // shown to the client as /; empty: a fresh directory
    // "DEBUG" also logs each key exchange ("Beginning key exchange") and auth step.
    std::string logLevel = "INFO";
};

// The asyncssh SSH + SFTP server (tests/interop/servers/asyncssh_server.py under /usr/bin/python3)
// on 127.0.0.1. It binds port 0 and announces the port on stdout; the fixture waits for that
// line to a deadline and stops the process by its pid.
class AsyncSshServer {
public:
    static constexpr const char* kPython = kPython3;

    AsyncSshServer();
    ~AsyncSshServer();
    AsyncSshServer(const AsyncSshServer&) = delete;
    AsyncSshServer& operator=(const AsyncSshServer&) = delete;

    ::testing::AssertionResult Start(const AsyncSshOptions& options = {});
    void Stop();

    uint16_t Port() const { return port; }
    pid_t Pid() const { return process ? process->Pid() : -1; }
    const std::string& Dir() const { return dir.Path(); }
    const std::string& SftpRoot() const { return sftpRoot; }
    const std::string& AuthorizedKeysPath() const { return authorizedKeysPath; }
    const std::vector<SshKeyFiles>& HostKeys() const { return hostKeys; }
    // MD5 fingerprint ("aa:bb:...") of the host key for "ssh-rsa"/"ssh-dss" (or "rsa"/"dsa").
    std::string HostKeyMd5(const std::string& algorithm) const;
    // Appends one public key line; the server reads the file again at each login.
    bool AddAuthorizedKey(const std::string& publicLine) const;
    std::string Log() const { return process ? process->Stderr() : std::string(); }
    std::string Describe() const;

private:
    TempDir dir;
    std::unique_ptr<ProcessRunner> process;
    std::vector<SshKeyFiles> hostKeys;
    std::string sftpRoot;
    std::string authorizedKeysPath;
    uint16_t port = 0;
};

// Where the Python servers and check scripts live in the source tree.
std::string InteropScript(const std::string& name);

}  // namespace velunor::test
