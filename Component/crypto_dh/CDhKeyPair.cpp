#include "crypto_dh/CDhKeyPair.h"

#include "base/CSecureBlock.h"
#include "ssh/RandomValue.h"

namespace velunor {

namespace {

struct BnCtxFree {
    void operator()(BN_CTX* ctx) const { BN_CTX_free(ctx); }
};
using BnCtxPtr = std::unique_ptr<BN_CTX, BnCtxFree>;

// Draws before giving up; a value failing the check is astronomically rare for 896 random bits.
constexpr int MaxKeyRounds = 12;

}  // namespace

std::unique_ptr<CDhKeyPair> CDhKeyPair::NewGroup1() {
    std::unique_ptr<CDhKeyPair> pair(new CDhKeyPair());
    pair->p.reset(BN_get_rfc2409_prime_1024(nullptr));
    pair->g.reset(BN_new());
    if (!pair->p || !pair->g || BN_set_word(pair->g.get(), 2) != 1) return nullptr;
    return pair;
}

bool CDhKeyPair::GenerateKey() {
    if (!p || BN_num_bits(p.get()) <= ExponentBits) return false;
    BnCtxPtr ctx(BN_CTX_secure_new());
    if (!ctx) return false;
    for (int round = 0; round < MaxKeyRounds; ++round) {
        DhNumber newX = NewDhNumber();
        DhNumber newE(BN_new());
        if (!newX || !newE || !RandomBits(newX.get(), ExponentBits)) return false;
        BN_set_flags(newX.get(), BN_FLG_CONSTTIME);
        if (BN_mod_exp_mont_consttime(newE.get(), g.get(), newX.get(), p.get(), ctx.get(), nullptr) != 1)
            return false;
        if (ValidateDhPublic(newE.get(), p.get())) {
            x = std::move(newX);
            e = std::move(newE);
            return true;
        }
    }
    return false;
}

int CDhKeyPair::ComputeSharedSecret(const BIGNUM* f, DhNumber& k) const {
    if (!x || !p) return LibraryFailure;
    // Values at the edges (0, 1, p - 1) or beyond p would force K into a tiny known set.
    if (f == nullptr || !ValidateDhPublic(f, p.get())) return BadServerValue;
    BnCtxPtr ctx(BN_CTX_secure_new());
    DhNumber secret = NewDhNumber();
    if (!ctx || !secret) return LibraryFailure;
    if (BN_mod_exp_mont_consttime(secret.get(), f, x.get(), p.get(), ctx.get(), nullptr) != 1)
        return LibraryFailure;
    k = std::move(secret);
    return 0;
}

bool RandomBits(BIGNUM* n, int bits) {
    if (n == nullptr || bits < 0) return false;
    if (bits == 0) {
        BN_zero(n);
        return true;
    }
    uint32_t count = uint32_t(bits + 7) / 8;
    CSecureBlock bytes(count);
    if (!bytes) return false;
    uint8_t* b = bytes.Data();
    for (uint32_t i = 0; i < count; ++i) {
        int v = RandomValue();
        if (v < 0) return false;
        b[i] = uint8_t(v);
    }
    int top = (bits - 1) % 8;
    b[0] = uint8_t((b[0] | (1u << top)) & ((2u << top) - 1));
    return BN_bin2bn(b, int(count), n) != nullptr;
}

bool ValidateDhPublic(const BIGNUM* value, const BIGNUM* p) {
    if (value == nullptr || p == nullptr || BN_is_negative(value)) return false;
    // Zero, one and powers of two have at most one bit set.
    int bits = BN_num_bits(value);
    int set = 0;
    for (int i = 0; i < bits && set < 2; ++i) set += BN_is_bit_set(value, i);
    if (set < 2) return false;
    // value < p - 1, that is value + 1 < p: p - 1 has order 2 and gives K = 1 or p - 1.
    DhNumber limit(BN_dup(p));
    if (!limit || BN_sub_word(limit.get(), 1) != 1) return false;
    return BN_cmp(value, limit.get()) < 0;
}

}  // namespace velunor
