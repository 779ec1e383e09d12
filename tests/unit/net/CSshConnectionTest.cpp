#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "net/CSshConnection.h"
#include "platform/Messages.h"
#include "platform/Sockets.h"
#include "support/LoopbackServer.h"
#include "velunor/sftp.h"

namespace velunor {
namespace {

std::atomic<int> lookups{0};
int32_t CountingResolver(const char* name, uint32_t* address) {
    ++lookups;
    return platform::SystemResolveIPv4(name, address);
}

// Sees what the connection hands on to the engine's reports.
class CTestConnection : public CSshConnection {
public:
    CTestConnection() : CSshConnection(nullptr, 32768) {}
    void ReportConnectFinished(int32_t code) override { finished.push_back(code); }
    void ReportClosed(int32_t error) override { closed.push_back(error); }
    std::vector<int32_t> finished;
    std::vector<int32_t> closed;
};

class CSshConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        lookups = 0;
        platform::SetResolver(&CountingResolver);
    }
    void TearDown() override {
        platform::SetResolver(nullptr);
        while (SFTP_PumpMessages(0) != 0) {
        }
    }

    // The component's socket steps: fresh socket, time-outs, non-blocking, connect, and the
    // bounded wait for a connect under way. Returns 0 or the attempt's error code.
    static int32_t ConnectLikeTheComponent(CTestConnection& c, const char* host, int32_t port) {
        if (!c.CreateSocket()) return platform::GetLastSocketError();
        EXPECT_EQ(c.SetTimeouts(60000, 60000), 0);
        EXPECT_TRUE(c.SetNonBlocking(1));
        if (c.Connect(host, port) == 0) return 0;
        if (c.connectError != platform::WsaWouldBlock) return c.connectError;
        return c.WaitForConnect(5000);
    }

    test::LoopbackServer server;
    CTestConnection connection;
};

TEST_F(CSshConnectionTest, DottedAddressConnectsWithoutAnyLookup) {
    EXPECT_EQ(ConnectLikeTheComponent(connection, "127.0.0.1", server.Port()), 0);
    EXPECT_TRUE(server.Accept());
    EXPECT_EQ(lookups.load(), 0);
    EXPECT_EQ(connection.targetHost.ToUtf8(), "127.0.0.1");
    EXPECT_EQ(connection.targetPort, server.Port());
    EXPECT_EQ(connection.nonBlocking, 1);
}

TEST_F(CSshConnectionTest, HostNameIsLookedUpOnce) {
    EXPECT_EQ(ConnectLikeTheComponent(connection, "localhost", server.Port()), 0);
    EXPECT_TRUE(server.Accept());
    EXPECT_EQ(lookups.load(), 1);
}

TEST_F(CSshConnectionTest, PortAboveTheSixteenBitRangeIsCut) {
    EXPECT_EQ(ConnectLikeTheComponent(connection, "127.0.0.1", 0x30000 + server.Port()), 0);
    EXPECT_EQ(connection.targetPort, server.Port());
    EXPECT_TRUE(server.Accept());
}

TEST_F(CSshConnectionTest, ClosedPortIsRefused) {
    EXPECT_EQ(ConnectLikeTheComponent(connection, "127.0.0.1", test::LoopbackServer::UnusedPort()),
              platform::WsaConnectionRefused);
}

TEST_F(CSshConnectionTest, UnresolvableNameIsHostNotFound) {
    EXPECT_EQ(ConnectLikeTheComponent(connection, "no-such-host.invalid", server.Port()),
              platform::WsaHostNotFound);
    EXPECT_EQ(connection.connectError, platform::WsaHostNotFound);
}

TEST_F(CSshConnectionTest, ConnectWithoutASocketFailsWithBadHandle) {
    EXPECT_EQ(connection.Connect("127.0.0.1", server.Port()), -1);
    EXPECT_EQ(connection.connectError, platform::WsaBadHandle);
}

struct ProxyFailure {
    const char* name;
    int32_t type;
    const char* proxyHost;
    const char* target;
    int32_t code;
};

const ProxyFailure kProxyFailures[] = {
    {"Socks4WithoutProxyHost", 1, "", "127.0.0.1", platform::WsaInvalidArgument},
    {"HttpWithoutProxyHost", 3, "", "127.0.0.1", platform::WsaInvalidArgument},
    {"RelayWithoutProxyHost", 4, "", "127.0.0.1", platform::WsaInvalidArgument},
    {"Socks4UnresolvableTarget", 1, "127.0.0.1", "no-such-host.invalid", platform::WsaHostNotFound},
    {"UnknownProxyType", 9, "127.0.0.1", "127.0.0.1", platform::WsaInvalidArgument},
};

class CSshConnectionProxyFailure : public ::testing::TestWithParam<ProxyFailure> {};

TEST_P(CSshConnectionProxyFailure, RecordsARealErrorAndConnectsNothing) {
    test::LoopbackServer proxy;
    CTestConnection c;
    ASSERT_TRUE(c.CreateSocket());
    c.proxyType = GetParam().type;
    c.proxyHost = CWideString(GetParam().proxyHost);
    c.proxyPort = proxy.Port();
    EXPECT_EQ(c.Connect(GetParam().target, 22), -1);
    EXPECT_EQ(c.connectError, GetParam().code);
    EXPECT_EQ(c.proxyState, 0);
    EXPECT_FALSE(proxy.Accept(50));
}

INSTANTIATE_TEST_SUITE_P(Cases, CSshConnectionProxyFailure, ::testing::ValuesIn(kProxyFailures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CSshConnectionTest, RelayConnectsToTheProxyAndReportsLikeADirectLink) {
    connection.proxyType = CSshConnection::ProxyRelay;
    connection.proxyHost = CWideString("127.0.0.1");
    connection.proxyPort = server.Port();
    EXPECT_EQ(ConnectLikeTheComponent(connection, "no-such-host.invalid", 22), 0);
    EXPECT_TRUE(server.Accept());
    EXPECT_EQ(connection.proxyState, 1);
    EXPECT_EQ(connection.targetPort, 22);
    connection.OnConnect(0);
    EXPECT_TRUE(connection.connected);
    EXPECT_EQ(connection.awaitingConnect, 0);
    connection.OnClose(0);
    EXPECT_EQ(connection.closed, (std::vector<int32_t>{0}));
    EXPECT_EQ(connection.awaitingConnect, 1);
}

TEST_F(CSshConnectionTest, ConnectNotificationsByProxyKind) {
    // Direct: a failure goes to the engine, which reports it; later notifications are ignored
    // once the attempt is no longer awaited.
    CTestConnection direct;
    direct.OnConnect(10061);
    EXPECT_EQ(direct.finished, (std::vector<int32_t>{10061}));
    direct.OnConnect(0);
    EXPECT_TRUE(direct.connected);
    direct.OnConnect(10061);
    EXPECT_EQ(direct.finished.size(), 1u);

    // A negotiating proxy: success is not the engine's connection yet, failure is.
    CTestConnection socks;
    socks.proxyType = CSshConnection::ProxySocks5;
    socks.OnConnect(0);
    EXPECT_FALSE(socks.connected);
    EXPECT_TRUE(socks.finished.empty());
    socks.awaitingConnect = 1;
    socks.OnConnect(10060);
    EXPECT_EQ(socks.finished, (std::vector<int32_t>{10060}));

    // Closing before the tunnel stands is a failed connect, afterwards a close.
    CTestConnection http;
    http.proxyType = CSshConnection::ProxyHttp;
    http.proxyState = 1;
    http.OnClose(0);
    EXPECT_EQ(http.finished, (std::vector<int32_t>{30040}));
    EXPECT_TRUE(http.closed.empty());
    http.proxyState = CSshConnection::ProxyTunnelReady;
    http.OnClose(10054);
    EXPECT_EQ(http.closed, (std::vector<int32_t>{10054}));
}

TEST_F(CSshConnectionTest, ReceiveHandsOutLeftoverBeforeTheSocket) {
    ASSERT_EQ(ConnectLikeTheComponent(connection, "127.0.0.1", server.Port()), 0);
    ASSERT_TRUE(server.Accept());
    ASSERT_TRUE(server.Send("SOCKET"));
    connection.leftover.Append("0123456789", 10);

    char buffer[16] = {};
    EXPECT_EQ(connection.Receive(buffer, 4, 0), 4);
    EXPECT_EQ(std::string(buffer, 4), "0123");
    EXPECT_EQ(connection.leftover.Length(), 6u);
    platform::MSG m;
    ASSERT_TRUE(platform::PeekMessage(&m, connection.OwnWindow(), 0, 0, platform::PM_REMOVE));
    EXPECT_EQ(m.message, 1355u);
    EXPECT_EQ(m.lParam, 1);
    EXPECT_FALSE(platform::PeekMessage(&m, nullptr, 0, 0, platform::PM_NOREMOVE));

    // The next read still comes from leftover, although the socket has data.
    EXPECT_EQ(connection.Receive(buffer, 16, 0), 6);
    EXPECT_EQ(std::string(buffer, 6), "456789");
    ASSERT_TRUE(platform::PeekMessage(&m, connection.OwnWindow(), 1355, 1355, platform::PM_REMOVE));

    ASSERT_EQ(platform::WaitSocketReadable(connection.socketHandle, 2'000'000), 1);
    EXPECT_EQ(connection.Receive(buffer, 16, 0), 6);
    EXPECT_EQ(std::string(buffer, 6), "SOCKET");
    EXPECT_FALSE(platform::PeekMessage(&m, nullptr, 0, 0, platform::PM_NOREMOVE));
}

TEST_F(CSshConnectionTest, SendDataGoesToTheSocketBeforeTheChannelAndToChannelOutAfter) {
    ASSERT_EQ(ConnectLikeTheComponent(connection, "127.0.0.1", server.Port()), 0);
    ASSERT_TRUE(server.Accept());
    const uint8_t line[] = "SSH-2.0-Velunor\n";
    EXPECT_EQ(connection.SendData(line, 16, 0), 16);
    EXPECT_EQ(server.Receive(), "SSH-2.0-Velunor\n");

    connection.sessionState = CSshSession::ChannelReady;
    EXPECT_EQ(connection.SendData(line, 16, 0), 16);
    EXPECT_EQ(connection.channelOut.Length(), 16u);
    EXPECT_EQ(server.Receive(50), "");

    // From the channel on, Receive gives banner text instead of socket bytes.
    char buffer[8] = {};
    EXPECT_EQ(connection.Receive(buffer, 8, 0), -1);
    connection.bannerText.Append("Welcome", 7);
    EXPECT_EQ(connection.Receive(buffer, 4, 0), 4);
    EXPECT_EQ(std::string(buffer, 4), "Welc");
}

}  // namespace
}  // namespace velunor
