// Table-driven Rijndael. Each round of each column is four lookups and four XORs in 1 KiB
// tables that fold SubBytes, ShiftRows and MixColumns together; that is what keeps the cipher
// cheap enough for every packet of a transfer. The price is that the table indices are key- and
// data-dependent, so cache timing can leak key bits to code sharing the processor, and the
// tables occupy 10 KiB of read-only data.
//
// Every table is computed from GF(2^8) arithmetic by consteval functions, so there is no
// hand-typed constant to get wrong; the static_asserts pin a few entries per table.

#include "crypto/Rijndael.h"

#include <array>
#include <cstring>

namespace velunor {
namespace {

using Table = std::array<uint32_t, 256>;
using ByteTable = std::array<uint8_t, 256>;

// Multiplication by x modulo the field polynomial x^8 + x^4 + x^3 + x + 1.
consteval uint8_t Xtime(uint8_t a) { return uint8_t((a << 1) ^ ((a & 0x80) ? 0x1B : 0)); }

consteval uint8_t Multiply(uint8_t a, uint8_t b) {
    uint8_t product = 0;
    while (b != 0) {
        if (b & 1) product ^= a;
        a = Xtime(a);
        b >>= 1;
    }
    return product;
}

// a^254 is the multiplicative inverse of a, and maps 0 to 0 as the S-box needs.
consteval uint8_t Inverse(uint8_t a) {
    uint8_t result = 1;
    uint8_t power = a;
    for (int e = 254; e != 0; e >>= 1) {
        if (e & 1) result = Multiply(result, power);
        power = Multiply(power, power);
    }
    return result;
}

consteval uint8_t RotateByte(uint8_t b, int n) { return uint8_t((b << n) | (b >> (8 - n))); }

consteval ByteTable MakeSbox() {
    ByteTable s{};
    for (int x = 0; x < 256; ++x) {
        uint8_t b = Inverse(uint8_t(x));
        s[x] = uint8_t(b ^ RotateByte(b, 1) ^ RotateByte(b, 2) ^ RotateByte(b, 3) ^ RotateByte(b, 4) ^ 0x63);
    }
    return s;
}

consteval ByteTable MakeInverseSbox() {
    ByteTable s = MakeSbox();
    ByteTable inverse{};
    for (int x = 0; x < 256; ++x) inverse[s[x]] = uint8_t(x);
    return inverse;
}

constexpr ByteTable kSbox = MakeSbox();
constexpr ByteTable kInverseSbox = MakeInverseSbox();

consteval uint32_t Column(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
    return (uint32_t(b0) << 24) | (uint32_t(b1) << 16) | (uint32_t(b2) << 8) | uint32_t(b3);
}

consteval uint32_t RotateRight(uint32_t w, int n) { return n == 0 ? w : (w >> n) | (w << (32 - n)); }

// Entry x of table k is the MixColumns column of S[x] in byte position k.
consteval Table MakeEncryptTable(int rotation) {
    Table t{};
    for (int x = 0; x < 256; ++x) {
        uint8_t s = kSbox[x];
        t[x] = RotateRight(Column(Multiply(s, 2), s, s, Multiply(s, 3)), 8 * rotation);
    }
    return t;
}

consteval Table MakeDecryptTable(int rotation) {
    Table t{};
    for (int x = 0; x < 256; ++x) {
        uint8_t s = kInverseSbox[x];
        t[x] = RotateRight(Column(Multiply(s, 14), Multiply(s, 9), Multiply(s, 13), Multiply(s, 11)), 8 * rotation);
    }
    return t;
}

consteval Table MakeSpreadTable(const ByteTable& bytes) {
    Table t{};
    for (int x = 0; x < 256; ++x) t[x] = Column(bytes[x], bytes[x], bytes[x], bytes[x]);
    return t;
}

consteval std::array<uint32_t, 10> MakeRoundConstants() {
    std::array<uint32_t, 10> r{};
    uint8_t c = 1;
    for (auto& word : r) {
        word = uint32_t(c) << 24;
        c = Xtime(c);
    }
    return r;
}

constexpr Table kTe0 = MakeEncryptTable(0);
constexpr Table kTe1 = MakeEncryptTable(1);
constexpr Table kTe2 = MakeEncryptTable(2);
constexpr Table kTe3 = MakeEncryptTable(3);
constexpr Table kTe4 = MakeSpreadTable(kSbox);
constexpr Table kTd0 = MakeDecryptTable(0);
constexpr Table kTd1 = MakeDecryptTable(1);
constexpr Table kTd2 = MakeDecryptTable(2);
constexpr Table kTd3 = MakeDecryptTable(3);
constexpr Table kTd4 = MakeSpreadTable(kInverseSbox);
constexpr std::array<uint32_t, 10> kRoundConstants = MakeRoundConstants();

static_assert(kSbox[0x00] == 0x63 && kSbox[0x01] == 0x7C && kSbox[0x53] == 0xED && kSbox[0xFF] == 0x16);
static_assert(kInverseSbox[0x00] == 0x52 && kInverseSbox[0x63] == 0x00 && kInverseSbox[0xFF] == 0x7D);
static_assert(kTe0[0x00] == 0xC66363A5 && kTe0[0x01] == 0xF87C7C84 && kTe0[0xFF] == 0x2C16163A);
static_assert(kTe1[0x00] == 0xA5C66363 && kTe2[0x00] == 0x63A5C663 && kTe3[0x00] == 0x6363A5C6);
static_assert(kTe4[0x00] == 0x63636363 && kTe4[0x53] == 0xEDEDEDED);
static_assert(kTd0[0x00] == 0x51F4A750 && kTd0[0x01] == 0x7E416553 && kTd0[0xFF] == 0xD0B85742);
static_assert(kTd1[0x00] == 0x5051F4A7 && kTd2[0x00] == 0xA75051F4 && kTd3[0x00] == 0xF4A75051);
static_assert(kTd4[0x00] == 0x52525252 && kTd4[0x63] == 0x00000000);
static_assert(kRoundConstants[0] == 0x01000000 && kRoundConstants[7] == 0x80000000 &&
              kRoundConstants[8] == 0x1B000000 && kRoundConstants[9] == 0x36000000);

inline uint32_t LoadWord(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline void StoreWord(uint8_t* p, uint32_t w) {
    p[0] = uint8_t(w >> 24);
    p[1] = uint8_t(w >> 16);
    p[2] = uint8_t(w >> 8);
    p[3] = uint8_t(w);
}

inline uint32_t SubWord(uint32_t w) {
    return (kTe4[w >> 24] & 0xFF000000) ^ (kTe4[(w >> 16) & 0xFF] & 0x00FF0000) ^
           (kTe4[(w >> 8) & 0xFF] & 0x0000FF00) ^ (kTe4[w & 0xFF] & 0x000000FF);
}

// One full round: output column c takes row r's byte from input column c + r (ShiftRows).
[[gnu::always_inline]] inline void EncryptRound(uint32_t& t0, uint32_t& t1, uint32_t& t2, uint32_t& t3, uint32_t s0,
                                                uint32_t s1, uint32_t s2, uint32_t s3, const uint32_t* rk) {
    t0 = kTe0[s0 >> 24] ^ kTe1[(s1 >> 16) & 0xFF] ^ kTe2[(s2 >> 8) & 0xFF] ^ kTe3[s3 & 0xFF] ^ rk[0];
    t1 = kTe0[s1 >> 24] ^ kTe1[(s2 >> 16) & 0xFF] ^ kTe2[(s3 >> 8) & 0xFF] ^ kTe3[s0 & 0xFF] ^ rk[1];
    t2 = kTe0[s2 >> 24] ^ kTe1[(s3 >> 16) & 0xFF] ^ kTe2[(s0 >> 8) & 0xFF] ^ kTe3[s1 & 0xFF] ^ rk[2];
    t3 = kTe0[s3 >> 24] ^ kTe1[(s0 >> 16) & 0xFF] ^ kTe2[(s1 >> 8) & 0xFF] ^ kTe3[s2 & 0xFF] ^ rk[3];
}

[[gnu::always_inline]] inline uint32_t EncryptFinalWord(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t rk) {
    return (kTe4[a >> 24] & 0xFF000000) ^ (kTe4[(b >> 16) & 0xFF] & 0x00FF0000) ^
           (kTe4[(c >> 8) & 0xFF] & 0x0000FF00) ^ (kTe4[d & 0xFF] & 0x000000FF) ^ rk;
}

// The inverse round: row r's byte comes from input column c - r.
[[gnu::always_inline]] inline void DecryptRound(uint32_t& t0, uint32_t& t1, uint32_t& t2, uint32_t& t3, uint32_t s0,
                                                uint32_t s1, uint32_t s2, uint32_t s3, const uint32_t* rk) {
    t0 = kTd0[s0 >> 24] ^ kTd1[(s3 >> 16) & 0xFF] ^ kTd2[(s2 >> 8) & 0xFF] ^ kTd3[s1 & 0xFF] ^ rk[0];
    t1 = kTd0[s1 >> 24] ^ kTd1[(s0 >> 16) & 0xFF] ^ kTd2[(s3 >> 8) & 0xFF] ^ kTd3[s2 & 0xFF] ^ rk[1];
    t2 = kTd0[s2 >> 24] ^ kTd1[(s1 >> 16) & 0xFF] ^ kTd2[(s0 >> 8) & 0xFF] ^ kTd3[s3 & 0xFF] ^ rk[2];
    t3 = kTd0[s3 >> 24] ^ kTd1[(s2 >> 16) & 0xFF] ^ kTd2[(s1 >> 8) & 0xFF] ^ kTd3[s0 & 0xFF] ^ rk[3];
}

[[gnu::always_inline]] inline uint32_t DecryptFinalWord(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t rk) {
    return (kTd4[a >> 24] & 0xFF000000) ^ (kTd4[(b >> 16) & 0xFF] & 0x00FF0000) ^
           (kTd4[(c >> 8) & 0xFF] & 0x0000FF00) ^ (kTd4[d & 0xFF] & 0x000000FF) ^ rk;
}

int RoundsForKeyBits(int keyBits) {
    switch (keyBits) {
        case 128: return 10;
        case 192: return 12;
        case 256: return 14;
        default: return 0;
    }
}

}  // namespace

int RijndaelExpandKey(uint32_t roundKeys[RijndaelContext::MaxRoundKeyWords], const uint8_t* key, int keyBits) {
    int rounds = RoundsForKeyBits(keyBits);
    if (rounds == 0 || key == nullptr) return 0;
    int keyWords = keyBits / 32;
    int totalWords = 4 * (rounds + 1);
    for (int i = 0; i < keyWords; ++i) roundKeys[i] = LoadWord(key + 4 * i);
    for (int i = keyWords; i < totalWords; ++i) {
        uint32_t temp = roundKeys[i - 1];
        if (i % keyWords == 0)
            temp = SubWord((temp << 8) | (temp >> 24)) ^ kRoundConstants[i / keyWords - 1];
        else if (keyWords > 6 && i % keyWords == 4)
            temp = SubWord(temp);
        roundKeys[i] = roundKeys[i - keyWords] ^ temp;
    }
    return rounds;
}

int RijndaelInvertKey(uint32_t roundKeys[RijndaelContext::MaxRoundKeyWords], const uint8_t* key, int keyBits,
                      int rounds) {
    if (rounds == 0) rounds = RijndaelExpandKey(roundKeys, key, keyBits);
    if (rounds != 10 && rounds != 12 && rounds != 14) return 0;
    for (int i = 0, j = 4 * rounds; i < j; i += 4, j -= 4) {
        for (int k = 0; k < 4; ++k) {
            uint32_t temp = roundKeys[i + k];
            roundKeys[i + k] = roundKeys[j + k];
            roundKeys[j + k] = temp;
        }
    }
    // The decryption tables are InvMixColumns after the inverse S-box; feeding them S-box images
    // cancels the substitution and leaves InvMixColumns of the round key word.
    for (int i = 4; i < 4 * rounds; ++i) {
        uint32_t w = roundKeys[i];
        roundKeys[i] = kTd0[kSbox[w >> 24]] ^ kTd1[kSbox[(w >> 16) & 0xFF]] ^ kTd2[kSbox[(w >> 8) & 0xFF]] ^
                       kTd3[kSbox[w & 0xFF]];
    }
    return rounds;
}

void RijndaelSetKey(RijndaelContext* context, const uint8_t* key, int keyBits, bool forEncryption) {
    context->rounds = RijndaelExpandKey(context->encryptKeys, key, keyBits);
    if (forEncryption) {
        context->decrypt = 0;
        std::memset(context->decryptKeys, 0, sizeof(context->decryptKeys));
        return;
    }
    context->decrypt = 1;
    std::memcpy(context->decryptKeys, context->encryptKeys, sizeof(context->decryptKeys));
    if (context->rounds != 0) RijndaelInvertKey(context->decryptKeys, key, keyBits, context->rounds);
}

void RijndaelEncryptBlock(const RijndaelContext* context, const uint8_t in[16], uint8_t out[16]) {
    const uint32_t* rk = context->encryptKeys;
    uint32_t s0 = LoadWord(in) ^ rk[0];
    uint32_t s1 = LoadWord(in + 4) ^ rk[1];
    uint32_t s2 = LoadWord(in + 8) ^ rk[2];
    uint32_t s3 = LoadWord(in + 12) ^ rk[3];
    uint32_t t0, t1, t2, t3;
    EncryptRound(t0, t1, t2, t3, s0, s1, s2, s3, rk + 4);
    EncryptRound(s0, s1, s2, s3, t0, t1, t2, t3, rk + 8);
    EncryptRound(t0, t1, t2, t3, s0, s1, s2, s3, rk + 12);
    EncryptRound(s0, s1, s2, s3, t0, t1, t2, t3, rk + 16);
    EncryptRound(t0, t1, t2, t3, s0, s1, s2, s3, rk + 20);
    EncryptRound(s0, s1, s2, s3, t0, t1, t2, t3, rk + 24);
    EncryptRound(t0, t1, t2, t3, s0, s1, s2, s3, rk + 28);
    EncryptRound(s0, s1, s2, s3, t0, t1, t2, t3, rk + 32);
    EncryptRound(t0, t1, t2, t3, s0, s1, s2, s3, rk + 36);
    if (context->rounds > 10) {
        EncryptRound(s0, s1, s2, s3, t0, t1, t2, t3, rk + 40);
        EncryptRound(t0, t1, t2, t3, s0, s1, s2, s3, rk + 44);
        rk += 8;
        if (context->rounds > 12) {
            EncryptRound(s0, s1, s2, s3, t0, t1, t2, t3, rk + 40);
            EncryptRound(t0, t1, t2, t3, s0, s1, s2, s3, rk + 44);
            rk += 8;
        }
    }
    rk += 40;
    StoreWord(out, EncryptFinalWord(t0, t1, t2, t3, rk[0]));
    StoreWord(out + 4, EncryptFinalWord(t1, t2, t3, t0, rk[1]));
    StoreWord(out + 8, EncryptFinalWord(t2, t3, t0, t1, rk[2]));
    StoreWord(out + 12, EncryptFinalWord(t3, t0, t1, t2, rk[3]));
}

void RijndaelDecryptBlock(const RijndaelContext* context, const uint8_t in[16], uint8_t out[16]) {
    const uint32_t* rk = context->decryptKeys;
    uint32_t s0 = LoadWord(in) ^ rk[0];
    uint32_t s1 = LoadWord(in + 4) ^ rk[1];
    uint32_t s2 = LoadWord(in + 8) ^ rk[2];
    uint32_t s3 = LoadWord(in + 12) ^ rk[3];
    uint32_t t0, t1, t2, t3;
    DecryptRound(t0, t1, t2, t3, s0, s1, s2, s3, rk + 4);
    DecryptRound(s0, s1, s2, s3, t0, t1, t2, t3, rk + 8);
    DecryptRound(t0, t1, t2, t3, s0, s1, s2, s3, rk + 12);
    DecryptRound(s0, s1, s2, s3, t0, t1, t2, t3, rk + 16);
    DecryptRound(t0, t1, t2, t3, s0, s1, s2, s3, rk + 20);
    DecryptRound(s0, s1, s2, s3, t0, t1, t2, t3, rk + 24);
    DecryptRound(t0, t1, t2, t3, s0, s1, s2, s3, rk + 28);
    DecryptRound(s0, s1, s2, s3, t0, t1, t2, t3, rk + 32);
    DecryptRound(t0, t1, t2, t3, s0, s1, s2, s3, rk + 36);
    if (context->rounds > 10) {
        DecryptRound(s0, s1, s2, s3, t0, t1, t2, t3, rk + 40);
        DecryptRound(t0, t1, t2, t3, s0, s1, s2, s3, rk + 44);
        rk += 8;
        if (context->rounds > 12) {
            DecryptRound(s0, s1, s2, s3, t0, t1, t2, t3, rk + 40);
            DecryptRound(t0, t1, t2, t3, s0, s1, s2, s3, rk + 44);
            rk += 8;
        }
    }
    rk += 40;
    StoreWord(out, DecryptFinalWord(t0, t3, t2, t1, rk[0]));
    StoreWord(out + 4, DecryptFinalWord(t1, t0, t3, t2, rk[1]));
    StoreWord(out + 8, DecryptFinalWord(t2, t1, t0, t3, rk[2]));
    StoreWord(out + 12, DecryptFinalWord(t3, t2, t1, t0, rk[3]));
}

}  // namespace velunor
