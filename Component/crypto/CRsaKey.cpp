#include "crypto/CRsaKey.h"

#include <openssl/core_names.h>
#include <openssl/rsa.h>

#include <cstring>
#include <vector>

#include "base/CWireReader.h"
#include "base/SecureFill.h"
#include "crypto/CWipeGuard.h"
#include "crypto/KeyOps.h"

namespace velunor {
namespace {

constexpr const char* kRsaName = "ssh-rsa";

bool SameNumber(const BIGNUM* a, const BIGNUM* b) { return a != nullptr && b != nullptr && BN_cmp(a, b) == 0; }

// Sets up ctx for PKCS #1 v1.5 with a SHA-1 DigestInfo, for signing or verifying.
bool UsePkcs1Sha1(EVP_PKEY_CTX* ctx) {
    return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) > 0 && EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha1()) > 0;
}

}  // namespace

CRsaKey::CRsaKey() : n(BN_new()), e(BN_new()) {
    publicBlob = std::make_unique<CByteBuffer>();
    name = kRsaName;
}

CRsaKey::~CRsaKey() = default;

void CRsaKey::DropPrivate() {
    d.reset();
    p.reset();
    q.reset();
    dmp1.reset();
    dmq1.reset();
    iqmp.reset();
}

EvpPkeyPtr CRsaKey::LibraryKey(bool withPrivate) const {
    if (!n || !e) return nullptr;
    if (!withPrivate) return KeyFromNumbers("RSA", {{OSSL_PKEY_PARAM_RSA_N, n.get()}, {OSSL_PKEY_PARAM_RSA_E, e.get()}}, false);
    if (!d) return nullptr;
    // The library signs with n and d alone; the CRT numbers only speed it up, so a key whose
    // factors are missing or zero is given without them.
    bool crt = p && q && dmp1 && dmq1 && iqmp && !BN_is_zero(p.get()) && !BN_is_zero(q.get());
    auto part = [crt](const BnPtr& v) { return crt ? v.get() : nullptr; };
    return KeyFromNumbers("RSA",
                          {{OSSL_PKEY_PARAM_RSA_N, n.get()},
                           {OSSL_PKEY_PARAM_RSA_E, e.get()},
                           {OSSL_PKEY_PARAM_RSA_D, d.get()},
                           {OSSL_PKEY_PARAM_RSA_FACTOR1, part(p)},
                           {OSSL_PKEY_PARAM_RSA_FACTOR2, part(q)},
                           {OSSL_PKEY_PARAM_RSA_EXPONENT1, part(dmp1)},
                           {OSSL_PKEY_PARAM_RSA_EXPONENT2, part(dmq1)},
                           {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, part(iqmp)}},
                          true);
}

int CRsaKey::Verify(const uint8_t* signature, int32_t signatureLength, const uint8_t* data, int32_t dataLength,
                    int /*rawSignature: RSA signatures always come wrapped*/) {
    if (!n || !e || BN_num_bits(n.get()) < MinModulusBits) return -1;
    if (signatureLength < 0 || dataLength < 0 || (signature == nullptr && signatureLength != 0) ||
        (data == nullptr && dataLength != 0))
        return -1;
    std::span<const uint8_t> value;
    if (!ReadSignatureBlob({signature, size_t(signatureLength)}, kRsaName, &value)) return -1;

    size_t modulusLength = size_t(BN_num_bytes(n.get()));
    if (value.size() > modulusLength) return 0;
    // Some signers drop leading zero bytes of the value; the library checks the length, so the
    // value is brought back to the modulus width before it gets there.
    std::vector<uint8_t> copy(modulusLength, 0);
    CWipeGuard copyWipe(copy.data(), copy.size(), kSignatureWipe);
    std::memcpy(copy.data() + (modulusLength - value.size()), value.data(), value.size());

    uint8_t digest[kSha1Length];
    CWipeGuard digestWipe(digest, sizeof(digest), kDigestWipe);
    if (!Sha1Digest(data, size_t(dataLength), digest)) {
        DiscardLibraryErrors();
        return -1;
    }
    EvpPkeyPtr key = LibraryKey(false);
    EvpPkeyCtxPtr ctx = KeyContext(key.get());
    if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1 || !UsePkcs1Sha1(ctx.get())) {
        DiscardLibraryErrors();
        return -1;
    }
    int result = EVP_PKEY_verify(ctx.get(), copy.data(), copy.size(), digest, sizeof(digest));
    if (result == 1) return 1;
    DiscardLibraryErrors();
    return 0;
}

CByteBuffer* CRsaKey::GetPublicBlob() {
    publicBlob->Clear();
    publicBlob->PutCString(kRsaName);
    publicBlob->PutMpint(e.get());
    publicBlob->PutMpint(n.get());
    return publicBlob.get();
}

int CRsaKey::ParsePublicBlob(CByteBuffer* buffer) {
    if (buffer == nullptr) return 0;
    if (!NameMatches(buffer->GetString(), kRsaName)) return 0;
    // Private numbers of an earlier key would not belong to the new public ones.
    DropPrivate();
    for (BnPtr* number : {&e, &n}) {
        BnPtr fresh(BN_new());
        if (fresh) (void)buffer->GetMpint(fresh.get());
        *number = std::move(fresh);
    }
    return 1;
}

int CRsaKey::Sign(CSecureBlock* signature, const uint8_t* data, uint32_t dataLength) {
    if (!n || (data == nullptr && dataLength != 0)) return -1;
    size_t modulusLength = size_t(BN_num_bytes(n.get()));
    uint8_t digest[kSha1Length];
    CWipeGuard digestWipe(digest, sizeof(digest), kDigestWipe);
    EvpPkeyPtr key = LibraryKey(true);
    EvpPkeyCtxPtr ctx = KeyContext(key.get());
    size_t produced = 0;
    if (modulusLength == 0 || !Sha1Digest(data, dataLength, digest) || !ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
        !UsePkcs1Sha1(ctx.get()) || EVP_PKEY_sign(ctx.get(), nullptr, &produced, digest, sizeof(digest)) != 1) {
        DiscardLibraryErrors();
        return -1;
    }
    std::vector<uint8_t> area(produced > modulusLength ? produced : modulusLength, 0);
    CWipeGuard areaWipe(area.data(), area.size(), kSignatureWipe);
    produced = area.size();
    if (EVP_PKEY_sign(ctx.get(), area.data(), &produced, digest, sizeof(digest)) != 1) {
        DiscardLibraryErrors();
        return -1;
    }
    if (!RightAlignSignature(area.data(), produced, modulusLength)) return -1;
    CSecureBlock blob = MakeSignatureBlob(kRsaName, area.data(), uint32_t(modulusLength));
    if (!blob) return -1;
    if (signature != nullptr) *signature = std::move(blob);
    return 0;
}

int CRsaKey::Equals(const CSshKey* other) const {
    if (other == nullptr || std::strcmp(name, other->name) != 0) return 0;
    auto* rsa = dynamic_cast<const CRsaKey*>(other);
    if (rsa == nullptr) return 0;
    return SameNumber(e.get(), rsa->e.get()) && SameNumber(n.get(), rsa->n.get()) ? 1 : 0;
}

int CRsaKey::ParsePrivateBlob(std::span<const uint8_t> blob) {
    CWireReader in(blob);
    if (in.Text() != kRsaName) return in.Ok() ? 0 : -1;
    BnPtr numbers[8];
    for (BnPtr& number : numbers) {
        number = ReadKeyNumber(in);
        if (!number) return -1;
    }
    n = std::move(numbers[0]);
    e = std::move(numbers[1]);
    d = std::move(numbers[2]);
    p = std::move(numbers[3]);
    q = std::move(numbers[4]);
    dmp1 = std::move(numbers[5]);
    dmq1 = std::move(numbers[6]);
    iqmp = std::move(numbers[7]);
    return 1;
}

}  // namespace velunor
