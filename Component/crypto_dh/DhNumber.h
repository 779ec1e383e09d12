#pragma once

#include <openssl/bn.h>

#include <memory>

namespace velunor {

// An owned big number that may hold a secret (exponent, shared secret): cleared when released.
struct DhNumberFree {
    void operator()(BIGNUM* n) const { BN_clear_free(n); }
};
using DhNumber = std::unique_ptr<BIGNUM, DhNumberFree>;

inline DhNumber NewDhNumber() { return DhNumber(BN_secure_new()); }

}  // namespace velunor
