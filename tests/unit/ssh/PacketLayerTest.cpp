#include <gtest/gtest.h>
#include <openssl/hmac.h>
#include <zlib.h>

#include <random>

#include "base/CByteBuffer.h"
#include "crypto_dh/KeyDerivation.h"
#include "ssh/CSshPacketLayer.h"
#include "unit/ssh/PacketLayerTestKit.h"

namespace velunor::test {
namespace {

constexpr uint8_t kNewKeys = 21;

// Table rows print as their label in failure messages.
template <class Row>
auto operator<<(std::ostream& os, const Row& row) -> decltype(row.label, os) {
    return os << row.label;
}

Bytes EncodedString(const Bytes& body) {
    Bytes out = {uint8_t(body.size() >> 24), uint8_t(body.size() >> 16), uint8_t(body.size() >> 8),
                 uint8_t(body.size())};
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes Noise(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    Bytes b(n);
    for (auto& v : b) v = uint8_t(gen());
    return b;
}

// Each message carries one string field; as received, the payload is that string's encoding.
struct Outgoing {
    uint8_t type;
    Bytes body;
};

std::vector<Outgoing> SampleTraffic(unsigned seed) {
    return {
        {50, {}},
        {94, Bytes(7, 'x')},
        {94, Noise(5000, seed)},            // more than one zlib piece, incompressible
        {94, Bytes(40000, 'a')},            // compresses to far less than it inflates to
        {98, Noise(33, seed + 1)},
    };
}

void SendAll(CSshPacketLayer& layer, ByteSink& sink, const std::vector<Outgoing>& traffic) {
    for (const auto& m : traffic) {
        layer.BeginPacket(m.type);
        layer.PutString(m.body.data(), uint32_t(m.body.size()));
        ASSERT_TRUE(layer.SendPacket(sink));
    }
}

void Expect(std::vector<Message>& expected, const std::vector<Outgoing>& traffic) {
    for (const auto& m : traffic) expected.push_back({m.type, EncodedString(m.body)});
}

void SendNewKeys(CSshPacketLayer& layer, ByteSink& sink) {
    layer.BeginPacket(kNewKeys);
    ASSERT_TRUE(layer.SendPacket(sink));
    ASSERT_TRUE(SwitchOnNewKeys(layer));
}

long Decrypted(CSshCipher* c) {
    auto* counting = dynamic_cast<CountingCipher*>(c);
    return counting ? counting->decrypted : -1;
}

class PacketLayerRoundTrip : public ::testing::TestWithParam<Suite> {};

// Clear traffic, NEWKEYS, then keyed traffic both ways; the receiving side is fed in one piece
// and byte by byte and must yield the same messages, each packet decrypted exactly once.
TEST_P(PacketLayerRoundTrip, DeliversSameMessagesWholeAndByteByByte) {
    const Suite& suite = GetParam();
    const bool keyed = suite.cipher != nullptr;
    CSshPacketLayer client, server, serverBytewise, spare;
    if (keyed) {
        KeyPending(client, server, suite);
        KeyPending(spare, serverBytewise, suite);
    }
    CSshCipher* rxWhole = server.PendingRxCipher();
    CSshCipher* rxBytewise = serverBytewise.PendingRxCipher();

    ByteSink toServer, toClient;
    std::vector<Message> expected;
    auto before = SampleTraffic(1), after = SampleTraffic(2);
    SendAll(client, toServer, before);
    Expect(expected, before);
    size_t keyedFrom = 0;
    if (keyed) {
        SendNewKeys(client, toServer);
        expected.push_back({kNewKeys, {}});
        keyedFrom = toServer.bytes.size();
    }
    SendAll(client, toServer, after);
    Expect(expected, after);

    EXPECT_EQ(Receive(server, toServer.bytes, toServer.bytes.size()), expected);
    EXPECT_EQ(Receive(serverBytewise, toServer.bytes, 1), expected);
    EXPECT_EQ(client.TxSequence(), server.RxSequence());

    if (keyed && Decrypted(rxWhole) >= 0) {
        const long macBytes = long(CSshMac::Create(suite.mac, false).macLength) * long(after.size());
        const long keyedPackets = long(toServer.bytes.size() - keyedFrom) - macBytes;
        EXPECT_EQ(Decrypted(rxWhole), keyedPackets);
        EXPECT_EQ(Decrypted(rxBytewise), keyedPackets);
    }

    // And the other way on the same layers: both switched both directions at NEWKEYS.
    std::vector<Message> reply;
    auto answer = SampleTraffic(3);
    SendAll(server, toClient, answer);
    Expect(reply, answer);
    EXPECT_EQ(Receive(client, toClient.bytes, 3), reply);
}

const Suite kSuites[] = {
    {"Clear", nullptr, "none", false},
    {"NoneCipherNoMac", "none", "none", false},
    {"Aes128HmacSha1", "aes128-cbc", "hmac-sha1", false},
    {"TripleDesHmacMd5", "3des-cbc", "hmac-md5", false},
    {"Aes128HmacSha1Zlib", "aes128-cbc", "hmac-sha1", true},
    {"TripleDesHmacMd5Zlib", "3des-cbc", "hmac-md5", true},
    {"ZlibOnly", "none", "none", true},
};

INSTANTIATE_TEST_SUITE_P(Suites, PacketLayerRoundTrip, ::testing::ValuesIn(kSuites),
                         [](const auto& info) { return std::string(info.param.label); });

// ---- Received lengths and framing -------------------------------------------------------------

struct LengthCase {
    const char* label;
    uint32_t length;
    uint8_t expected;  // after only the first 8-byte block has arrived
};

class PacketLayerClearLength : public ::testing::TestWithParam<LengthCase> {};

// Lengths outside 5..262144 are refused from the first block; accepted ones wait for the rest.
TEST_P(PacketLayerClearLength, DecidesOnFirstBlock) {
    const auto& c = GetParam();
    Bytes block = {uint8_t(c.length >> 24), uint8_t(c.length >> 16), uint8_t(c.length >> 8),
                   uint8_t(c.length), 4, 94, 0, 0};
    CSshPacketLayer layer;
    ASSERT_TRUE(layer.Feed(block));
    EXPECT_EQ(layer.NextMessage(), c.expected);
}

const LengthCase kClearLengths[] = {
    {"Zero", 0, CSshPacketLayer::Malformed},
    {"Four", 4, CSshPacketLayer::Malformed},
    {"Five", 5, CSshPacketLayer::NoMessage},
    {"Max", 262144, CSshPacketLayer::NoMessage},
    {"MaxPlusOne", 262145, CSshPacketLayer::Malformed},
    {"Huge", 0xFFFFFFFF, CSshPacketLayer::Malformed},
};

INSTANTIATE_TEST_SUITE_P(Bounds, PacketLayerClearLength, ::testing::ValuesIn(kClearLengths),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(PacketLayerReceive, AcceptsPacketOfMaximumLength) {
    const uint32_t length = 262144;
    const uint8_t padding = 4;
    Bytes body(length - padding - 2, 0x5A);
    Bytes packet = ClearPacket(94, body, padding);
    ASSERT_EQ(packet.size(), length + 4);
    CSshPacketLayer layer;
    ASSERT_TRUE(layer.Feed(packet));
    uint32_t payloadLength = 0;
    EXPECT_EQ(layer.NextMessage(&payloadLength), 94);
    EXPECT_EQ(payloadLength, body.size());
}

struct FramingCase {
    const char* label;
    Bytes packet;
};

class PacketLayerMalformedFrame : public ::testing::TestWithParam<FramingCase> {};

TEST_P(PacketLayerMalformedFrame, IsMalformedAndStaysSo) {
    CSshPacketLayer layer;
    ASSERT_TRUE(layer.Feed(GetParam().packet));
    Bytes good = ClearPacket(50, {}, 6);
    ASSERT_TRUE(layer.Feed(good));
    EXPECT_EQ(layer.NextMessage(), CSshPacketLayer::Malformed);
    EXPECT_EQ(layer.NextMessage(), CSshPacketLayer::Malformed);
}

const FramingCase kMalformedFrames[] = {
    {"PaddingThree", ClearPacket(50, Bytes(4), 3)},
    // Five bytes of length leave no message type once four bytes of padding are gone.
    {"NoMessageType", {0, 0, 0, 5, 4, 0, 0, 0, 0}},
    {"PaddingBeyondPacket", {0, 0, 0, 12, 200, 50, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    {"MessageNumberZero", ClearPacket(0, Bytes(1), 6)},
};

INSTANTIATE_TEST_SUITE_P(Frames, PacketLayerMalformedFrame, ::testing::ValuesIn(kMalformedFrames),
                         [](const auto& info) { return std::string(info.param.label); });

// Under a 16-byte cipher, a length that is short of one block or not a whole number of blocks
// is refused as soon as the first block is in: it is never waited for or decrypted in part.
struct KeyedLengthCase {
    const char* label;
    uint32_t length;
    uint8_t expected;
};

class PacketLayerKeyedLength : public ::testing::TestWithParam<KeyedLengthCase> {};

TEST_P(PacketLayerKeyedLength, DecidesOnFirstBlock) {
    const auto& c = GetParam();
    const Suite aes = {"aes", "aes128-cbc", "hmac-sha1", false};
    CSshPacketLayer sender, receiver;
    KeyPending(sender, receiver, aes);
    CSshCipher* rx = receiver.PendingRxCipher();
    ASSERT_TRUE(receiver.TakePendingKeys());

    Bytes block = {uint8_t(c.length >> 24), uint8_t(c.length >> 16), uint8_t(c.length >> 8),
                   uint8_t(c.length), 4, 94};
    block.resize(16, 0);
    auto encryptor = MakeCipher(aes, 1);  // the receiver's key and IV
    encryptor->Encrypt(block.data(), block.data(), 16);
    ASSERT_TRUE(receiver.Feed(block));
    EXPECT_EQ(receiver.NextMessage(), c.expected);
    EXPECT_EQ(receiver.NextMessage(), c.expected);
    EXPECT_EQ(Decrypted(rx), 16) << "only the first block, and only once";
}

const KeyedLengthCase kKeyedLengths[] = {
    {"ShorterThanBlock", 8, CSshPacketLayer::Malformed},       // 12 bytes in all
    {"NotBlockMultiple", 20, CSshPacketLayer::Malformed},      // 24 bytes in all
    {"OneBlockMore", 28, CSshPacketLayer::NoMessage},          // 32 bytes in all
    {"ExactlyOneBlock", 12, CSshPacketLayer::NoMessage},       // complete but the MAC is awaited
};

INSTANTIATE_TEST_SUITE_P(Bounds, PacketLayerKeyedLength, ::testing::ValuesIn(kKeyedLengths),
                         [](const auto& info) { return std::string(info.param.label); });

// ---- Padding ----------------------------------------------------------------------------------

struct PaddingCase {
    const char* label;
    bool keyed16;       // a 16-byte block cipher in force (copying, so the wire stays readable)
    uint32_t bodyBytes; // field bytes after the message type
    uint8_t padding;
};

class PacketLayerPadding : public ::testing::TestWithParam<PaddingCase> {};

TEST_P(PacketLayerPadding, PadsToBlockWithAtLeastFour) {
    const auto& c = GetParam();
    CSshPacketLayer layer, peer;
    if (c.keyed16) {
        KeyPending(layer, peer, {"copy", "copy16", "none", false});
        ASSERT_TRUE(layer.TakePendingKeys());
    }
    layer.BeginPacket(94);
    for (uint32_t i = 0; i < c.bodyBytes; ++i) layer.PutByte(uint8_t(i + 1));
    ByteSink sink;
    ASSERT_TRUE(layer.SendPacket(sink));
    ASSERT_GE(sink.bytes.size(), 5u);
    EXPECT_EQ(sink.bytes[4], c.padding);
    EXPECT_EQ(sink.bytes.size(), 6 + c.bodyBytes + c.padding);
    EXPECT_EQ(sink.bytes.size() % (c.keyed16 ? 16 : 8), 0u);
    if (!c.keyed16) {
        Bytes pad(sink.bytes.end() - c.padding, sink.bytes.end());
        EXPECT_EQ(pad, Bytes(c.padding, 0)) << "unencrypted padding is zero";
    }
}

const PaddingCase kPadding[] = {
    {"Clear13Bytes", false, 7, 11},  // 13 mod 8 = 5 leaves 3, below 4, so one more block
    {"Clear12Bytes", false, 6, 4},
    {"Clear16Bytes", false, 10, 8},
    {"Clear11Bytes", false, 5, 5},
    {"Clear14Bytes", false, 8, 10},
    {"Block16With13Bytes", true, 7, 19},
    {"Block16With28Bytes", true, 22, 4},
    {"Block16With32Bytes", true, 26, 16},
};

INSTANTIATE_TEST_SUITE_P(Blocks, PacketLayerPadding, ::testing::ValuesIn(kPadding),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(PacketLayerSend, NewKeysIsPaddedWithRandomBytesWhileClear) {
    CSshPacketLayer layer;
    ByteSink sink;
    layer.BeginPacket(kNewKeys);
    ASSERT_TRUE(layer.SendPacket(sink));
    ASSERT_EQ(sink.bytes.size(), 16u);
    ASSERT_EQ(sink.bytes[4], 10);
    Bytes pad(sink.bytes.begin() + 6, sink.bytes.end());
    // Ten bytes all zero from a random source: one chance in 2^80.
    EXPECT_NE(pad, Bytes(10, 0));
    EXPECT_FALSE(layer.Encrypting());
}

// ---- Messages the engine never sees -----------------------------------------------------------

TEST(PacketLayerReceive, IgnoreAndDebugBetweenMessagesAreInvisible) {
    CSshPacketLayer sender, receiver;
    ByteSink sink;
    sender.BeginPacket(50);
    sender.PutCString("first");
    ASSERT_TRUE(sender.SendPacket(sink));
    sender.BeginPacket(2);  // IGNORE
    sender.PutCString("filler");
    ASSERT_TRUE(sender.SendPacket(sink));
    sender.BeginPacket(4);  // DEBUG
    sender.PutBool(true);
    sender.PutCString("look at me");
    sender.PutCString("en");
    ASSERT_TRUE(sender.SendPacket(sink));
    sender.BeginPacket(51);
    ASSERT_TRUE(sender.SendPacket(sink));

    std::vector<Message> got = Receive(receiver, sink.bytes, sink.bytes.size());
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].type, 50);
    EXPECT_EQ(got[1].type, 51);
    EXPECT_EQ(receiver.RxSequence(), 4u) << "swallowed packets still count";
}

TEST(PacketLayerReceive, DisconnectKeepsDescriptionAndLeavesLaterPackets) {
    CSshPacketLayer sender, receiver;
    ByteSink sink;
    sender.BeginPacket(1);
    sender.PutUint32(11);
    sender.PutCString("Bye \xC3\xBC" "ber");
    sender.PutCString("");
    ASSERT_TRUE(sender.SendPacket(sink));
    sender.BeginPacket(97);
    sender.PutUint32(0);
    ASSERT_TRUE(sender.SendPacket(sink));

    ASSERT_TRUE(receiver.Feed(sink.bytes));
    EXPECT_EQ(receiver.NextMessage(), 1);
    EXPECT_EQ(receiver.DisconnectText().ToUtf8(), "Bye \xC3\xBC" "ber");
    EXPECT_EQ(receiver.NextMessage(), 97);
    EXPECT_EQ(receiver.NextMessage(), CSshPacketLayer::NoMessage);
}

// ---- Integrity --------------------------------------------------------------------------------

struct FlipCase {
    const char* label;
    const char* mac;
    int offsetFromEnd;  // the byte flipped, counted back from the end of the wire
};

class PacketLayerTamper : public ::testing::TestWithParam<FlipCase> {};

TEST_P(PacketLayerTamper, FlippedByteIsMalformed) {
    const auto& c = GetParam();
    const Suite suite = {"aes", "aes128-cbc", c.mac, false};
    CSshPacketLayer sender, receiver;
    KeyPending(sender, receiver, suite);
    ASSERT_TRUE(sender.TakePendingKeys());
    ASSERT_TRUE(receiver.TakePendingKeys());
    ByteSink sink;
    sender.BeginPacket(94);
    sender.PutString(Bytes(40, 'q'));
    ASSERT_TRUE(sender.SendPacket(sink));
    sink.bytes[sink.bytes.size() - size_t(c.offsetFromEnd)] ^= 0x01;
    ASSERT_TRUE(receiver.Feed(sink.bytes));
    EXPECT_EQ(receiver.NextMessage(), CSshPacketLayer::Malformed);
}

const FlipCase kFlips[] = {
    {"Sha1LastMacByte", "hmac-sha1", 1},
    {"Sha1FirstMacByte", "hmac-sha1", 20},
    {"Sha1LastCipherByte", "hmac-sha1", 21},
    {"Md5LastMacByte", "hmac-md5", 1},
    {"Md5CipherByte", "hmac-md5", 16 + 20},
};

INSTANTIATE_TEST_SUITE_P(Bytes, PacketLayerTamper, ::testing::ValuesIn(kFlips),
                         [](const auto& info) { return std::string(info.param.label); });

// The MAC covers the sequence number, which wraps at 2^32: checked against HMAC computed here
// over the wrapped number, with a copying cipher so the packet is readable on the wire.
TEST(PacketLayerSequence, WrapsAtTwoToThe32) {
    const Suite suite = {"copy", "none", "hmac-sha1", false};
    CSshPacketLayer sender(0xFFFFFFFEu), receiver(0xFFFFFFFEu);
    KeyPending(sender, receiver, suite);
    auto reference = MakeMac(suite, 1);  // the sender's MAC key
    ASSERT_TRUE(sender.TakePendingKeys());
    ASSERT_TRUE(receiver.TakePendingKeys());
    ByteSink sink;
    for (int i = 0; i < 4; ++i) {
        sender.BeginPacket(94);
        sender.PutUint32(uint32_t(i));
        ASSERT_TRUE(sender.SendPacket(sink));
    }
    EXPECT_EQ(sender.TxSequence(), 2u);

    size_t at = 0;
    for (uint32_t i = 0; i < 4; ++i) {
        const uint32_t seq = 0xFFFFFFFEu + i;  // unsigned: 0xFFFFFFFE, 0xFFFFFFFF, 0, 1
        ASSERT_LE(at + 4, sink.bytes.size());
        uint32_t length = (uint32_t(sink.bytes[at]) << 24) | (uint32_t(sink.bytes[at + 1]) << 16) |
                          (uint32_t(sink.bytes[at + 2]) << 8) | sink.bytes[at + 3];
        Bytes input = {uint8_t(seq >> 24), uint8_t(seq >> 16), uint8_t(seq >> 8), uint8_t(seq)};
        input.insert(input.end(), sink.bytes.begin() + long(at), sink.bytes.begin() + long(at + length + 4));
        unsigned char expected[20];
        unsigned int n = 0;
        HMAC(EVP_sha1(), reference->key, reference->keyLength, input.data(), input.size(), expected, &n);
        Bytes wireMac(sink.bytes.begin() + long(at + length + 4), sink.bytes.begin() + long(at + length + 24));
        EXPECT_EQ(wireMac, Bytes(expected, expected + 20)) << "packet " << i << " sequence " << seq;
        at += length + 4 + 20;
    }
    EXPECT_EQ(at, sink.bytes.size());

    auto got = Receive(receiver, sink.bytes, sink.bytes.size());
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[3].type, 94);
    EXPECT_EQ(receiver.RxSequence(), 2u);
}

// ---- Compression ------------------------------------------------------------------------------

TEST(PacketLayerCompression, CompressedBytesIncludeMessageType) {
    const Suite suite = {"copy", "none", "none", true};
    CSshPacketLayer sender, peer;
    KeyPending(sender, peer, suite);
    ASSERT_TRUE(sender.TakePendingKeys());
    ASSERT_TRUE(sender.StartCompression(6));
    ByteSink sink;
    const Bytes body(3000, 'z');
    sender.BeginPacket(94);
    sender.PutString(body);
    ASSERT_TRUE(sender.SendPacket(sink));

    ASSERT_GT(sink.bytes.size(), 5u);
    uint32_t length = (uint32_t(sink.bytes[0]) << 24) | (uint32_t(sink.bytes[1]) << 16) |
                      (uint32_t(sink.bytes[2]) << 8) | sink.bytes[3];
    uint8_t padding = sink.bytes[4];
    ASSERT_EQ(length + 4, sink.bytes.size());
    Bytes compressed(sink.bytes.begin() + 5, sink.bytes.end() - padding);
    EXPECT_LT(compressed.size(), 200u);

    z_stream in{};
    ASSERT_EQ(inflateInit(&in), Z_OK);
    Bytes plain(8192);
    in.next_in = compressed.data();
    in.avail_in = uInt(compressed.size());
    in.next_out = plain.data();
    in.avail_out = uInt(plain.size());
    int rc = inflate(&in, Z_SYNC_FLUSH);
    size_t produced = plain.size() - in.avail_out;
    inflateEnd(&in);
    ASSERT_EQ(rc, Z_OK);
    plain.resize(produced);
    Bytes expected = {94};
    Bytes encoded = EncodedString(body);
    expected.insert(expected.end(), encoded.begin(), encoded.end());
    EXPECT_EQ(plain, expected);
}

struct InflateCase {
    const char* label;
    bool senderCompresses;
    size_t bodyBytes;
    bool delivered;
};

class PacketLayerInflate : public ::testing::TestWithParam<InflateCase> {};

// Payloads that do not inflate, or inflate beyond what a packet could carry, are refused rather
// than passed on cut short.
TEST_P(PacketLayerInflate, RefusesBrokenOrOversizedPayload) {
    const auto& c = GetParam();
    CSshPacketLayer sender, receiver;
    KeyPending(sender, receiver, {"copy", "none", "none", true});
    if (!c.senderCompresses) sender.SetPendingCompression(false, false);
    ASSERT_TRUE(sender.TakePendingKeys());
    ASSERT_TRUE(receiver.TakePendingKeys());
    ASSERT_TRUE(sender.StartCompression(9));
    ASSERT_TRUE(receiver.StartCompression(9));
    ByteSink sink;
    sender.BeginPacket(94);
    sender.PutString(Bytes(c.bodyBytes, 0));
    ASSERT_TRUE(sender.SendPacket(sink));
    ASSERT_TRUE(receiver.Feed(sink.bytes));
    uint32_t payloadLength = 0;
    uint8_t type = receiver.NextMessage(&payloadLength);
    if (c.delivered) {
        EXPECT_EQ(type, 94);
        EXPECT_EQ(payloadLength, c.bodyBytes + 4);
    } else {
        EXPECT_EQ(type, CSshPacketLayer::Malformed);
    }
}

const InflateCase kInflate[] = {
    {"LargeButWithinLimit", true, 200000, true},
    {"InflatesBeyondLimit", true, 300000, false},
    {"NotZlibData", false, 64, false},
};

INSTANTIATE_TEST_SUITE_P(Payloads, PacketLayerInflate, ::testing::ValuesIn(kInflate),
                         [](const auto& info) { return std::string(info.param.label); });

// ---- Output buffering and the key switch ------------------------------------------------------

TEST(PacketLayerSend, UnsentBytesWaitForFlushInOrder) {
    CSshPacketLayer layer;
    ByteSink whole, slow;
    CSshPacketLayer reference;
    for (uint8_t t : {50, 51, 52}) {
        reference.BeginPacket(t);
        reference.PutCString("same bytes");
        ASSERT_TRUE(reference.SendPacket(whole));
    }

    slow.accept = -1;  // the socket reports an error: everything stays queued
    layer.BeginPacket(50);
    layer.PutCString("same bytes");
    ASSERT_TRUE(layer.SendPacket(slow));
    EXPECT_EQ(layer.OutputPending(), whole.bytes.size() / 3);
    slow.accept = 0;  // would block
    for (uint8_t t : {51, 52}) {
        layer.BeginPacket(t);
        layer.PutCString("same bytes");
        ASSERT_TRUE(layer.SendPacket(slow));
    }
    EXPECT_EQ(layer.OutputPending(), whole.bytes.size());
    slow.accept = 7;  // a socket taking a few bytes per send event
    while (layer.OutputPending() > 0) {
        int expected = std::min(7, int(layer.OutputPending()));
        ASSERT_EQ(layer.FlushOutput(slow), expected);
    }
    EXPECT_EQ(slow.bytes, whole.bytes);
    EXPECT_EQ(layer.FlushOutput(slow), 0);
}

struct SwitchCase {
    const char* label;
    int drop;  // which pending object is left out (0 none), or 5: a MAC without its key
    bool switches;
};

class PacketLayerKeySwitch : public ::testing::TestWithParam<SwitchCase> {};

TEST_P(PacketLayerKeySwitch, NeedsAllPendingObjects) {
    const auto& c = GetParam();
    const Suite suite = {"aes", "aes128-cbc", "hmac-sha1", false};
    CSshPacketLayer layer, peer;
    KeyPending(layer, peer, suite);
    switch (c.drop) {
        case 1: layer.SetPendingTxCipher(nullptr); break;
        case 2: layer.SetPendingRxCipher(nullptr); break;
        case 3: layer.SetPendingTxMac(nullptr); break;
        case 4: layer.SetPendingRxMac(nullptr); break;
        case 5: layer.SetPendingRxMac(std::make_unique<CSshMac>(CSshMac::Create("hmac-sha1", false))); break;
        default: break;
    }
    EXPECT_EQ(layer.TakePendingKeys(), c.switches);
    EXPECT_EQ(layer.Encrypting(), c.switches);
    EXPECT_EQ(layer.PendingTxCipher() == nullptr, c.switches || c.drop == 1);
}

const SwitchCase kSwitches[] = {
    {"AllPresent", 0, true},       {"NoTxCipher", 1, false}, {"NoRxCipher", 2, false},
    {"NoTxMac", 3, false},         {"NoRxMac", 4, false},    {"MacWithoutKey", 5, false},
};

INSTANTIATE_TEST_SUITE_P(Pending, PacketLayerKeySwitch, ::testing::ValuesIn(kSwitches),
                         [](const auto& info) { return std::string(info.param.label); });

// The client sends with IV A, key C and MAC key E and receives with B, D and F: a peer keyed by
// hand from the same letters the other way round must understand it in both directions.
TEST(PacketLayerKeying, DerivedLettersGoToTheirDirections) {
    BIGNUM* kRaw = nullptr;
    BN_hex2bn(&kRaw, "C0FFEE0123456789ABCDEF0123456789ABCDEF0123456789");
    DhNumber k(kRaw);
    const Bytes h(20, 0x48), sid(20, 0x53);
    auto material = [&](char letter, uint32_t length) { return DeriveKey(letter, k.get(), h, sid, length); };

    CSshPacketLayer client, peer;
    client.SetPendingTxCipher(CSshCipher::Create("aes128-cbc"));
    client.SetPendingRxCipher(CSshCipher::Create("aes256-cbc"));
    client.SetPendingTxMac(std::make_unique<CSshMac>(CSshMac::Create("hmac-sha1", false)));
    client.SetPendingRxMac(std::make_unique<CSshMac>(CSshMac::Create("hmac-md5", false)));
    ASSERT_TRUE(client.KeyPendingObjects(material));

    auto peerRx = CSshCipher::Create("aes128-cbc");
    peerRx->SetIv(material('A', 16).Data());
    peerRx->SetKey(material('C', 16).Data());
    auto peerTx = CSshCipher::Create("aes256-cbc");
    peerTx->SetIv(material('B', 16).Data());
    peerTx->SetKey(material('D', 32).Data());
    auto peerRxMac = std::make_unique<CSshMac>(CSshMac::Create("hmac-sha1", false));
    peerRxMac->TakeKey(material('E', 20).Data());
    auto peerTxMac = std::make_unique<CSshMac>(CSshMac::Create("hmac-md5", false));
    peerTxMac->TakeKey(material('F', 16).Data());
    peer.SetPendingRxCipher(std::move(peerRx));
    peer.SetPendingTxCipher(std::move(peerTx));
    peer.SetPendingRxMac(std::move(peerRxMac));
    peer.SetPendingTxMac(std::move(peerTxMac));
    ASSERT_TRUE(client.TakePendingKeys());
    ASSERT_TRUE(peer.TakePendingKeys());

    ByteSink up, down;
    client.BeginPacket(5);
    client.PutCString("ssh-userauth");
    ASSERT_TRUE(client.SendPacket(up));
    peer.BeginPacket(6);
    peer.PutCString("ssh-userauth");
    ASSERT_TRUE(peer.SendPacket(down));
    EXPECT_EQ(Receive(peer, up.bytes, up.bytes.size()).front().type, 5);
    EXPECT_EQ(Receive(client, down.bytes, down.bytes.size()).front().type, 6);
}

TEST(PacketLayerKeying, RefusesWhenNegotiationLeftSlotsEmpty) {
    CSshPacketLayer layer;
    layer.SetPendingTxCipher(CSshCipher::Create("aes128-cbc"));
    layer.SetPendingRxCipher(CSshCipher::Create("aes128-cbc"));
    layer.SetPendingTxMac(std::make_unique<CSshMac>(CSshMac::Create("hmac-sha1", false)));
    int calls = 0;
    auto material = [&](char, uint32_t length) {
        ++calls;
        return CSecureBlock(length);
    };
    EXPECT_FALSE(layer.KeyPendingObjects(material));
    EXPECT_EQ(calls, 0);
    EXPECT_FALSE(layer.TakePendingKeys());
}

TEST(PacketLayerSend, CompressionInForceWithoutStreamIsRefused) {
    CSshPacketLayer layer, peer;
    KeyPending(layer, peer, {"copy", "none", "none", true});
    ASSERT_TRUE(layer.TakePendingKeys());
    ByteSink sink;
    layer.BeginPacket(94);
    EXPECT_FALSE(layer.SendPacket(sink));
    EXPECT_EQ(layer.OutputPending(), 0u);
    EXPECT_EQ(layer.TxSequence(), 0u);
}

}  // namespace
}  // namespace velunor::test
