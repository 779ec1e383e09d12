// The session channel against a scripted server: windows and SFTP packet reassembly.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/CWireReader.h"
#include "client/ErrorTable.h"
#include "fuzz/SessionHarness.h"
#include "platform/Ole.h"
#include "platform/TextCodec.h"

namespace velunor {
namespace {

using fuzz::Payload;
using fuzz::SessionHarness;
using fuzz::WireBytes;

constexpr uint8_t kChannelData = 94;
constexpr uint8_t kWindowAdjust = 93;

WireBytes SftpPacket(const Payload& body) { return Payload().U32(uint32_t(body.b.size())).Raw(body.b).b; }

class SessionChannel : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(h.Ready());
        ASSERT_TRUE(h.Enter(SessionHarness::Stage::Ready));
    }

    void Data(std::span<const uint8_t> bytes) { h.Send(kChannelData, Payload().U32(0).S(bytes)); }

    // The SFTP requests the client sent: type and id of each.
    std::vector<std::pair<uint8_t, uint32_t>> Requests() {
        h.Collect();
        WireBytes stream;
        for (const auto& m : h.sent) {
            if (m.type != kChannelData) continue;
            CWireReader in(m.payload);
            EXPECT_EQ(in.Uint32(), 7u);  // the server's channel number
            auto data = in.String();
            stream.insert(stream.end(), data.begin(), data.end());
        }
        std::vector<std::pair<uint8_t, uint32_t>> out;
        CWireReader in(stream);
        while (in.Ok() && in.Remaining() > 0) {
            auto packet = in.String();
            CWireReader p(packet);
            uint8_t type = p.Byte();
            uint32_t id = p.Uint32();
            if (in.Ok()) out.emplace_back(type, id);
        }
        return out;
    }

    SessionHarness h;
};

// 40000 bytes against a window of twice BufferSize: the window drops below one packet, and the
// adjust tops it up to the full window again.
TEST_F(SessionChannel, LargeDataRefillsTheWindow) {
    ASSERT_EQ(h.Session()->localWindow, 65536);
    WireBytes data = SftpPacket(Payload().U8(101).Raw(WireBytes(40000 - 5, 'x')));
    ASSERT_EQ(data.size(), 40000u);
    Data(data);
    ASSERT_NE(h.Session(), nullptr);
    ASSERT_EQ(h.SentTypes(), std::vector<uint8_t>{kWindowAdjust});
    EXPECT_EQ(h.sent[0].payload, Payload().U32(7).U32(40000).b);
    EXPECT_EQ(h.Session()->localWindow, 65536);
    EXPECT_TRUE(h.record.connected.empty());
}

TEST_F(SessionChannel, SmallDataLeavesTheWindowAlone) {
    Data(SftpPacket(Payload().U8(101).Raw(WireBytes(100, 'x'))));
    EXPECT_TRUE(h.sent.empty());
    EXPECT_EQ(h.Session()->localWindow, 65536 - 105);
}

// A listing answered in awkward cuts: a reply in three pieces (the first shorter than a
// length and type) is taken once, and two replies in one message are taken in order.
TEST_F(SessionChannel, SftpPacketsAreReassembledAcrossAndWithinMessages) {
    BSTR path = platform::AllocBstrFromUtf8("/d");
    ASSERT_EQ(h.client->vtbl->ListDirectory(h.client, platform::BstrVariant(path)), 0);
    SysFreeString(path);
    auto requests = Requests();
    ASSERT_EQ(requests.size(), 1u);
    ASSERT_EQ(requests[0].first, 11);  // OPENDIR
    uint32_t id = requests[0].second;

    WireBytes handle = SftpPacket(Payload().U8(102).U32(id).S("h1"));
    Data(std::span(handle).first(3));
    EXPECT_EQ(h.Session()->channelIn.Length(), 3u);
    Data(std::span(handle).subspan(3, 4));
    EXPECT_EQ(Requests().size(), 1u);
    Data(std::span(handle).subspan(7));
    requests = Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1], std::make_pair(uint8_t(12), id + 1));  // READDIR

    WireBytes both = SftpPacket(Payload()
                                    .U8(104)
                                    .U32(id + 1)
                                    .U32(1)
                                    .S("file.txt")
                                    .S("-rw-r--r-- file.txt")
                                    .U32(0xD)
                                    .U32(0)
                                    .U32(5)
                                    .U32(0100644)
                                    .U32(0)
                                    .U32(0));
    WireBytes eof = SftpPacket(Payload().U8(101).U32(id + 2).U32(1).S("eof").S(""));
    both.insert(both.end(), eof.begin(), eof.end());
    Data(both);
    requests = Requests();
    ASSERT_GE(requests.size(), 3u);
    EXPECT_EQ(requests.back().first, 4);  // CLOSE after the end of the listing
    ASSERT_EQ(h.record.texts.size(), 1u);  // one batch of names
    EXPECT_NE(h.record.texts[0].find("file.txt\r\n"), std::string::npos);

    Data(SftpPacket(Payload().U8(101).U32(requests.back().second).U32(0).S("").S("")));
    EXPECT_EQ(h.record.results, std::vector<int32_t>{0});
    EXPECT_EQ(h.Session()->channelIn.Length(), 0u);
}

TEST_F(SessionChannel, ZeroSftpLengthEndsTheAttempt) {
    Data(Payload().U32(0).U8(101).b);
    EXPECT_EQ(h.record.connected, std::vector<int32_t>{Err::ProtocolError});
    EXPECT_EQ(h.Session(), nullptr);
}

// The first SFTP bytes while the subsystem is still being asked for are its VERSION.
TEST(SessionSubsystem, VersionReplyCompletesTheConnect) {
    SessionHarness h;
    ASSERT_TRUE(h.Enter(SessionHarness::Stage::Subsystem));
    h.Send(99, Payload().U32(0));  // CHANNEL_SUCCESS: the client sends INIT
    h.Send(kChannelData, Payload().U32(0).S(SftpPacket(Payload().U8(2).U32(3))));
    EXPECT_EQ(h.record.connected, std::vector<int32_t>{0});
    ASSERT_NE(h.Session(), nullptr);
    EXPECT_EQ(h.Session()->sessionState, CSshSession::ChannelReady);
    EXPECT_EQ(h.client->state, StateIdle);
}

}  // namespace
}  // namespace velunor
