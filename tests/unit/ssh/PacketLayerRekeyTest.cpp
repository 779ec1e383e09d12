// During a key exchange only key exchange messages may leave; the rest waits and goes out under
// the new keys, which is what the peer, switching at our NEWKEYS, can read.
#include <gtest/gtest.h>

#include "unit/ssh/PacketLayerTestKit.h"

using namespace velunor;
using namespace velunor::test;

namespace {

constexpr uint8_t kKexInit = 20;
constexpr uint8_t kNewKeys = 21;
constexpr uint8_t kKexDhInit = 30;
constexpr uint8_t kChannelData = 94;
constexpr uint8_t kWindowAdjust = 93;

void Send(CSshPacketLayer& layer, ByteSink& sink, uint8_t type, uint32_t value) {
    layer.BeginPacket(type);
    layer.PutUint32(value);
    ASSERT_TRUE(layer.SendPacket(sink));
}

TEST(PacketLayerRekey, ChannelTrafficWaitsForTheNewKeys) {
    const Suite suite{"aes128/sha1", "aes128-cbc", "hmac-sha1", false};
    CSshPacketLayer client, server;
    ByteSink toServer;

    // The first exchange, with nothing else in flight.
    KeyPending(client, server, suite);
    Send(client, toServer, kKexInit, 0);
    client.BeginPacket(kNewKeys);
    ASSERT_TRUE(client.SendPacket(toServer));
    ASSERT_TRUE(SwitchOnNewKeys(client));
    ASSERT_TRUE(client.SendHeld(toServer));
    std::vector<Message> seen = Receive(server, toServer.bytes, toServer.bytes.size());
    size_t firstPart = toServer.bytes.size();

    // A re-key: the channel keeps producing while it runs.
    KeyPending(client, server, Suite{"aes256/md5", "aes256-cbc", "hmac-md5", false});
    Send(client, toServer, kKexInit, 1);
    EXPECT_TRUE(client.KeyExchangeUnderWay());
    Send(client, toServer, kChannelData, 2);
    Send(client, toServer, kKexDhInit, 3);
    Send(client, toServer, kWindowAdjust, 4);
    size_t beforeNewKeys = toServer.bytes.size();
    client.BeginPacket(kNewKeys);
    ASSERT_TRUE(client.SendPacket(toServer));
    size_t newKeysLength = toServer.bytes.size() - beforeNewKeys;
    ASSERT_TRUE(SwitchOnNewKeys(client));
    EXPECT_FALSE(client.KeyExchangeUnderWay());
    EXPECT_EQ(toServer.bytes.size(), beforeNewKeys + newKeysLength);  // still nothing of the channel
    ASSERT_TRUE(client.SendHeld(toServer));
    EXPECT_GT(toServer.bytes.size(), beforeNewKeys + newKeysLength);

    Bytes rest(toServer.bytes.begin() + long(firstPart), toServer.bytes.end());
    for (auto& m : Receive(server, rest, rest.size())) seen.push_back(m);
    std::vector<uint8_t> types;
    for (const auto& m : seen) types.push_back(m.type);
    EXPECT_EQ(types, (std::vector<uint8_t>{kKexInit, kNewKeys, kKexInit, kKexDhInit, kNewKeys, kChannelData,
                                           kWindowAdjust}));
    ASSERT_EQ(seen.size(), 7u);
    EXPECT_EQ(seen[5].payload, (Bytes{0, 0, 0, 2}));
    EXPECT_EQ(seen[6].payload, (Bytes{0, 0, 0, 4}));

    // Held bytes went once: the next exchange starts empty.
    size_t after = toServer.bytes.size();
    ASSERT_TRUE(client.SendHeld(toServer));
    EXPECT_EQ(toServer.bytes.size(), after);
}

}  // namespace
