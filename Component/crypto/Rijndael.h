#pragma once

#include <cstdint>

namespace velunor {

// The key schedule of one direction of the 128-bit-block cipher under every "aes" and
// "rijndael" SSH name. Only the words of 4 x (rounds + 1) are used; rounds is 0 after a key
// length other than 128, 192 or 256 bits.
struct RijndaelContext {
    static constexpr int MaxRoundKeyWords = 60;

    int decrypt = 0;
    int rounds = 0;
    uint32_t encryptKeys[MaxRoundKeyWords] = {};
    // The equivalent inverse cipher's schedule; all zero in an encryption context.
    uint32_t decryptKeys[MaxRoundKeyWords] = {};
};

// Fills roundKeys from keyBits / 8 key bytes; 10, 12 or 14 rounds, or 0 for another key size.
int RijndaelExpandKey(uint32_t roundKeys[RijndaelContext::MaxRoundKeyWords], const uint8_t* key, int keyBits);
// Turns an encryption schedule into the decryption one in place. With rounds 0 the encryption
// schedule is first expanded from the key.
int RijndaelInvertKey(uint32_t roundKeys[RijndaelContext::MaxRoundKeyWords], const uint8_t* key, int keyBits,
                      int rounds);
void RijndaelSetKey(RijndaelContext* context, const uint8_t* key, int keyBits, bool forEncryption);
// One 16-byte block; in and out may be the same bytes.
void RijndaelEncryptBlock(const RijndaelContext* context, const uint8_t in[16], uint8_t out[16]);
void RijndaelDecryptBlock(const RijndaelContext* context, const uint8_t in[16], uint8_t out[16]);

}  // namespace velunor
