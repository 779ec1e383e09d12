#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "fuzz/PacketLayerFuzzTarget.h"
#include "unit/ssh/PacketLayerTestKit.h"

namespace velunor::test {
namespace {

using fuzz::FuzzMode;
using fuzz::PacketLayerFuzzOne;

Bytes ReadFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// The corpus the fuzzer grows: every file must run clean, and the hand-made seeds must still
// decode to their messages.
TEST(PacketLayerFuzzCorpus, ReplaysClean) {
    const std::filesystem::path dir = std::filesystem::path(VELUNOR_SOURCE_DIR) / "tests/fuzz/corpus/packet_layer";
    const std::map<std::string, int> seeds = {
        {"clear_then_zlib", 6}, {"clear_bytewise", 6}, {"zlib_only", 4},
        {"length_too_big", 0},  {"zlib_garbage", 0},
    };
    int seen = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        Bytes input = ReadFile(entry.path());
        int messages = PacketLayerFuzzOne(input.data(), input.size());
        auto seed = seeds.find(entry.path().filename().string());
        if (seed != seeds.end()) {
            EXPECT_EQ(messages, seed->second) << entry.path();
            ++seen;
        }
    }
    EXPECT_EQ(seen, int(seeds.size()));
}

// A valid stream for the mode, built by a sender keyed as the target's receiver.
Bytes ValidStream(FuzzMode mode, uint8_t piece, int* messages) {
    CSshPacketLayer sender;
    fuzz::SetFuzzPending(sender, mode, true);
    ByteSink sink;
    sink.bytes = {uint8_t(mode), piece};
    *messages = 0;
    auto send = [&](uint8_t type, size_t bodyBytes) {
        sender.BeginPacket(type);
        sender.PutString(Bytes(bodyBytes, uint8_t('a' + type % 26)));
        EXPECT_TRUE(sender.SendPacket(sink));
        ++*messages;
    };
    if (mode == FuzzMode::ClearThenZlib) {
        send(20, 60);
        send(31, 300);
        send(21, 0);
    }
    EXPECT_TRUE(sender.TakePendingKeys());
    EXPECT_TRUE(sender.StartCompression(6));
    send(6, 12);
    send(94, 5000);
    send(98, 3);
    return sink.bytes;
}

// Every single-bit flip and every cut of a valid stream, in each mode: a finding of the
// sanitizers here is a failure.
TEST(PacketLayerFuzzCorpus, MutationSweepRunsClean) {
    for (int m = 0; m < fuzz::FuzzModes; ++m) {
        for (uint8_t piece : {uint8_t(0), uint8_t(40)}) {
            int expected = 0;
            Bytes valid = ValidStream(FuzzMode(m), piece, &expected);
            ASSERT_EQ(PacketLayerFuzzOne(valid.data(), valid.size()), expected) << "mode " << m;
            for (size_t i = 2; i < valid.size(); i += 1 + i / 64) {
                Bytes flipped = valid;
                flipped[i] ^= uint8_t(1u << (i % 8));
                int got = PacketLayerFuzzOne(flipped.data(), flipped.size());
                EXPECT_LE(got, expected) << "mode " << m << " flip " << i;
                int cut = PacketLayerFuzzOne(valid.data(), i);
                EXPECT_LE(cut, expected) << "mode " << m << " cut " << i;
            }
        }
    }
}

}  // namespace
}  // namespace velunor::test
