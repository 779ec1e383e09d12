#pragma once

#include <openssl/bn.h>

#include <array>
#include <cstdint>
#include <span>

#include "base/CByteBuffer.h"
#include "base/CSecureBlock.h"
#include "crypto_dh/CDhKeyPair.h"

namespace velunor {

// SHA-1 output: the exchange hash H, the session identifier, each key-derivation round.
inline constexpr uint32_t Sha1Length = 20;
using Sha1Digest = std::array<uint8_t, Sha1Length>;

// SHA-1 of bytes; false when the library fails.
[[nodiscard]] bool Sha1(std::span<const uint8_t> bytes, Sha1Digest& digest);

// The tail of a KEXDH_REPLY: checks f, computes K, appends e, f and K as mpints to hashInput
// (which already holds V_C, V_S, I_C, I_S and K_S) and computes H = SHA-1(hashInput).
// Returns 0, CDhKeyPair::BadServerValue (30013) or CDhKeyPair::LibraryFailure; k and h are
// set only on 0.
[[nodiscard]] int CompleteExchange(const CDhKeyPair& pair, const BIGNUM* f, CByteBuffer& hashInput,
                                   DhNumber& k, Sha1Digest& h);

// Key material for letter ('A' to 'F'): K1 = SHA-1(mpint K || H || letter || session id),
// then K(n+1) = SHA-1(mpint K || H || K1 || ... || Kn), concatenated and cut to length bytes.
// Null on a library failure or a length above MaxDerivedLength.
inline constexpr uint32_t MaxDerivedLength = 1024;
[[nodiscard]] CSecureBlock DeriveKey(char letter, const BIGNUM* k, std::span<const uint8_t> h,
                                     std::span<const uint8_t> sessionId, uint32_t length);
// The same with K already in its mpint wire form (4-byte length included).
[[nodiscard]] CSecureBlock DeriveKey(char letter, std::span<const uint8_t> kMpint,
                                     std::span<const uint8_t> h, std::span<const uint8_t> sessionId,
                                     uint32_t length);

}  // namespace velunor
