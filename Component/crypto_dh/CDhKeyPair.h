#pragma once

#include <openssl/bn.h>

#include <memory>

#include "crypto_dh/DhNumber.h"

namespace velunor {

// One side of a "diffie-hellman-group1-sha1" exchange: the 1024-bit MODP group of Oakley group
// 2 with generator 2, a private exponent x and the public value e = 2^x mod p. A new pair is made
// for every exchange; x is cleared when the pair goes.
class CDhKeyPair {
public:
    // The code of a server value outside the group's safe range ("Bad server public DH value").
    static constexpr int BadServerValue = 30013;
    // The system code for a library failure (out of memory).
    static constexpr int LibraryFailure = 8;
    // Bits of the private exponent: twice the 448 bits of security asked of the exchange.
    static constexpr int ExponentBits = 2 * 448;

    // A pair with p and g set and no key yet; null if the library fails.
    static std::unique_ptr<CDhKeyPair> NewGroup1();
    ~CDhKeyPair() = default;
    CDhKeyPair(const CDhKeyPair&) = delete;
    CDhKeyPair& operator=(const CDhKeyPair&) = delete;

    // Draws x (exactly ExponentBits bits, top bit set) and computes e, drawing again while e
    // fails ValidateDhPublic; false when the random source or the library fails.
    [[nodiscard]] bool GenerateKey();

    const BIGNUM* Prime() const { return p.get(); }
    const BIGNUM* Generator() const { return g.get(); }
    // e, or null before GenerateKey.
    const BIGNUM* PublicValue() const { return e.get(); }

    // K = f^x mod p into k after checking f: 0, BadServerValue, or LibraryFailure (also when
    // no key was generated).
    [[nodiscard]] int ComputeSharedSecret(const BIGNUM* f, DhNumber& k) const;

private:
    CDhKeyPair() = default;

    DhNumber p;
    DhNumber g;
    DhNumber x;
    DhNumber e;
};

// Fills n with a random number of exactly bits bits (top bit set), one byte per RandomValue;
// false when the random source or the library fails. bits 0 gives zero.
[[nodiscard]] bool RandomBits(BIGNUM* n, int bits);

// A public value is acceptable when 1 < value < p - 1 and it is not a power of two (which would
// mean a tiny exponent on the other side).
[[nodiscard]] bool ValidateDhPublic(const BIGNUM* value, const BIGNUM* p);

}  // namespace velunor
