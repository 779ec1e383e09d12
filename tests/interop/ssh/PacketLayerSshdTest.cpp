// The packet layer, the group 1 exchange and the key derivation against a real OpenSSH server:
// a hand-driven key exchange up to SERVICE_ACCEPT and a USERAUTH_FAILURE. The server only
// answers once it has decrypted and authenticated our packets with the keys it derived itself,
// so the answers prove exchange hash, keys A to F, padding, MACs and sequence numbers agree.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/CByteBuffer.h"
#include "base/CWireReader.h"
#include "crypto/CSshCipher.h"
#include "crypto/CSshMac.h"
#include "crypto_dh/CDhKeyPair.h"
#include "crypto_dh/KeyDerivation.h"
#include "ssh/CSshPacketLayer.h"
#include "ssh/RandomValue.h"

extern char** environ;

namespace velunor {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

int RunTool(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    socklen_t n = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    close(fd);
    return ntohs(a.sin_port);
}

int ConnectLoopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        close(fd);
        return -1;
    }
    timeval tv{10, 0};  // every read below is bounded by this
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    return fd;
}

// One sshd for the suite, with a throwaway config that allows only the legacy algorithms this
// component speaks; stopped by its pid.
class Sshd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char tmpl[] = "/tmp/velunor-sshd-XXXXXX";
        dir = mkdtemp(tmpl);
        ASSERT_EQ(RunTool({"/usr/bin/ssh-keygen", "-q", "-t", "rsa", "-b", "2048", "-N", "", "-f",
                       (dir / "host_rsa").string()}),
                  0);
        port = FreePort();
        std::ofstream cfg(dir / "sshd_config");
        cfg << "Port " << port << "\nListenAddress 127.0.0.1\nHostKey " << (dir / "host_rsa").string()
            << "\nPidFile " << (dir / "sshd.pid").string()
            << "\nUsePAM no\nStrictModes no\nLogLevel ERROR\nCompression no\n"
               "KexAlgorithms diffie-hellman-group1-sha1\nHostKeyAlgorithms ssh-rsa\n"
               "Ciphers aes128-cbc,aes256-cbc,3des-cbc\nMACs hmac-sha1,hmac-md5\n";
        cfg.close();
        std::string config = (dir / "sshd_config").string();
        std::string log = (dir / "sshd.log").string();
        char* args[] = {const_cast<char*>("/usr/sbin/sshd"), const_cast<char*>("-D"), const_cast<char*>("-e"),
                        const_cast<char*>("-f"), config.data(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_EQ(posix_spawn(&pid, args[0], &actions, nullptr, args, environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            int fd = ConnectLoopback(port);
            if (fd >= 0) {
                close(fd);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        FAIL() << "sshd did not listen on port " << port;
    }

    static void TearDownTestSuite() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
            pid = 0;
        }
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    static inline fs::path dir;
    static inline int port = 0;
    static inline pid_t pid = 0;
};

struct SocketSink : CSshPacketLayer::Sink {
    int fd;
    explicit SocketSink(int f) : fd(f) {}
    int Send(std::span<const uint8_t> b) override {
        ssize_t n = send(fd, b.data(), b.size(), MSG_NOSIGNAL);
        return n < 0 ? -1 : int(n);
    }
};

// The next message, reading the socket while none is complete; Malformed on a closed socket.
uint8_t Next(CSshPacketLayer& layer, int fd) {
    for (;;) {
        uint8_t type = layer.NextMessage();
        if (type != CSshPacketLayer::NoMessage) return type;
        uint8_t buf[32768];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0 || !layer.Feed(buf, uint32_t(n))) return CSshPacketLayer::Malformed;
    }
}

struct Algorithms {
    const char* label;
    const char* cipher;
    const char* mac;
};

std::ostream& operator<<(std::ostream& os, const Algorithms& a) { return os << a.label; }

class PacketLayerSshd : public Sshd, public ::testing::WithParamInterface<Algorithms> {};

TEST_P(PacketLayerSshd, KeyExchangeUpToUserauthFailure) {
    const Algorithms& alg = GetParam();
    int fd = ConnectLoopback(port);
    ASSERT_GE(fd, 0);
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};
    SocketSink sink(fd);

    const std::string clientLine = "SSH-2.0-Velunor";
    ASSERT_EQ(send(fd, (clientLine + "\n").data(), clientLine.size() + 1, MSG_NOSIGNAL), ssize_t(clientLine.size() + 1));

    CSshPacketLayer layer;
    std::string received;
    size_t eol = std::string::npos;
    while ((eol = received.find("\r\n")) == std::string::npos) {
        char buf[1024];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        ASSERT_GT(n, 0) << "no identification line";
        received.append(buf, size_t(n));
    }
    const std::string serverLine = received.substr(0, eol);
    ASSERT_EQ(serverLine.rfind("SSH-2.0-", 0), 0u) << serverLine;
    ASSERT_TRUE(layer.Feed(reinterpret_cast<const uint8_t*>(received.data()) + eol + 2,
                           uint32_t(received.size() - eol - 2)));

    // Our KEXINIT body, kept for the exchange hash.
    CByteBuffer body;
    for (int i = 0; i < 16; ++i) body.PutByte(uint8_t(RandomValue()));
    body.PutCString("diffie-hellman-group1-sha1");
    body.PutCString("ssh-rsa");
    body.PutCString(alg.cipher);
    body.PutCString(alg.cipher);
    body.PutCString(alg.mac);
    body.PutCString(alg.mac);
    body.PutCString("none");
    body.PutCString("none");
    body.PutCString("");
    body.PutCString("");
    body.PutByte(0);
    body.PutUint32(0);
    layer.BeginPacket(20);
    for (uint8_t b : body.Bytes()) layer.PutByte(b);
    ASSERT_TRUE(layer.SendPacket(sink));

    ASSERT_EQ(Next(layer, fd), 20);
    Bytes serverKexinit = {20};
    serverKexinit.insert(serverKexinit.end(), layer.Payload().begin(), layer.Payload().end());

    auto dh = CDhKeyPair::NewGroup1();
    ASSERT_TRUE(dh && dh->GenerateKey());
    layer.BeginPacket(30);
    layer.PutMpint(dh->PublicValue());
    ASSERT_TRUE(layer.SendPacket(sink));

    ASSERT_EQ(Next(layer, fd), 31);
    CWireReader reply(layer.Payload());
    auto hostKey = reply.String();
    auto fBytes = reply.String();
    auto signature = reply.String();
    ASSERT_TRUE(reply.Ok());
    ASSERT_FALSE(signature.empty());
    DhNumber f(BN_bin2bn(fBytes.data(), int(fBytes.size()), nullptr));

    CByteBuffer hashInput;
    hashInput.PutCString(clientLine.c_str());
    hashInput.PutCString(serverLine.c_str());
    Bytes clientKexinit = {20};
    clientKexinit.insert(clientKexinit.end(), body.Bytes().begin(), body.Bytes().end());
    hashInput.PutString(clientKexinit);
    hashInput.PutString(serverKexinit);
    hashInput.PutString(hostKey);
    DhNumber k;
    Sha1Digest h{};
    ASSERT_EQ(CompleteExchange(*dh, f.get(), hashInput, k, h), 0);

    layer.SetPendingTxCipher(CSshCipher::Create(alg.cipher));
    layer.SetPendingRxCipher(CSshCipher::Create(alg.cipher));
    layer.SetPendingTxMac(std::make_unique<CSshMac>(CSshMac::Create(alg.mac, false)));
    layer.SetPendingRxMac(std::make_unique<CSshMac>(CSshMac::Create(alg.mac, false)));
    // First exchange: the session identifier is H itself.
    ASSERT_TRUE(layer.KeyPendingObjects(
        [&](char letter, uint32_t length) { return DeriveKey(letter, k.get(), h, h, length); }));

    layer.BeginPacket(21);
    ASSERT_TRUE(layer.SendPacket(sink));
    ASSERT_EQ(Next(layer, fd), 21);
    ASSERT_TRUE(layer.TakePendingKeys());

    layer.BeginPacket(2);  // an IGNORE first, so sequence numbers move on both sides
    layer.PutCString("padding the stream");
    ASSERT_TRUE(layer.SendPacket(sink));
    layer.BeginPacket(5);
    layer.PutCString("ssh-userauth");
    ASSERT_TRUE(layer.SendPacket(sink));
    ASSERT_EQ(Next(layer, fd), 6) << "SERVICE_ACCEPT";
    CWireReader accept(layer.Payload());
    EXPECT_EQ(accept.Text(), "ssh-userauth");

    layer.BeginPacket(50);
    layer.PutCString("nobody-velunor");
    layer.PutCString("ssh-connection");
    layer.PutCString("none");
    ASSERT_TRUE(layer.SendPacket(sink));
    ASSERT_EQ(Next(layer, fd), 51) << "USERAUTH_FAILURE";
    EXPECT_EQ(layer.OutputPending(), 0u);
}

const Algorithms kAlgorithms[] = {
    {"Aes128HmacSha1", "aes128-cbc", "hmac-sha1"},
    {"Aes256HmacMd5", "aes256-cbc", "hmac-md5"},
    {"TripleDesHmacMd5", "3des-cbc", "hmac-md5"},
};

INSTANTIATE_TEST_SUITE_P(Algorithms, PacketLayerSshd, ::testing::ValuesIn(kAlgorithms),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace velunor
