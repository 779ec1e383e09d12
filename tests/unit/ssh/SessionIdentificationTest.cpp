// The engine against a scripted server on a socket pair: version lines and the first packets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/ErrorTable.h"
#include "fuzz/SessionHarness.h"

namespace velunor {
namespace {

using fuzz::Payload;
using fuzz::SessionHarness;
using fuzz::WireBytes;

struct VersionCase {
    const char* name;
    std::string serverBytes;
    int32_t code;        // 0: accepted
    std::string seenLine;  // the server identification the component keeps
    int32_t legacy;
};

class SessionVersionLine : public ::testing::TestWithParam<VersionCase> {};

TEST_P(SessionVersionLine, AcceptsOrRefuses) {
    const VersionCase& c = GetParam();
    SessionHarness h;
    ASSERT_TRUE(h.Ready());
    h.Deliver(c.serverBytes);
    if (c.code == 0) {
        ASSERT_NE(h.Session(), nullptr);
        EXPECT_EQ(h.Session()->identified, 1);
        EXPECT_EQ(h.clientLine, "SSH-2.0-Velunor\n");
        EXPECT_EQ(h.client->ServerIdentification.ToUtf8(), c.seenLine);
        EXPECT_EQ(h.Session()->legacyServer, c.legacy);
        EXPECT_TRUE(h.record.connected.empty());
    } else {
        EXPECT_EQ(h.record.connected, std::vector<int32_t>{c.code});
        EXPECT_EQ(h.Session(), nullptr);
        // A server the client will not talk to never hears from it.
        EXPECT_EQ(h.clientLine, "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SessionVersionLine,
    ::testing::Values(
        VersionCase{"OneNinetyNine", "SSH-1.99-Srv\r\n", 0, "SSH-1.99-Srv", 0},
        VersionCase{"OneFive", "SSH-1.5-Srv\r\n", Err::VersionMismatch, "", 0},
        VersionCase{"TwoNine", "SSH-2.9-Srv\n", 0, "SSH-2.9-Srv", 0},
        VersionCase{"ThreeZero", "SSH-3.0-Srv\r\n", Err::VersionMismatch, "", 0},
        VersionCase{"LetterAfterPrefix", "SSH-X.0-Srv\r\n", Err::NotSshServer, "", 0},
        VersionCase{"NoMinor", "SSH-2-Srv\r\n", Err::NotSshServer, "", 0},
        VersionCase{"BannerThenVersion", "Welcome to the box\r\nSecond line\r\nSSH-2.0-Srv_1\r\n", 0, "SSH-2.0-Srv_1", 0},
        VersionCase{"LegacyPatch", "SSH-2.0-2.0.13 (non-commercial)\r\n", 0, "SSH-2.0-2.0.13 (non-commercial)", 1},
        VersionCase{"LegacyTwoOneSpace", "SSH-2.0-2.1 x\r\n", 0, "SSH-2.0-2.1 x", 1},
        VersionCase{"LegacyTwoOneZero", "SSH-2.0-2.1.0\r\n", 0, "SSH-2.0-2.1.0", 1},
        VersionCase{"TwoTenIsNotLegacy", "SSH-2.0-2.10.0\r\n", 0, "SSH-2.0-2.10.0", 0},
        VersionCase{"ModernIsNotLegacy", "SSH-2.0-OtherSsh_9.6\r\n", 0, "SSH-2.0-OtherSsh_9.6", 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SessionIdentification, ClientWaitsForTheServersLine) {
    SessionHarness h;
    ASSERT_TRUE(h.Ready());
    {
        CCallDepth scope;
        h.Session()->OnConnect(0);
        h.Session()->OnSend(0);
    }
    h.Collect();
    EXPECT_EQ(h.clientLine, "");
    EXPECT_TRUE(h.Identify());
    EXPECT_EQ(h.clientLine, "SSH-2.0-Velunor\n");
}

// The server's line and its first packet in one read: the packet is handled in the same event.
TEST(SessionIdentification, PacketBehindTheVersionLineIsHandledAtOnce) {
    SessionHarness h;
    ASSERT_TRUE(h.Ready());
    WireBytes bytes;
    std::string line = "SSH-2.0-Srv\r\n";
    bytes.insert(bytes.end(), line.begin(), line.end());
    WireBytes kex = SessionHarness::Packet(20, SessionHarness::KexInit());
    bytes.insert(bytes.end(), kex.begin(), kex.end());
    ASSERT_EQ(send(h.serverFd, bytes.data(), bytes.size(), 0), ssize_t(bytes.size()));
    {
        CCallDepth scope;
        h.Session()->OnReceive(0);
    }
    h.Collect();
    EXPECT_EQ(h.clientLine, "SSH-2.0-Velunor\n");
    EXPECT_EQ(h.SentTypes(), (std::vector<uint8_t>{20, 30}));
    EXPECT_TRUE(h.record.connected.empty());
}

TEST(SessionFraming, PacketFedOneByteAtATime) {
    SessionHarness h;
    ASSERT_TRUE(h.Identify());
    WireBytes kex = SessionHarness::Packet(20, SessionHarness::KexInit());
    for (size_t i = 0; i < kex.size(); ++i) {
        EXPECT_TRUE(h.sent.empty()) << "after " << i << " bytes";
        h.Deliver(std::span<const uint8_t>(&kex[i], 1));
    }
    EXPECT_EQ(h.SentTypes(), (std::vector<uint8_t>{20, 30}));
    EXPECT_TRUE(h.record.connected.empty());
}

// A DISCONNECT closes the socket, but what came behind it in the same read is still handled.
TEST(SessionFraming, PacketsAfterDisconnectAreStillDispatched) {
    SessionHarness h;
    ASSERT_TRUE(h.Identify());
    WireBytes bytes = SessionHarness::Packet(1, Payload().U32(11).S("bye").S(""));
    WireBytes banner = SessionHarness::Packet(53, Payload().S("after goodbye\r\n").S(""));
    WireBytes refusal = SessionHarness::Packet(92, Payload().U32(0).U32(1).S("no").S(""));
    bytes.insert(bytes.end(), banner.begin(), banner.end());
    bytes.insert(bytes.end(), refusal.begin(), refusal.end());
    ASSERT_EQ(send(h.serverFd, bytes.data(), bytes.size(), 0), ssize_t(bytes.size()));
    CSshConnection* s = h.Session();
    {
        CCallDepth scope;
        s->OnReceive(0);
        EXPECT_EQ(s->socketHandle, platform::InvalidSocket);
        EXPECT_EQ(s->bannerText.Length(), 15u);
    }
    h.Collect();
    EXPECT_TRUE(h.peerClosed);
    EXPECT_EQ(h.record.connected, std::vector<int32_t>{Err::ChannelOpenFailed});
}

TEST(SessionFraming, BrokenPacketEndsTheAttempt) {
    SessionHarness h;
    ASSERT_TRUE(h.Identify());
    // A packet length past the largest packet.
    h.Deliver(Payload().U32(0x7FFFFFF0).U8(4).Raw(WireBytes(16, 0)).b);
    EXPECT_EQ(h.record.connected, std::vector<int32_t>{Err::ProtocolError});
    EXPECT_EQ(h.record.disconnects, 1);
}

}  // namespace
}  // namespace velunor
