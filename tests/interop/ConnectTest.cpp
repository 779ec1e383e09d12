// Connecting through the public table against real servers: the algorithms each CipherType,
// MAC, host key type and compression setting lead to, what the host is told on the way, the
// host's refusals, Connect's own checks and the proxy types.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "interop/ConnectPeers.h"
#include "support/LocalPort.h"
#include "support/LoopbackServer.h"
#include "support/TestAccount.h"

using namespace velunor::test;

namespace {

constexpr int32_t kAbortedByUser = 30033;

// One sshd with the default test configuration for the tests that only need a good server.
class SharedSshd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(TestAccount::Ensure());
        server = std::make_unique<SshdServer>();
        started = server->Start();
        ASSERT_TRUE(started) << server->Describe();
    }
    static void TearDownTestSuite() { server.reset(); }
    void SetUp() override { ASSERT_TRUE(started); }

    static uint16_t Port() { return server->Port(); }
    static std::unique_ptr<SshdServer> server;
    static bool started;
};
std::unique_ptr<SshdServer> SharedSshd::server;
bool SharedSshd::started = false;

// ---- algorithms ----

struct AlgorithmCase {
    const char* name;
    PeerKind kind;
    int32_t cipherType;
    int16_t compressionLevel;
    std::function<void(SshdOptions&, AsyncSshOptions&)> configure;
    const char* cipher;   // both directions, as OnServerInfo names them
    const char* hostKey;  // as OnServerInfo names it
    int16_t compressionAfter;
};

void PrintTo(const AlgorithmCase& c, std::ostream* os) { *os << c.name; }

class ConnectAlgorithms : public ::testing::TestWithParam<AlgorithmCase> {};

TEST_P(ConnectAlgorithms, ReachesIdleAndReportsWhatWasNegotiated) {
    const AlgorithmCase& c = GetParam();
    ASSERT_TRUE(TestAccount::Ensure());
    SshdOptions sshdOptions;
    AsyncSshOptions asyncOptions;
    if (c.configure) c.configure(sshdOptions, asyncOptions);
    Peer peer;
    ASSERT_TRUE(peer.Start(c.kind, sshdOptions, asyncOptions)) << peer.Describe();

    HostClient host;
    host.SetLogin(TestAccount::kUser, TestAccount::kPassword);
    ASSERT_EQ(host.T().put_CipherType(host.Raw(), c.cipherType), 0);
    ASSERT_EQ(host.T().put_CompressionLevel(host.Raw(), c.compressionLevel), 0);
    ASSERT_EQ(host.Connect(peer.Port()), 0) << peer.Describe();
    EXPECT_EQ(host.State(), 3);
    ExpectConnectedSequence(host);
    if (HasFatalFailure()) return;

    EXPECT_EQ(host.events[1].text, peer.HostKeyMd5(c.hostKey));
    std::string identification = host.GetText(host.T().get_ServerIdentification);
    EXPECT_EQ(identification.rfind("SSH-2.0-", 0), 0u) << identification;
    EXPECT_EQ(host.events[2].text,
              std::string("SSH2|") + identification + "|" + c.cipher + "|" + c.cipher + "|" + c.hostKey);
    EXPECT_EQ(host.GetShort(host.T().get_CompressionLevel), c.compressionAfter);

    EXPECT_EQ(host.T().Disconnect(host.Raw()), 0);
    EXPECT_EQ(host.State(), 0);
    EXPECT_EQ(host.Names().back(), "OnDisconnect");
}

const AlgorithmCase kAlgorithmCases[] = {
    {"DefaultListPicksAes192", PeerKind::Sshd, 0, 0, {}, "aes192-cbc", "ssh-rsa", 0},
    {"TripleDes", PeerKind::Sshd, 2, 0, {}, "3des-cbc", "ssh-rsa", 0},
    // The default order would take 3des-cbc here; "any AES" must not.
    {"AnyAesSkipsTripleDes", PeerKind::Sshd, 3, 0,
     [](SshdOptions& s, AsyncSshOptions&) { s.ciphers = "3des-cbc,aes128-cbc"; }, "aes128-cbc", "ssh-rsa", 0},
    {"Blowfish", PeerKind::AsyncSsh, 4, 0, {}, "blowfish-cbc", "ssh-rsa", 0},
    {"Aes128", PeerKind::Sshd, 5, 0, {}, "aes128-cbc", "ssh-rsa", 0},
    {"Aes192", PeerKind::Sshd, 6, 0, {}, "aes192-cbc", "ssh-rsa", 0},
    {"Aes256", PeerKind::Sshd, 7, 0, {}, "aes256-cbc", "ssh-rsa", 0},
    {"Cast128", PeerKind::AsyncSsh, 8, 0, {}, "cast128-cbc", "ssh-rsa", 0},
    {"HmacSha1Only", PeerKind::Sshd, 0, 0, [](SshdOptions& s, AsyncSshOptions&) { s.macs = "hmac-sha1"; },
     "aes192-cbc", "ssh-rsa", 0},
    {"HmacMd5Only", PeerKind::Sshd, 0, 0, [](SshdOptions& s, AsyncSshOptions&) { s.macs = "hmac-md5"; },
     "aes192-cbc", "ssh-rsa", 0},
    {"DssHostKey", PeerKind::Sshd, 0, 0, [](SshdOptions& s, AsyncSshOptions&) { s.hostKeyTypes = {"dsa"}; },
     "aes192-cbc", "ssh-dss", 0},
    {"PlainZlib", PeerKind::AsyncSsh, 0, 6, [](SshdOptions&, AsyncSshOptions& a) { a.compression = {"zlib"}; },
     "aes192-cbc", "ssh-rsa", 6},
    // sshd compresses only after authentication (zlib@openssh.com), which the client does not speak.
    {"DelayedZlibOnlyTurnsCompressionOff", PeerKind::Sshd, 0, 6,
     [](SshdOptions& s, AsyncSshOptions&) { s.compression = true; }, "aes192-cbc", "ssh-rsa", 0},
};

INSTANTIATE_TEST_SUITE_P(Table, ConnectAlgorithms, ::testing::ValuesIn(kAlgorithmCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- re-keying ----

// Both servers re-key only once the user is in; with limits this small they do so around
// nearly every packet of the channel set-up, which the connect still has to come through.
struct RekeyCase {
    const char* name;
    PeerKind kind;
    std::function<void(SshdOptions&, AsyncSshOptions&)> configure;
};

void PrintTo(const RekeyCase& c, std::ostream* os) { *os << c.name; }

class ConnectRekey : public ::testing::TestWithParam<RekeyCase> {};

TEST_P(ConnectRekey, ServerRekeysDuringChannelSetUp) {
    const RekeyCase& c = GetParam();
    ASSERT_TRUE(TestAccount::Ensure());
    SshdOptions sshdOptions;
    AsyncSshOptions asyncOptions;
    c.configure(sshdOptions, asyncOptions);
    Peer peer;
    ASSERT_TRUE(peer.Start(c.kind, sshdOptions, asyncOptions)) << peer.Describe();

    HostClient host;
    host.SetLogin(TestAccount::kUser, TestAccount::kPassword);
    ASSERT_EQ(host.Connect(peer.Port()), 0) << peer.Describe();
    EXPECT_EQ(host.State(), 3);
    // Every exchange shows the host the key again; the server information comes once.
    std::vector<std::string> names = host.Names();
    ASSERT_GE(names.size(), 6u);
    EXPECT_EQ(std::count(names.begin(), names.end(), "OnServerInfo"), 1);
    EXPECT_GE(std::count(names.begin(), names.end(), "OnHostKey"), 2);
    for (const auto& e : host.events) {
        if (e.name == "OnHostKey") {
            EXPECT_EQ(e.text, peer.HostKeyMd5("ssh-rsa"));
        }
    }
    EXPECT_EQ(names.back(), "OnConnected");
    EXPECT_EQ(host.events.back().code, 0);
}

const RekeyCase kRekeyCases[] = {
    {"Sshd", PeerKind::Sshd, [](SshdOptions& s, AsyncSshOptions&) { s.rekeyLimit = "16"; }},
    {"AsyncSsh", PeerKind::AsyncSsh, [](SshdOptions&, AsyncSshOptions& a) { a.rekeyBytes = 1; }},
};

INSTANTIATE_TEST_SUITE_P(Table, ConnectRekey, ::testing::ValuesIn(kRekeyCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- what the host refuses ----

using ConnectRefusal = SharedSshd;

TEST_F(ConnectRefusal, HostKeyOrServerInfoRefusedEndsTheAttempt) {
    for (const char* refused : {"OnHostKey", "OnServerInfo"}) {
        SCOPED_TRACE(refused);
        HostClient host;
        host.SetLogin(TestAccount::kUser, TestAccount::kPassword);
        (std::string(refused) == "OnHostKey" ? host.hostKeyAnswer : host.serverInfoAnswer) = 0;
        EXPECT_EQ(host.Connect(Port()), kAbortedByUser);
        EXPECT_EQ(host.State(), 0);
        EXPECT_EQ(host.LastError(), kAbortedByUser);
        std::vector<std::string> expected = {"OnStateChange", "OnHostKey"};
        if (std::string(refused) == "OnServerInfo") expected.push_back("OnServerInfo");
        expected.insert(expected.end(), {"OnConnected", "OnDisconnect", "OnStateChange"});
        ASSERT_EQ(host.Names(), expected);
        const auto& connected = host.events[expected.size() - 3];
        EXPECT_EQ(connected.code, kAbortedByUser);
        EXPECT_EQ(connected.text, "Aborted by user");
        EXPECT_EQ(host.events.back().code, 1);
        EXPECT_EQ(host.events.back().text, "0");
        EXPECT_EQ(host.events[1].text, server->HostKeyMd5("ssh-rsa"));
    }
}

TEST_F(ConnectRefusal, HostWithoutTheseCallbacksAccepts) {
    HostClient host;
    host.SetLogin(TestAccount::kUser, TestAccount::kPassword);
    host.Events().OnHostKey = nullptr;
    host.Events().OnServerInfo = nullptr;
    EXPECT_EQ(host.Connect(Port()), 0);
    EXPECT_EQ(host.State(), 3);
    EXPECT_EQ(host.Names(), (std::vector<std::string>{"OnStateChange", "OnStateChange", "OnConnected"}));
}

// ---- Connect's own checks ----

using ConnectChecks = SharedSshd;

TEST_F(ConnectChecks, RefusalsBeforeAnyConnection) {
    struct Case {
        const char* name;
        std::function<void(HostClient&)> setup;
        bool hostGiven;
        int32_t expected;
    };
    const Case cases[] = {
        {"SingleDes", [](HostClient& h) { h.T().put_CipherType(h.Raw(), 1); }, true, 30008},
        {"NoUser", [](HostClient& h) { h.SetText(h.T().put_Password, "x"); }, true, 30002},
        {"AnyMethodWithoutKey", [](HostClient& h) { h.T().put_AuthenticationType(h.Raw(), 0); }, true, 30002},
        {"PublicKeyWithoutKey", [](HostClient& h) { h.T().put_AuthenticationType(h.Raw(), 2); }, true, 30002},
        {"NoHost", [](HostClient&) {}, false, 30026},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HostClient host;
        if (std::string(c.name) != "NoUser") host.SetLogin(TestAccount::kUser, TestAccount::kPassword);
        c.setup(host);
        host.T().put_Blocking(host.Raw(), VARIANT_TRUE);
        VARIANT name = c.hostGiven ? TextArg("127.0.0.1") : MissingArg();
        EXPECT_EQ(host.ConnectWith(name, IntArg(Port())), c.expected);
        VariantClear(&name);
        EXPECT_EQ(host.State(), 0);
        EXPECT_TRUE(host.events.empty()) << host.Names().size();
    }
}

TEST_F(ConnectChecks, SocketFailuresEndInStateZero) {
    ReservedNamesStayLocal resolver;
    uint16_t closed = PickFreePort();
    ASSERT_NE(closed, 0);
    struct Case {
        const char* host;
        uint16_t port;
        int32_t expected;
    };
    for (const Case& c : {Case{"127.0.0.1", closed, 10061}, Case{"no-such-host.invalid", Port(), 11001}}) {
        SCOPED_TRACE(c.host);
        HostClient host;
        host.SetLogin(TestAccount::kUser, TestAccount::kPassword);
        EXPECT_EQ(host.Connect(c.port, c.host), c.expected);
        EXPECT_EQ(host.State(), 0);
        EXPECT_EQ(host.LastError(), c.expected);
        ASSERT_EQ(host.Names(), (std::vector<std::string>{"OnStateChange", "OnStateChange"}));
        EXPECT_EQ(host.events[1].text, "0");
    }
}

TEST_F(ConnectChecks, PortAsTextAndOmittedArgumentsUseTheProperties) {
    HostClient host;
    host.SetLogin(TestAccount::kUser, TestAccount::kPassword);
    host.T().put_Blocking(host.Raw(), VARIANT_TRUE);
    VARIANT name = TextArg("127.0.0.1");
    VARIANT port = TextArg(" " + std::to_string(Port()) + " ");
    EXPECT_EQ(host.ConnectWith(name, port), 0);
    VariantClear(&name);
    VariantClear(&port);
    EXPECT_EQ(host.GetInt(host.T().get_Port), Port());
    EXPECT_EQ(host.State(), 3);
    ASSERT_EQ(host.T().Disconnect(host.Raw()), 0);

    // Both arguments missing: Hostname and Port as they were left.
    host.events.clear();
    EXPECT_EQ(host.ConnectWith(MissingArg(), MissingArg()), 0);
    EXPECT_EQ(host.State(), 3);
    ExpectConnectedSequence(host);
}

TEST_F(ConnectChecks, ConnectWhileConnectedLeavesTheConnectionAlone) {
    HostClient host;
    host.SetLogin(TestAccount::kUser, TestAccount::kPassword);
    ASSERT_EQ(host.Connect(Port()), 0);
    size_t seen = host.events.size();
    EXPECT_EQ(host.Connect(Port()), 30001);
    EXPECT_EQ(host.State(), 3);
    EXPECT_EQ(host.events.size(), seen);
    EXPECT_EQ(host.T().Disconnect(host.Raw()), 0);
    EXPECT_EQ(host.State(), 0);
    // Already disconnected: nothing more happens.
    seen = host.events.size();
    EXPECT_EQ(host.T().Disconnect(host.Raw()), 0);
    EXPECT_EQ(host.events.size(), seen);
}

// ---- the server ends the attempt ----

// Closed before its identification line, or after a DISCONNECT: the blocking connect ends at
// once with "no result" (-1), the host sees the state fall back and OnDisconnect, and no time-out
// is waited for.
TEST_F(ConnectChecks, ServerThatHangsUpEndsTheAttemptAtOnce) {
    struct Case {
        const char* name;
        int32_t cipherType;
        bool sshServer;
    };
    for (const Case& c : {Case{"ClosedBeforeIdentification", 0, false}, Case{"NoCommonCipher", 8, true}}) {
        SCOPED_TRACE(c.name);
        LoopbackServer hangUp;
        std::thread closer;
        if (!c.sshServer) {
            closer = std::thread([&hangUp] {
                if (hangUp.Accept(5000)) hangUp.ClosePeer();
            });
        }
        HostClient host;
        host.SetLogin(TestAccount::kUser, TestAccount::kPassword);
        host.T().put_CipherType(host.Raw(), c.cipherType);
        host.T().put_Timeout(host.Raw(), 3);  // only a stuck wait would meet it
        int32_t rc = host.Connect(c.sshServer ? Port() : hangUp.Port());
        if (closer.joinable()) closer.join();
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(host.State(), 0);
        EXPECT_FALSE(host.Saw("OnConnected"));
        ASSERT_GE(host.events.size(), 3u);
        EXPECT_EQ(host.events[host.events.size() - 2].name, "OnStateChange");
        EXPECT_EQ(host.events[host.events.size() - 2].text, "0");
        EXPECT_EQ(host.events.back().name, "OnDisconnect");
    }
}

// ---- proxies ----

using ConnectProxy = SharedSshd;

TEST_F(ConnectProxy, NegotiatingProxiesAreRefused) {
    for (int32_t type : {1, 2, 3, 5}) {
        SCOPED_TRACE(type);
        HostClient host;
        host.SetLogin(TestAccount::kUser, TestAccount::kPassword);
        host.T().put_ProxyType(host.Raw(), type);
        host.SetText(host.T().put_ProxyHost, "127.0.0.1");
        host.T().put_ProxyPort(host.Raw(), Port());
        EXPECT_EQ(host.Connect(Port()), E_NOTIMPL);
        EXPECT_EQ(host.State(), 0);
        EXPECT_TRUE(host.events.empty());
    }
}

TEST_F(ConnectProxy, PlainRelaySpeaksSshToTheProxyAddressAtOnce) {
    // The relay is reached at ProxyHost:ProxyPort; the target is only the relay's business, so
    // a name that cannot resolve must not matter.
    ReservedNamesStayLocal resolver;
    HostClient host;
    host.SetLogin(TestAccount::kUser, TestAccount::kPassword);
    host.T().put_ProxyType(host.Raw(), 4);
    host.SetText(host.T().put_ProxyHost, "127.0.0.1");
    host.T().put_ProxyPort(host.Raw(), Port());
    EXPECT_EQ(host.Connect(22, "relay-target.invalid"), 0) << server->Describe();
    EXPECT_EQ(host.State(), 3);
    ExpectConnectedSequence(host);
}

}  // namespace
