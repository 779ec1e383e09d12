// The real-server fixtures checked against real peers (OpenSSH's tools, an asyncssh client),
// without the client under test: if these fail, every end-to-end test built on them would too.
#include "support/AsyncSshServer.h"
#include "support/LocalPort.h"
#include "support/ProcessRunner.h"
#include "support/SshKeys.h"
#include "support/SshdServer.h"
#include "support/TempDir.h"
#include "support/TestAccount.h"
#include "support/Tools.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

using namespace velunor::test;

namespace {

constexpr auto kLineTimeout = std::chrono::seconds(10);

// Host key fingerprints as a third party sees them: ssh-keyscan fetches the keys over the
// wire, ssh-keygen hashes them.
::testing::AssertionResult ScannedMd5(uint16_t port, const TempDir& dir, std::vector<KeyFingerprint>& out) {
    CommandResult scan = RunCommand(kSshKeyscan, {"-T", "10", "-t", "rsa,dsa", "-p", std::to_string(port),
                                                             "127.0.0.1"},
                                    std::chrono::seconds(30));
    if (!scan.Ok() || scan.out.empty()) return ::testing::AssertionFailure() << scan.description;
    std::string path = dir.WriteFile("scanned", scan.out);
    return Md5Fingerprints(path, out);
}

void ExpectAnnouncedKeys(uint16_t port, const std::vector<SshKeyFiles>& reported) {
    EXPECT_EQ(ReadFirstLine(port, kLineTimeout).rfind("SSH-2.0-", 0), 0u);
    TempDir scratch;
    std::vector<KeyFingerprint> scanned;
    ASSERT_TRUE(ScannedMd5(port, scratch, scanned));
    std::vector<std::string> seen, expected;
    for (const auto& f : scanned) seen.push_back(f.md5);
    for (const auto& k : reported) {
        EXPECT_EQ(std::count(k.md5.begin(), k.md5.end(), ':'), 15) << k.md5;
        expected.push_back(k.md5);
    }
    std::sort(seen.begin(), seen.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(seen, expected);
}

}  // namespace

TEST(ServerFixtures, SshdAnnouncesItselfWithTheHostKeysItReports) {
    SshdServer sshd;
    ASSERT_TRUE(sshd.Start()) << sshd.Describe();
    ASSERT_EQ(sshd.HostKeys().size(), 2u);
    EXPECT_FALSE(sshd.HostKeyMd5("ssh-rsa").empty());
    EXPECT_FALSE(sshd.HostKeyMd5("ssh-dss").empty());
    ExpectAnnouncedKeys(sshd.Port(), sshd.HostKeys());
}

TEST(ServerFixtures, AsyncSshAnnouncesItselfWithTheHostKeysItReports) {
    AsyncSshServer server;
    ASSERT_TRUE(server.Start()) << server.Describe();
    ASSERT_EQ(server.HostKeys().size(), 2u);
    ExpectAnnouncedKeys(server.Port(), server.HostKeys());
}

TEST(ServerFixtures, StoppedServersFreeTheirPortAndLeaveNoChild) {
    SshdServer sshd;
    ASSERT_TRUE(sshd.Start()) << sshd.Describe();
    AsyncSshServer server;
    ASSERT_TRUE(server.Start()) << server.Describe();
    pid_t pids[] = {sshd.Pid(), server.Pid()};
    uint16_t ports[] = {sshd.Port(), server.Port()};
    sshd.Stop();
    server.Stop();
    for (int i = 0; i < 2; ++i) {
        EXPECT_FALSE(WaitForTcpPort(ports[i], std::chrono::milliseconds(200)));
        // Reaped: the pid is no child of ours any more, not even a zombie.
        EXPECT_EQ(waitpid(pids[i], nullptr, WNOHANG), -1);
    }
}

TEST(SshdConfig, TheLegacyOptionSetPassesSshdsOwnCheckAndAnUnknownCipherDoesNot) {
    SshdServer sshd;
    ASSERT_TRUE(sshd.Prepare());
    CommandResult check = CheckSshdConfig(sshd.ConfigPath());
    EXPECT_TRUE(check.Ok()) << check.description;

    CommandResult dump = DumpSshdConfig(sshd.ConfigPath());
    ASSERT_TRUE(dump.Ok()) << dump.description;
    for (const char* want : {"aes128-cbc", "aes192-cbc", "aes256-cbc", "3des-cbc", "hmac-md5", "hmac-sha1",
                             "diffie-hellman-group1-sha1", "ssh-dss", "ssh-rsa"})
        EXPECT_NE(dump.out.find(want), std::string::npos) << want << " missing from sshd -T";

    SshdServer refused;
    SshdOptions options;
    options.ciphers = "+blowfish-cbc";  // gone from this sshd
    ASSERT_TRUE(refused.Prepare(options));
    EXPECT_FALSE(CheckSshdConfig(refused.ConfigPath()).Ok());
}

// Logins through a short asyncssh client, each with the server options it needs.
namespace {

enum class Peer { Sshd, AsyncSsh };

struct LoginCase {
    const char* name;
    Peer peer;
    const char* method;
    std::vector<std::string> clientArgs = {};     // forced algorithms, answers, ...
    const char* clientKeyType = nullptr;          // ssh-keygen type of a client key to authorize
    int expectExit = 0;                           // 0 logged in, 1 refused
    int writeBytes = 0;                           // SFTP write and read back after login
    int minKeyExchanges = 0;                      // counted in the server's debug log
    void (*tuneSshd)(SshdOptions&) = nullptr;
    void (*tuneAsync)(AsyncSshOptions&) = nullptr;
};

const std::string kPassword = TestAccount::kPassword;

const LoginCase kLogins[] = {
    {.name = "SshdPassword", .peer = Peer::Sshd, .method = "password", .clientArgs = {"--password", kPassword}},
    {.name = "SshdKeyboardInteractiveThroughPamOnOldAlgorithms",
     .peer = Peer::Sshd,
     .method = "keyboard-interactive",
     .clientArgs = {"--password", kPassword, "--encryption", "aes128-cbc", "--mac", "hmac-md5", "--kex",
                    "diffie-hellman-group1-sha1", "--host-key-alg", "ssh-dss"}},
    {.name = "SshdTripleDesWithCompressionAndSmallRekey",
     .peer = Peer::Sshd,
     .method = "password",
     .clientArgs = {"--password", kPassword, "--encryption", "3des-cbc", "--mac", "hmac-sha1", "--host-key-alg",
                    "ssh-rsa", "--compression", "zlib@openssh.com"},
     .writeBytes = 200000,
     .minKeyExchanges = 2,
     .tuneSshd =
         [](SshdOptions& o) {
             o.compression = true;
             o.rekeyLimit = "32K";
             o.logLevel = "DEBUG1";
         }},
    {.name = "SshdPublicKeyOnly",
     .peer = Peer::Sshd,
     .method = "publickey",
     .clientKeyType = "rsa",
     .tuneSshd = [](SshdOptions& o) { o.authenticationMethods = "publickey"; }},
    {.name = "SshdWrongPassword",
     .peer = Peer::Sshd,
     .method = "password",
     .clientArgs = {"--password", "wrong"},
     .expectExit = 1},
    {.name = "AsyncSshPasswordOnBlowfishMd5Group1ZlibDss",
     .peer = Peer::AsyncSsh,
     .method = "password",
     .clientArgs = {"--password", kPassword, "--encryption", "blowfish-cbc", "--mac", "hmac-md5", "--kex",
                    "diffie-hellman-group1-sha1", "--compression", "zlib", "--host-key-alg", "ssh-dss"},
     .writeBytes = 70000},
    {.name = "AsyncSshKeyboardInteractiveWithTwoPrompts",
     .peer = Peer::AsyncSsh,
     .method = "keyboard-interactive",
     .clientArgs = {"--answer", "first", "--answer", "second", "--encryption", "cast128-cbc"},
     .tuneAsync =
         [](AsyncSshOptions& o) {
             o.authMethods = {"keyboard-interactive"};
             o.kbdPrompts = {{"Code: ", true, "first"}, {"PIN: ", false, "second"}};
         }},
    {.name = "AsyncSshWrongAnswer",
     .peer = Peer::AsyncSsh,
     .method = "keyboard-interactive",
     .clientArgs = {"--answer", "nope"},
     .expectExit = 1},
    {.name = "AsyncSshDsaPublicKeyWithSmallRekey",
     .peer = Peer::AsyncSsh,
     .method = "publickey",
     .clientArgs = {"--encryption", "aes256-cbc"},
     .clientKeyType = "dsa",
     .writeBytes = 100000,
     .minKeyExchanges = 2,
     .tuneAsync =
         [](AsyncSshOptions& o) {
             o.authMethods = {"publickey"};
             o.rekeyBytes = 4096;
             o.logLevel = "DEBUG";
         }},
    {.name = "AsyncSshNoAuthentication",
     .peer = Peer::AsyncSsh,
     .method = "none",
     .tuneAsync = [](AsyncSshOptions& o) { o.authMethods = {"none"}; }},
};

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

void PrintTo(const LoginCase& c, std::ostream* os) { *os << c.name; }

class FixtureLogin : public ::testing::TestWithParam<LoginCase> {};

}  // namespace

TEST_P(FixtureLogin, ClientSeesTheExpectedOutcome) {
    const LoginCase& c = GetParam();
    TempDir scratch;
    SshKeyFiles clientKey;
    if (c.clientKeyType != nullptr) {
        ASSERT_TRUE(GenerateSshKey(scratch.Path(), "client", c.clientKeyType, clientKey));
    }

    SshdServer sshd;
    AsyncSshServer async;
    uint16_t port;
    std::string listDir = ".";
    std::string hostKeyAlg = "ssh-rsa";
    std::vector<std::string> expectedList;
    if (c.peer == Peer::Sshd) {
        ASSERT_TRUE(TestAccount::Ensure());
        SshdOptions options;
        if (c.tuneSshd) c.tuneSshd(options);
        ASSERT_TRUE(sshd.Start(options)) << sshd.Describe();
        if (c.clientKeyType != nullptr) {
            ASSERT_TRUE(sshd.AddAuthorizedKey(clientKey.publicLine));
        }
        port = sshd.Port();
    } else {
        AsyncSshOptions options;
        if (c.tuneAsync) c.tuneAsync(options);
        ASSERT_TRUE(async.Start(options)) << async.Describe();
        if (c.clientKeyType != nullptr) {
            ASSERT_TRUE(async.AddAuthorizedKey(clientKey.publicLine));
        }
        ASSERT_TRUE(WriteTextFile(async.SftpRoot() + "/hello.txt", "hello\n"));
        listDir = "/";  // the SFTP root, not the server's own /
        expectedList = {"hello.txt"};
        port = async.Port();
    }

    std::vector<std::string> args{"-W", "ignore", InteropScript("ssh_client_check.py"), "--port",
                                  std::to_string(port), "--username", TestAccount::kUser, "--method", c.method,
                                  "--list", listDir, "--timeout", "40"};
    args.insert(args.end(), c.clientArgs.begin(), c.clientArgs.end());
    if (c.writeBytes > 0) args.insert(args.end(), {"--write-bytes", std::to_string(c.writeBytes)});
    if (c.clientKeyType != nullptr) args.insert(args.end(), {"--key", clientKey.privatePath});
    for (size_t i = 0; i + 1 < c.clientArgs.size(); ++i)
        if (c.clientArgs[i] == "--host-key-alg") hostKeyAlg = c.clientArgs[i + 1];

    CommandResult login = RunCommand(kPython3, args, std::chrono::seconds(60));
    std::string context = login.description + "\n" + (c.peer == Peer::Sshd ? sshd.Describe() : async.Describe());
    ASSERT_TRUE(login.started && !login.timedOut) << context;
    ASSERT_EQ(login.exitCode, c.expectExit) << context;
    if (c.expectExit != 0) return;

    std::string expectedMd5 = c.peer == Peer::Sshd ? sshd.HostKeyMd5(hostKeyAlg) : async.HostKeyMd5(hostKeyAlg);
    EXPECT_NE(login.out.find("HOSTKEY " + hostKeyAlg + " " + expectedMd5 + "\n"), std::string::npos) << context;
    for (size_t i = 0; i + 1 < c.clientArgs.size(); ++i) {
        if (c.clientArgs[i] == "--encryption") {
            EXPECT_NE(login.out.find("cipher=" + c.clientArgs[i + 1] + " "), std::string::npos) << context;
        }
        if (c.clientArgs[i] == "--compression") {
            EXPECT_NE(login.out.find("compression=" + c.clientArgs[i + 1] + "\n"), std::string::npos) << context;
        }
    }
    EXPECT_NE(login.out.find("AUTH-OK\n"), std::string::npos) << context;
    if (c.writeBytes > 0) {
        EXPECT_NE(login.out.find("WRITE OK\n"), std::string::npos) << context;
    }
    if (c.minKeyExchanges > 0) {
        // The log is written as the server goes; stop it so the last lines are on disk.
        sshd.Stop();
        async.Stop();
        size_t kex = c.peer == Peer::Sshd ? Count(sshd.Log(), "SSH2_MSG_KEXINIT received")
                                          : Count(async.Log(), "Beginning key exchange");
        EXPECT_GE(kex, size_t(c.minKeyExchanges)) << context;
    }
    for (const auto& name : expectedList) {
        EXPECT_NE(login.out.find("LIST " + name + "\n"), std::string::npos) << context;
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, FixtureLogin, ::testing::ValuesIn(kLogins),
                         [](const ::testing::TestParamInfo<LoginCase>& info) { return std::string(info.param.name); });
