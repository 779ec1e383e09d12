#include "crypto/CDssKey.h"

#include <openssl/core_names.h>

#include <cstring>
#include <vector>

#include "base/CWireReader.h"
#include "base/SecureFill.h"
#include "crypto/CWipeGuard.h"
#include "crypto/KeyOps.h"

namespace velunor {
namespace {

constexpr const char* kDssName = "ssh-dss";

bool SameNumber(const BIGNUM* a, const BIGNUM* b) { return a != nullptr && b != nullptr && BN_cmp(a, b) == 0; }

}  // namespace

CDssKey::CDssKey() : p(BN_new()), q(BN_new()), g(BN_new()), y(BN_new()) {
    publicBlob = std::make_unique<CByteBuffer>();
    name = kDssName;
}

CDssKey::~CDssKey() = default;

EvpPkeyPtr CDssKey::LibraryKey(bool withPrivate) const {
    if (!p || !q || !g || !y || (withPrivate && !x)) return nullptr;
    return KeyFromNumbers("DSA",
                          {{OSSL_PKEY_PARAM_FFC_P, p.get()},
                           {OSSL_PKEY_PARAM_FFC_Q, q.get()},
                           {OSSL_PKEY_PARAM_FFC_G, g.get()},
                           {OSSL_PKEY_PARAM_PUB_KEY, y.get()},
                           {OSSL_PKEY_PARAM_PRIV_KEY, withPrivate ? x.get() : nullptr}},
                          withPrivate);
}

int CDssKey::Verify(const uint8_t* signature, int32_t signatureLength, const uint8_t* data, int32_t dataLength,
                    int rawSignature) {
    if (signatureLength < 0 || dataLength < 0 || (signature == nullptr && signatureLength != 0) ||
        (data == nullptr && dataLength != 0))
        return -1;
    std::span<const uint8_t> value(signature, size_t(signatureLength));
    // Old servers send the bare r and s without the blob around them.
    if (!rawSignature && !ReadSignatureBlob(value, kDssName, &value)) return -1;
    if (value.size() != size_t(SignatureLength)) return -1;

    BnPtr r(BN_bin2bn(value.data(), SignaturePartLength, nullptr));
    BnPtr s(BN_bin2bn(value.data() + SignaturePartLength, SignaturePartLength, nullptr));
    DsaSigPtr pair(DSA_SIG_new());
    if (!r || !s || !pair || DSA_SIG_set0(pair.get(), r.get(), s.get()) != 1) {
        DiscardLibraryErrors();
        return -1;
    }
    r.release();  // now owned by pair
    s.release();
    unsigned char* derBytes = nullptr;
    int derLength = i2d_DSA_SIG(pair.get(), &derBytes);
    OpenSslBytesPtr der(derBytes);
    if (derLength <= 0) {
        DiscardLibraryErrors();
        return -1;
    }

    uint8_t digest[kSha1Length];
    CWipeGuard digestWipe(digest, sizeof(digest), kDigestWipe);
    EvpPkeyPtr key = LibraryKey(false);
    EvpPkeyCtxPtr ctx = KeyContext(key.get());
    if (!Sha1Digest(data, size_t(dataLength), digest) || !ctx || EVP_PKEY_verify_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha1()) <= 0) {
        DiscardLibraryErrors();
        return -1;
    }
    int result = EVP_PKEY_verify(ctx.get(), der.get(), size_t(derLength), digest, sizeof(digest));
    if (result == 1) return 1;
    DiscardLibraryErrors();
    return result == 0 ? 0 : -1;
}

CByteBuffer* CDssKey::GetPublicBlob() {
    publicBlob->Clear();
    publicBlob->PutCString(kDssName);
    publicBlob->PutMpint(p.get());
    publicBlob->PutMpint(q.get());
    publicBlob->PutMpint(g.get());
    publicBlob->PutMpint(y.get());
    return publicBlob.get();
}

int CDssKey::ParsePublicBlob(CByteBuffer* buffer) {
    if (buffer == nullptr) return 0;
    if (!NameMatches(buffer->GetString(), kDssName)) return 0;
    // A private value of an earlier key would not belong to the new public numbers.
    x.reset();
    for (BnPtr* number : {&p, &q, &g, &y}) {
        BnPtr fresh(BN_new());
        if (fresh) (void)buffer->GetMpint(fresh.get());
        *number = std::move(fresh);
    }
    return 1;
}

int CDssKey::Sign(CSecureBlock* signature, const uint8_t* data, uint32_t dataLength) {
    if (data == nullptr && dataLength != 0) return -1;
    uint8_t digest[kSha1Length];
    CWipeGuard digestWipe(digest, sizeof(digest), kDigestWipe);
    EvpPkeyPtr key = LibraryKey(true);
    EvpPkeyCtxPtr ctx = KeyContext(key.get());
    size_t derLength = 0;
    if (!Sha1Digest(data, dataLength, digest) || !ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha1()) <= 0 ||
        EVP_PKEY_sign(ctx.get(), nullptr, &derLength, digest, sizeof(digest)) != 1) {
        DiscardLibraryErrors();
        return -1;
    }
    std::vector<uint8_t> der(derLength, 0);
    CWipeGuard derWipe(der.data(), der.size(), kSignatureWipe);
    if (EVP_PKEY_sign(ctx.get(), der.data(), &derLength, digest, sizeof(digest)) != 1) {
        DiscardLibraryErrors();
        return -1;
    }
    const unsigned char* cursor = der.data();
    DsaSigPtr pair(d2i_DSA_SIG(nullptr, &cursor, long(derLength)));
    if (!pair) {
        DiscardLibraryErrors();
        return -1;
    }
    const BIGNUM* r = nullptr;
    const BIGNUM* s = nullptr;
    DSA_SIG_get0(pair.get(), &r, &s);
    // Each half is a fixed 20 bytes, right-aligned; a wider q cannot be carried.
    uint8_t value[SignatureLength] = {};
    CWipeGuard valueWipe(value, sizeof(value), kSignatureWipe);
    if (BN_bn2binpad(r, value, SignaturePartLength) < 0 ||
        BN_bn2binpad(s, value + SignaturePartLength, SignaturePartLength) < 0) {
        DiscardLibraryErrors();
        return -1;
    }
    CSecureBlock blob = MakeSignatureBlob(kDssName, value, sizeof(value));
    if (!blob) return -1;
    if (signature != nullptr) *signature = std::move(blob);
    return 0;
}

int CDssKey::Equals(const CSshKey* other) const {
    if (other == nullptr || std::strcmp(name, other->name) != 0) return 0;
    auto* dss = dynamic_cast<const CDssKey*>(other);
    if (dss == nullptr) return 0;
    return SameNumber(p.get(), dss->p.get()) && SameNumber(q.get(), dss->q.get()) &&
                   SameNumber(g.get(), dss->g.get()) && SameNumber(y.get(), dss->y.get())
               ? 1
               : 0;
}

int CDssKey::ParsePrivateBlob(std::span<const uint8_t> blob) {
    CWireReader in(blob);
    if (in.Text() != kDssName) return in.Ok() ? 0 : -1;
    BnPtr numbers[5];
    for (BnPtr& number : numbers) {
        number = ReadKeyNumber(in);
        if (!number) return -1;
    }
    p = std::move(numbers[0]);
    q = std::move(numbers[1]);
    g = std::move(numbers[2]);
    y = std::move(numbers[3]);
    x = std::move(numbers[4]);
    return 1;
}

}  // namespace velunor
