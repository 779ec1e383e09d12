#pragma once

// The packet layer over untrusted bytes. Everything after the identification line comes from
// the server or from whoever sits between it and us, so the layer must take any byte stream in
// any cut-up without reading outside its buffers, looping or keeping a half-decided packet. The
// first input byte chooses the algorithms in force, the second the size of the pieces fed.
// Keys are fixed, so a fuzzer reaches past the MAC only in the modes without one.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/CWireReader.h"
#include "crypto/CSshCipher.h"
#include "crypto/CSshMac.h"
#include "ssh/CSshPacketLayer.h"

namespace velunor::fuzz {

enum class FuzzMode : uint8_t {
    ClearThenZlib = 0,  // clear until NEWKEYS, then no cipher, no MAC, inflate in force
    ZlibOnly = 1,
    AesNoMac = 2,
    AesSha1Zlib = 3,
};
inline constexpr int FuzzModes = 4;

// Puts the mode's algorithms in the pending slots of one direction: receiving for the target,
// sending for a test that builds valid streams for it.
inline void SetFuzzPending(CSshPacketLayer& layer, FuzzMode mode, bool sending) {
    const bool aes = mode == FuzzMode::AesNoMac || mode == FuzzMode::AesSha1Zlib;
    const bool zlib = mode != FuzzMode::AesNoMac;
    unsigned char material[64];
    for (int i = 0; i < 64; ++i) material[i] = uint8_t(0x5C ^ (i * 11));
    auto make = [&]() {
        auto c = CSshCipher::Create(aes ? "aes128-cbc" : "none");
        c->SetKey(material);
        c->SetIv(material + 32);
        return c;
    };
    auto mac = [&](bool real) {
        auto m = std::make_unique<CSshMac>(CSshMac::Create(real ? "hmac-sha1" : "none", false));
        m->TakeKey(material + 8);
        return m;
    };
    const bool withMac = mode == FuzzMode::AesSha1Zlib;
    if (sending) {
        layer.SetPendingTxCipher(make());
        layer.SetPendingTxMac(mac(withMac));
        layer.SetPendingRxCipher(CSshCipher::Create("none"));
        layer.SetPendingRxMac(mac(false));
        layer.SetPendingCompression(zlib, false);
    } else {
        layer.SetPendingRxCipher(make());
        layer.SetPendingRxMac(mac(withMac));
        layer.SetPendingTxCipher(CSshCipher::Create("none"));
        layer.SetPendingTxMac(mac(false));
        layer.SetPendingCompression(false, zlib);
    }
}

// Runs one input; returns how many messages came out before the stream ended or broke.
inline int PacketLayerFuzzOne(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const auto mode = FuzzMode(data[0] % FuzzModes);
    const size_t piece = 1 + data[1] % 64;
    data += 2;
    size -= 2;

    CSshPacketLayer layer;
    SetFuzzPending(layer, mode, false);
    if (mode != FuzzMode::ClearThenZlib) {
        if (!layer.TakePendingKeys() || !layer.StartCompression(6)) return 0;
    }
    int messages = 0;
    for (size_t at = 0; at < size; at += piece) {
        size_t n = size - at < piece ? size - at : piece;
        if (!layer.Feed(data + at, uint32_t(n))) return messages;
        for (;;) {
            uint8_t type = layer.NextMessage();
            if (type == CSshPacketLayer::NoMessage) break;
            if (type == CSshPacketLayer::Malformed) return messages;
            ++messages;
            // Read the payload the way handlers do: fields until the cursor gives out.
            CWireReader in(layer.Payload());
            while (in.Ok() && in.Remaining() > 0) (void)in.String();
            if (type == 21 && !layer.Encrypting()) {
                if (!layer.TakePendingKeys() || !layer.StartCompression(6)) return messages;
            }
        }
    }
    return messages;
}

}  // namespace velunor::fuzz
