#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "base/CByteBuffer.h"
#include "crypto_dh/CDhKeyPair.h"
#include "crypto_dh/KeyDerivation.h"

namespace velunor {
namespace {

using Bytes = std::vector<uint8_t>;

// Table rows print as their label in failure messages.
template <class Row>
auto operator<<(std::ostream& os, const Row& row) -> decltype(row.label, os) {
    return os << row.label;
}

// The Second Oakley Group prime, typed out here rather than taken from the library.
constexpr const char* kOakley2Prime =
    "FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD129024E088A67CC74020BBEA63B139B22514A0879"
    "8E3404DDEF9519B3CD3A431B302B0A6DF25F14374FE1356D6D51C245E485B576625E7EC6F44C42E9A637ED6B"
    "0BFF5CB6F406B7EDEE386BFB5A899FA5AE9F24117C4B1FE649286651ECE65381FFFFFFFFFFFFFFFF";

struct BnFree {
    void operator()(BIGNUM* b) const { BN_free(b); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;
struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;

Bn Hex(const char* hex) {
    BIGNUM* b = nullptr;
    BN_hex2bn(&b, hex);
    return Bn(b);
}

// An EVP DH key from p, g and optionally a public value (the peer side of a derive).
Pkey DhKey(const BIGNUM* p, const BIGNUM* g, const BIGNUM* pub) {
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_P, p);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_G, g);
    if (pub) OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_PUB_KEY, pub);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "DH", nullptr));
    EVP_PKEY* key = nullptr;
    EVP_PKEY_fromdata_init(ctx.get());
    EVP_PKEY_fromdata(ctx.get(), &key, pub ? EVP_PKEY_PUBLIC_KEY : EVP_PKEY_KEY_PARAMETERS, params);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    return Pkey(key);
}

Bytes Mpint(const BIGNUM* x) {
    const size_t n = size_t(BN_num_bytes(x));
    Bytes mag(n + 1, 0);  // room for the leading zero a set top bit needs
    BN_bn2bin(x, mag.data() + 1);
    const size_t skip = (n > 0 && (mag[1] & 0x80)) ? 0 : 1;
    const size_t len = mag.size() - skip;
    Bytes out(4 + len);
    out[0] = uint8_t(len >> 24);
    out[1] = uint8_t(len >> 16);
    out[2] = uint8_t(len >> 8);
    out[3] = uint8_t(len);
    std::copy(mag.begin() + long(skip), mag.end(), out.begin() + 4);
    return out;
}

Bytes Sha1Of(const Bytes& in) {
    Bytes out(20);
    unsigned int n = 0;
    EVP_Digest(in.data(), in.size(), out.data(), &n, EVP_sha1(), nullptr);
    return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(DhGroup1, IsSecondOakleyGroupWithGenerator2) {
    auto pair = CDhKeyPair::NewGroup1();
    ASSERT_TRUE(pair);
    Bn p = Hex(kOakley2Prime);
    EXPECT_EQ(BN_cmp(pair->Prime(), p.get()), 0);
    EXPECT_TRUE(BN_is_word(pair->Generator(), 2));
    EXPECT_EQ(pair->PublicValue(), nullptr);
}

// Our side against OpenSSL's own DH as the server: both ends must arrive at the same K.
TEST(DhGroup1, SharedSecretAgreesWithOpenSslPeer) {
    for (int round = 0; round < 3; ++round) {
        auto pair = CDhKeyPair::NewGroup1();
        ASSERT_TRUE(pair);
        ASSERT_TRUE(pair->GenerateKey());
        ASSERT_NE(pair->PublicValue(), nullptr);

        Pkey params = DhKey(pair->Prime(), pair->Generator(), nullptr);
        ASSERT_TRUE(params);
        PkeyCtx gen(EVP_PKEY_CTX_new_from_pkey(nullptr, params.get(), nullptr));
        EVP_PKEY* serverRaw = nullptr;
        ASSERT_EQ(EVP_PKEY_keygen_init(gen.get()), 1);
        ASSERT_EQ(EVP_PKEY_generate(gen.get(), &serverRaw), 1);
        Pkey server(serverRaw);
        BIGNUM* fRaw = nullptr;
        ASSERT_EQ(EVP_PKEY_get_bn_param(server.get(), OSSL_PKEY_PARAM_PUB_KEY, &fRaw), 1);
        Bn f(fRaw);

        DhNumber k;
        ASSERT_EQ(pair->ComputeSharedSecret(f.get(), k), 0);
        ASSERT_TRUE(k);

        Pkey client = DhKey(pair->Prime(), pair->Generator(), pair->PublicValue());
        ASSERT_TRUE(client);
        PkeyCtx derive(EVP_PKEY_CTX_new_from_pkey(nullptr, server.get(), nullptr));
        ASSERT_EQ(EVP_PKEY_derive_init(derive.get()), 1);
        ASSERT_EQ(EVP_PKEY_derive_set_peer(derive.get(), client.get()), 1);
        size_t n = 0;
        ASSERT_EQ(EVP_PKEY_derive(derive.get(), nullptr, &n), 1);
        Bytes secret(n);
        ASSERT_EQ(EVP_PKEY_derive(derive.get(), secret.data(), &n), 1);
        Bn expected(BN_bin2bn(secret.data(), int(n), nullptr));
        EXPECT_EQ(BN_cmp(k.get(), expected.get()), 0) << "round " << round;
    }
}

TEST(DhGroup1, FreshExponentEachPair) {
    auto a = CDhKeyPair::NewGroup1(), b = CDhKeyPair::NewGroup1();
    ASSERT_TRUE(a && b && a->GenerateKey() && b->GenerateKey());
    EXPECT_NE(BN_cmp(a->PublicValue(), b->PublicValue()), 0);
    EXPECT_TRUE(ValidateDhPublic(a->PublicValue(), a->Prime()));
}

struct PublicCase {
    const char* label;
    int offsetFromP;    // value = p + offsetFromP when absolute is null
    const char* absolute;
    bool accepted;
};

class DhServerValue : public ::testing::TestWithParam<PublicCase> {};

// f is refused outside 1 < f < p - 1 and as a power of two, with "Bad server public DH value".
TEST_P(DhServerValue, IsCheckedBeforeUse) {
    const auto& c = GetParam();
    auto pair = CDhKeyPair::NewGroup1();
    ASSERT_TRUE(pair && pair->GenerateKey());
    Bn f;
    if (c.absolute) {
        f = Hex(c.absolute);
    } else {
        f.reset(BN_dup(pair->Prime()));
        if (c.offsetFromP < 0) BN_sub_word(f.get(), static_cast<BN_ULONG>(-c.offsetFromP));
        else BN_add_word(f.get(), static_cast<BN_ULONG>(c.offsetFromP));
    }
    EXPECT_EQ(ValidateDhPublic(f.get(), pair->Prime()), c.accepted);
    DhNumber k;
    int rc = pair->ComputeSharedSecret(f.get(), k);
    EXPECT_EQ(rc, c.accepted ? 0 : 30013);
    EXPECT_EQ(bool(k), c.accepted);
}

const PublicCase kPublicValues[] = {
    {"Zero", 0, "0", false},
    {"One", 0, "1", false},
    {"Two", 0, "2", false},
    {"PowerOfTwo", 0, "10000000000000000000000000000", false},
    {"Three", 0, "3", true},
    {"PMinusTwo", -2, nullptr, true},
    {"PMinusOne", -1, nullptr, false},
    {"P", 0, nullptr, false},
    {"PPlusOne", 1, nullptr, false},
    {"Typical", 0, "1234567890ABCDEF1234567890ABCDEF", true},
};

INSTANTIATE_TEST_SUITE_P(Values, DhServerValue, ::testing::ValuesIn(kPublicValues),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(DhGroup1, NegativeServerValueIsRefused) {
    auto pair = CDhKeyPair::NewGroup1();
    ASSERT_TRUE(pair && pair->GenerateKey());
    Bn f = Hex("-1234567890ABCDEF");
    DhNumber k;
    EXPECT_EQ(pair->ComputeSharedSecret(f.get(), k), 30013);
}

TEST(DhRandomBits, HasExactlyTheBitsAsked) {
    for (int bits : {1, 7, 8, 9, 13, 896}) {
        Bn n(BN_new());
        for (int i = 0; i < 20; ++i) {
            ASSERT_TRUE(RandomBits(n.get(), bits));
            ASSERT_EQ(BN_num_bits(n.get()), bits) << bits;
        }
    }
    Bn zero(BN_new());
    BN_set_word(zero.get(), 99);
    ASSERT_TRUE(RandomBits(zero.get(), 0));
    EXPECT_TRUE(BN_is_zero(zero.get()));
}

// ---- Exchange hash and key derivation ---------------------------------------------------------

struct DeriveCase {
    const char* label;
    char letter;
    const char* k;  // hex; a top bit set tests the mpint's leading zero
    uint32_t length;
};

class DhDeriveKey : public ::testing::TestWithParam<DeriveCase> {};

// Expected values are SHA-1 chains built here over the defined input:
// K1 = SHA-1(mpint K || H || letter || session id), Kn+1 = SHA-1(mpint K || H || K1..Kn).
TEST_P(DhDeriveKey, MatchesSha1ChainOverDefinedInput) {
    const auto& c = GetParam();
    Bn k = Hex(c.k);
    Bytes h(20), sid(20);
    for (int i = 0; i < 20; ++i) {
        h[size_t(i)] = uint8_t(0xA0 + i);
        sid[size_t(i)] = uint8_t(0x10 + 3 * i);
    }
    Bytes mk = Mpint(k.get());
    Bytes k1 = Sha1Of(Cat({mk, h, Bytes{uint8_t(c.letter)}, sid}));
    Bytes k2 = Sha1Of(Cat({mk, h, k1}));
    Bytes k3 = Sha1Of(Cat({mk, h, k1, k2}));
    Bytes chain = Cat({k1, k2, k3});
    ASSERT_LE(c.length, chain.size());
    Bytes expected(chain.begin(), chain.begin() + c.length);

    CSecureBlock got = DeriveKey(c.letter, k.get(), h, sid, c.length);
    ASSERT_TRUE(got);
    EXPECT_EQ(Bytes(got.Bytes().begin(), got.Bytes().end()), expected);

    CSecureBlock viaMpint = DeriveKey(c.letter, mk, h, sid, c.length);
    ASSERT_TRUE(viaMpint);
    EXPECT_EQ(Bytes(viaMpint.Bytes().begin(), viaMpint.Bytes().end()), expected);
}

const DeriveCase kDerive[] = {
    {"IvA16", 'A', "7F3C0011223344556677889900AABBCCDDEEFF", 16},
    {"KeyC32TopBit", 'C', "FF3C0011223344556677889900AABBCCDDEEFF", 32},
    {"MacE20", 'E', "0123456789ABCDEF0123456789ABCDEF", 20},
    {"Forty", 'F', "80", 40},
    {"ThreeRounds", 'D', "DEADBEEF", 56},
};

INSTANTIATE_TEST_SUITE_P(Letters, DhDeriveKey, ::testing::ValuesIn(kDerive),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(DhExchangeHash, HashesPrefixThenEFAndK) {
    auto pair = CDhKeyPair::NewGroup1();
    ASSERT_TRUE(pair && pair->GenerateKey());
    auto server = CDhKeyPair::NewGroup1();
    ASSERT_TRUE(server && server->GenerateKey());
    const BIGNUM* f = server->PublicValue();

    CByteBuffer hashInput;
    const Bytes prefix = {0, 0, 0, 3, 'V', '_', 'C', 0, 0, 0, 3, 'V', '_', 'S'};
    hashInput.Append(prefix.data(), uint32_t(prefix.size()));
    DhNumber k;
    Sha1Digest h{};
    ASSERT_EQ(CompleteExchange(*pair, f, hashInput, k, h), 0);
    ASSERT_TRUE(k);

    DhNumber kServer;
    ASSERT_EQ(server->ComputeSharedSecret(pair->PublicValue(), kServer), 0);
    EXPECT_EQ(BN_cmp(k.get(), kServer.get()), 0);
    Bytes expected = Sha1Of(Cat({prefix, Mpint(pair->PublicValue()), Mpint(f), Mpint(k.get())}));
    EXPECT_EQ(Bytes(h.begin(), h.end()), expected);
}

TEST(DhExchangeHash, BadServerValueLeavesHashInputAlone) {
    auto pair = CDhKeyPair::NewGroup1();
    ASSERT_TRUE(pair && pair->GenerateKey());
    CByteBuffer hashInput;
    hashInput.PutUint32(7);
    Bn one = Hex("1");
    DhNumber k;
    Sha1Digest h{};
    EXPECT_EQ(CompleteExchange(*pair, one.get(), hashInput, k, h), 30013);
    EXPECT_EQ(hashInput.Length(), 4u);
    EXPECT_FALSE(k);
}

}  // namespace
}  // namespace velunor
