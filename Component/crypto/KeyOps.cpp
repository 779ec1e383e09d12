#include "crypto/KeyOps.h"

#include <openssl/err.h>

#include <cstring>

#include "base/CByteBuffer.h"

namespace velunor {

bool Sha1Digest(const uint8_t* data, size_t length, uint8_t out[kSha1Length]) {
    static const uint8_t kEmpty = 0;
    unsigned int produced = 0;
    if (EVP_Digest(data != nullptr ? data : &kEmpty, length, out, &produced, EVP_sha1(), nullptr) != 1) return false;
    return produced == kSha1Length;
}

EvpPkeyPtr KeyFromNumbers(const char* type, std::initializer_list<NamedNumber> numbers, bool withPrivate) {
    ParamBldPtr builder(OSSL_PARAM_BLD_new());
    if (!builder) return nullptr;
    for (const NamedNumber& number : numbers) {
        if (number.second == nullptr) continue;
        if (OSSL_PARAM_BLD_push_BN(builder.get(), number.first, number.second) != 1) return nullptr;
    }
    ParamPtr params(OSSL_PARAM_BLD_to_param(builder.get()));
    if (!params) return nullptr;
    EvpPkeyCtxPtr context(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr));
    if (!context || EVP_PKEY_fromdata_init(context.get()) != 1) return nullptr;
    EVP_PKEY* key = nullptr;
    int selection = withPrivate ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY;
    if (EVP_PKEY_fromdata(context.get(), &key, selection, params.get()) != 1) return nullptr;
    return EvpPkeyPtr(key);
}

EvpPkeyCtxPtr KeyContext(EVP_PKEY* key) {
    if (key == nullptr) return nullptr;
    return EvpPkeyCtxPtr(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
}

BnPtr ReadKeyNumber(CWireReader& in) {
    auto bytes = in.String();
    if (!in.Ok() || bytes.size() > CByteBuffer::MaxStringLength) return nullptr;
    if (!bytes.empty() && (bytes[0] & 0x80) != 0) return nullptr;
    return BnPtr(BN_bin2bn(bytes.data(), int(bytes.size()), nullptr));
}

bool RightAlignSignature(uint8_t* area, size_t produced, size_t width) {
    if (produced > width) return false;
    size_t shift = width - produced;
    if (shift == 0) return true;
    std::memmove(area + shift, area, produced);
    std::memset(area, 0, shift);
    return true;
}

bool ReadSignatureBlob(std::span<const uint8_t> blob, std::string_view algorithm, std::span<const uint8_t>* signature) {
    CWireReader in(blob);
    std::string_view type = in.Text();
    std::span<const uint8_t> value = in.String();
    if (!in.Ok() || type != algorithm || in.Remaining() != 0) return false;
    *signature = value;
    return true;
}

CSecureBlock MakeSignatureBlob(const char* algorithm, const uint8_t* value, uint32_t length) {
    CByteBuffer blob;
    blob.PutCString(algorithm);
    blob.PutString(value, length);
    // A failed append leaves the buffer short; a short blob must not pass for a signature.
    if (blob.Length() != 8 + std::strlen(algorithm) + length) return CSecureBlock();
    return CSecureBlock(blob.Data(), blob.Length());
}

bool NameMatches(const CSecureBlock& text, const char* name) {
    size_t length = std::strlen(name);
    return text && text.Length() == length && std::memcmp(text.Data(), name, length) == 0;
}

void DiscardLibraryErrors() { ERR_clear_error(); }

}  // namespace velunor
