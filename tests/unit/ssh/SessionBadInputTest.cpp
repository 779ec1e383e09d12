// Hostile or broken messages in each handler: the attempt ends with the handler's code, or the
// message is dropped, and nothing is read outside the payload.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "client/ErrorTable.h"
#include "fuzz/SessionFuzzTarget.h"
#include "fuzz/SessionHarness.h"

namespace velunor {
namespace {

using fuzz::Payload;
using fuzz::SessionHarness;
using Stage = SessionHarness::Stage;

constexpr int32_t kGoesOn = 0;  // the message is dropped or answered; the attempt goes on

struct BadCase {
    const char* name;
    Stage stage;
    uint8_t type;
    Payload payload;
    int32_t code;
};

class SessionBadInput : public ::testing::TestWithParam<BadCase> {};

TEST_P(SessionBadInput, EndsCleanly) {
    const BadCase& c = GetParam();
    SessionHarness h;
    ASSERT_TRUE(h.Enter(c.stage));
    h.Send(c.type, c.payload);
    if (c.code == kGoesOn) {
        EXPECT_TRUE(h.record.connected.empty());
        EXPECT_NE(h.Session(), nullptr);
    } else {
        EXPECT_EQ(h.record.connected, std::vector<int32_t>{c.code});
        EXPECT_EQ(h.record.disconnects, 1);
        EXPECT_EQ(h.Session(), nullptr);
    }
    EXPECT_FALSE(h.broken);
}

const uint32_t kHuge = 0xFFFFFFF0u;

INSTANTIATE_TEST_SUITE_P(
    Handlers, SessionBadInput,
    ::testing::Values(
        // Key exchange.
        BadCase{"KexInitEmpty", Stage::Identified, 20, Payload(), kGoesOn},
        BadCase{"KexInitOversizedList", Stage::Identified, 20, Payload().Raw(std::vector<uint8_t>(16, 0)).U32(kHuge), kGoesOn},
        BadCase{"DhReplyBeforeKexInit", Stage::Identified, 31, Payload().S("k").S("f").S("s"), Err::ProtocolError},
        BadCase{"DhReplyEmpty", Stage::KexStarted, 31, Payload(), Err::ProtocolError},
        BadCase{"DhReplyTruncatedString", Stage::KexStarted, 31, Payload().U32(500).S("short"), Err::ProtocolError},
        BadCase{"DhReplyOversizedString", Stage::KexStarted, 31, Payload().S("key").U32(kHuge), Err::ProtocolError},
        BadCase{"DhReplyGarbageHostKey", Stage::KexStarted, 31, Payload().S("not a key").S("\x05").S("sig"), Err::ProtocolError},
        // A key whose numbers are cut off reads as zeros, which no signature verifies against.
        BadCase{"DhReplyRsaKeyWithoutNumbers", Stage::KexStarted, 31,
                Payload().S(Payload().S("ssh-rsa").U32(kHuge).b).S("\x05").S("sig"), Err::SignatureMismatch},
        BadCase{"DhReplyServerValueOne", Stage::KexStarted, 31,
                Payload().S(Payload().S("ssh-rsa").S("\x01\x00\x01").S(std::string_view("\x00\xc3\x11", 3)).b).S("\x01").S("sig"),
                Err::SignatureMismatch},
        BadCase{"NewKeysBeforeExchange", Stage::Identified, 21, Payload(), Err::ProtocolError},
        BadCase{"NewKeysBeforeDhReply", Stage::KexStarted, 21, Payload(), Err::ProtocolError},
        // Authentication.
        BadCase{"AuthFailureEmpty", Stage::Auth, 51, Payload(), Err::LoginRefused},
        BadCase{"AuthFailureOversized", Stage::Auth, 51, Payload().U32(kHuge).U8(0), Err::LoginRefused},
        BadCase{"AuthFailureUnknownMethods", Stage::Auth, 51, Payload().S("hostbased,gssapi").U8(0), Err::LoginRefused},
        BadCase{"AuthFailurePasswordGoesOn", Stage::Auth, 51, Payload().S("password").U8(0), kGoesOn},
        BadCase{"BannerTruncated", Stage::Auth, 53, Payload().U32(100).S("x"), kGoesOn},
        BadCase{"PkOkGarbage", Stage::Auth, 60, Payload().S("ssh-rsa").U32(kHuge), Err::LoginRefused},
        BadCase{"InfoRequestEmpty", Stage::Keyboard, 60, Payload(), Err::ProtocolError},
        BadCase{"InfoRequestTruncatedCount", Stage::Keyboard, 60, Payload().S("").S("").S("").U8(0), Err::ProtocolError},
        BadCase{"InfoRequestCountBeyondPrompts", Stage::Keyboard, 60,
                Payload().S("").S("").S("").U32(0xFFFFFFFFu).S("Password: ").U8(0), kGoesOn},
        BadCase{"InfoRequestOversizedPrompt", Stage::Keyboard, 60, Payload().S("").S("").S("").U32(1).U32(kHuge), kGoesOn},
        // Channel.
        BadCase{"OpenConfirmationTruncated", Stage::Auth, 91, Payload().U32(0).U32(3), Err::ProtocolError},
        BadCase{"OpenFailure", Stage::Auth, 92, Payload(), Err::ChannelOpenFailed},
        BadCase{"ChannelFailure", Stage::Subsystem, 100, Payload(), Err::SubsystemUnavailable},
        BadCase{"WindowAdjustTruncated", Stage::Ready, 93, Payload().U32(0), kGoesOn},
        BadCase{"ChannelRequestTruncated", Stage::Ready, 98, Payload().U32(0).U32(kHuge), kGoesOn},
        BadCase{"DataEmpty", Stage::Ready, 94, Payload(), Err::ProtocolError},
        BadCase{"DataNoString", Stage::Ready, 94, Payload().U32(0), Err::ProtocolError},
        BadCase{"DataOversizedString", Stage::Ready, 94, Payload().U32(0).U32(kHuge).U8(0), Err::ProtocolError},
        BadCase{"DataTruncatedString", Stage::Ready, 94, Payload().U32(0).U32(10).U8(0), Err::ProtocolError},
        BadCase{"SftpLengthBeyondLimit", Stage::Ready, 94, Payload().U32(0).S(Payload().U32(0xFFFFFFFFu).U8(101).b),
                Err::ProtocolError},
        BadCase{"SubsystemZeroLength", Stage::Subsystem, 94, Payload().U32(0).S(Payload().U32(0).U8(2).b), Err::ProtocolError},
        BadCase{"UnknownMessage", Stage::Ready, 200, Payload().U32(kHuge), kGoesOn}),
    [](const auto& info) { return std::string(info.param.name); });

// The window the server grants is its own word: it saturates instead of wrapping.
TEST(SessionWindow, AdjustSaturates) {
    SessionHarness h;
    ASSERT_TRUE(h.Enter(Stage::Ready));
    h.Send(93, Payload().U32(0).U32(0xFFFFFFFFu));
    h.Send(93, Payload().U32(0).U32(0xFFFFFFFFu));
    ASSERT_NE(h.Session(), nullptr);
    EXPECT_EQ(h.Session()->remoteWindow, INT32_MAX);
}

// Values the server chose for its channel that do not fit the signed fields are clamped.
TEST(SessionWindow, OpenConfirmationClampsHugeValues) {
    SessionHarness h;
    ASSERT_TRUE(h.Enter(Stage::Auth));
    h.Send(91, Payload().U32(0).U32(5).U32(0xFFFFFFFFu).U32(0x80000000u));
    ASSERT_NE(h.Session(), nullptr);
    EXPECT_EQ(h.Session()->remoteChannel, 5u);
    EXPECT_EQ(h.Session()->remoteWindow, INT32_MAX);
    EXPECT_EQ(h.Session()->remoteMaxPacket, INT32_MAX);
    EXPECT_EQ(h.SentTypes(), std::vector<uint8_t>{98});  // the subsystem request
}

}  // namespace
}  // namespace velunor
