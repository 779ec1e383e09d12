#include "crypto_dh/KeyDerivation.h"

#include <openssl/evp.h>

#include <cstring>
#include <memory>

#include "base/SecureFill.h"

namespace velunor {

namespace {

struct MdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

// A digest that is wiped when it goes out of scope.
struct WipedDigest {
    Sha1Digest bytes{};
    ~WipedDigest() { SecureFill(bytes.data(), bytes.size(), kDigestWipe); }
};

bool Update(EVP_MD_CTX* ctx, std::span<const uint8_t> bytes) {
    return bytes.empty() || EVP_DigestUpdate(ctx, bytes.data(), bytes.size()) == 1;
}

bool Final(EVP_MD_CTX* ctx, Sha1Digest& digest) {
    unsigned int produced = 0;
    return EVP_DigestFinal_ex(ctx, digest.data(), &produced) == 1 && produced == Sha1Length;
}

}  // namespace

bool Sha1(std::span<const uint8_t> bytes, Sha1Digest& digest) {
    MdCtxPtr ctx(EVP_MD_CTX_new());
    return ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr) == 1 && Update(ctx.get(), bytes) &&
           Final(ctx.get(), digest);
}

int CompleteExchange(const CDhKeyPair& pair, const BIGNUM* f, CByteBuffer& hashInput, DhNumber& k,
                     Sha1Digest& h) {
    if (pair.PublicValue() == nullptr) return CDhKeyPair::LibraryFailure;
    DhNumber secret;
    int rc = pair.ComputeSharedSecret(f, secret);
    if (rc != 0) return rc;
    uint32_t before = hashInput.Length();
    hashInput.PutMpint(pair.PublicValue());
    hashInput.PutMpint(f);
    hashInput.PutMpint(secret.get());
    // Three mpints are at least 12 bytes; less means one was refused and H would be wrong.
    if (hashInput.Length() - before < 12) return CDhKeyPair::LibraryFailure;
    WipedDigest digest;
    if (!Sha1(hashInput.Bytes(), digest.bytes)) return CDhKeyPair::LibraryFailure;
    h = digest.bytes;
    k = std::move(secret);
    return 0;
}

CSecureBlock DeriveKey(char letter, std::span<const uint8_t> kMpint, std::span<const uint8_t> h,
                       std::span<const uint8_t> sessionId, uint32_t length) {
    if (length > MaxDerivedLength) return {};
    uint32_t rounds = (length + Sha1Length - 1) / Sha1Length;
    if (rounds == 0) rounds = 1;
    CSecureBlock material(rounds * Sha1Length);
    if (!material) return {};
    MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx) return {};
    const uint8_t tag = uint8_t(letter);
    WipedDigest round;
    for (uint32_t i = 0; i < rounds; ++i) {
        bool ok = EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr) == 1 && Update(ctx.get(), kMpint) &&
                  Update(ctx.get(), h);
        if (i == 0)
            ok = ok && Update(ctx.get(), std::span(&tag, 1)) && Update(ctx.get(), sessionId);
        else
            ok = ok && Update(ctx.get(), std::span<const uint8_t>(material.Data(), i * Sha1Length));
        if (!ok || !Final(ctx.get(), round.bytes)) return {};
        std::memcpy(material.Data() + i * Sha1Length, round.bytes.data(), Sha1Length);
    }
    CSecureBlock key(material.Data(), length);
    return key;
}

CSecureBlock DeriveKey(char letter, const BIGNUM* k, std::span<const uint8_t> h,
                       std::span<const uint8_t> sessionId, uint32_t length) {
    if (k == nullptr) return {};
    CByteBuffer kMpint;
    kMpint.PutMpint(k);
    if (kMpint.Length() < 4) return {};
    return DeriveKey(letter, kMpint.Bytes(), h, sessionId, length);
}

}  // namespace velunor
