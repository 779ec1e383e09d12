#pragma once

// Test-only pieces for driving CSshPacketLayer in-process: a byte sink standing in for the
// socket, a counting wrapper over the real ciphers, and helpers that key two layers together.

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "crypto/CSshCipher.h"
#include "crypto/CSshMac.h"
#include "ssh/CSshPacketLayer.h"

namespace velunor::test {

using Bytes = std::vector<uint8_t>;

// Collects what the layer sends. accept limits each call (-1: refuse with an error).
struct ByteSink : CSshPacketLayer::Sink {
    Bytes bytes;
    int accept = INT_MAX;
    int calls = 0;
    int Send(std::span<const uint8_t> b) override {
        ++calls;
        if (accept < 0) return -1;
        size_t n = std::min(b.size(), size_t(accept));
        bytes.insert(bytes.end(), b.begin(), b.begin() + n);
        return int(n);
    }
};

// Wraps a real cipher and counts what went through Decrypt, so a test can tell that no byte was
// decrypted twice (or left out).
class CountingCipher : public CSshCipher {
public:
    explicit CountingCipher(std::unique_ptr<CSshCipher> real) : inner(std::move(real)) {
        name = inner->name;
        blockSize = inner->blockSize;
        keyLength = inner->keyLength;
    }
    void SetKey(const unsigned char* k) override { inner->SetKey(k); }
    void SetIv(const unsigned char* v) override { inner->SetIv(v); }
    void Encrypt(unsigned char* out, const unsigned char* in, int length) override { inner->Encrypt(out, in, length); }
    void Decrypt(unsigned char* out, const unsigned char* in, int length) override {
        decrypted += length;
        inner->Decrypt(out, in, length);
    }
    long decrypted = 0;

private:
    std::unique_ptr<CSshCipher> inner;
};

// A "cipher" that copies, with a chosen block size: keyed framing stays readable on the wire.
class CopyCipher : public CSshCipher {
public:
    explicit CopyCipher(int block) { blockSize = block; name = "copy"; }
    void SetKey(const unsigned char*) override {}
    void SetIv(const unsigned char*) override {}
    void Encrypt(unsigned char* out, const unsigned char* in, int length) override { std::memmove(out, in, size_t(length)); }
    void Decrypt(unsigned char* out, const unsigned char* in, int length) override { std::memmove(out, in, size_t(length)); }
};

struct Suite {
    const char* label;
    const char* cipher;  // an SSH cipher name, or "copy16": a copying cipher of block size 16
    const char* mac;     // "hmac-sha1", "hmac-md5" or "none"
    bool compress;
};

inline std::ostream& operator<<(std::ostream& os, const Suite& s) { return os << s.label; }

inline std::unique_ptr<CSshCipher> MakeCipher(const Suite& s, uint8_t seed) {
    std::unique_ptr<CSshCipher> c;
    if (std::string(s.cipher) == "copy16")
        c = std::make_unique<CopyCipher>(16);
    else
        c = std::make_unique<CountingCipher>(CSshCipher::Create(s.cipher));
    unsigned char material[64];
    for (int i = 0; i < 64; ++i) material[i] = uint8_t(seed * 31 + i * 7);
    c->SetKey(material);
    c->SetIv(material + 32);
    return c;
}

inline std::unique_ptr<CSshMac> MakeMac(const Suite& s, uint8_t seed) {
    auto mac = std::make_unique<CSshMac>(CSshMac::Create(s.mac, false));
    unsigned char material[64];
    for (int i = 0; i < 64; ++i) material[i] = uint8_t(seed * 17 + i * 3 + 1);
    mac->TakeKey(material);
    return mac;
}

// Keys a's sending direction against b's receiving one (seed 1) and the other way (seed 2), as
// a finished key exchange would leave both ends, and returns the receiving cipher of b.
inline void KeyPending(CSshPacketLayer& a, CSshPacketLayer& b, const Suite& s) {
    a.SetPendingTxCipher(MakeCipher(s, 1));
    a.SetPendingTxMac(MakeMac(s, 1));
    b.SetPendingRxCipher(MakeCipher(s, 1));
    b.SetPendingRxMac(MakeMac(s, 1));
    b.SetPendingTxCipher(MakeCipher(s, 2));
    b.SetPendingTxMac(MakeMac(s, 2));
    a.SetPendingRxCipher(MakeCipher(s, 2));
    a.SetPendingRxMac(MakeMac(s, 2));
    a.SetPendingCompression(s.compress, s.compress);
    b.SetPendingCompression(s.compress, s.compress);
}

// One message as the engine sees it: number and payload after the number.
struct Message {
    uint8_t type;
    Bytes payload;
    bool operator==(const Message&) const = default;
};

// Switches keys on NEWKEYS as the session's handler does.
inline bool SwitchOnNewKeys(CSshPacketLayer& layer) {
    bool first = !layer.Encrypting();
    if (!layer.TakePendingKeys()) return false;
    return !first || layer.StartCompression(6);
}

// Feeds bytes in pieces of chunk and collects every message until none is complete.
inline std::vector<Message> Receive(CSshPacketLayer& layer, const Bytes& wire, size_t chunk) {
    std::vector<Message> out;
    for (size_t at = 0; at < wire.size(); at += chunk) {
        size_t n = std::min(chunk, wire.size() - at);
        if (!layer.Feed(wire.data() + at, uint32_t(n))) return out;
        for (;;) {
            uint8_t type = layer.NextMessage();
            if (type == CSshPacketLayer::NoMessage) break;
            auto p = layer.Payload();
            out.push_back({type, Bytes(p.begin(), p.end())});
            if (type == CSshPacketLayer::Malformed) return out;
            if (type == 21 && !SwitchOnNewKeys(layer)) return out;
        }
    }
    return out;
}

inline Bytes Wire(std::initializer_list<uint8_t> b) { return Bytes(b); }

// A clear packet assembled by hand: length, padding length, type, body, padding.
inline Bytes ClearPacket(uint8_t type, const Bytes& body, uint8_t padding, uint32_t lengthOverride = 0) {
    uint32_t length = uint32_t(1 + 1 + body.size() + padding);
    if (lengthOverride != 0) length = lengthOverride;
    Bytes p = {uint8_t(length >> 24), uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length), padding, type};
    p.insert(p.end(), body.begin(), body.end());
    p.insert(p.end(), padding, 0);
    return p;
}

}  // namespace velunor::test
