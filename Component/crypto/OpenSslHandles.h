#pragma once

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/dsa.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/params.h>

#include <memory>

namespace velunor {

// Owning holders for libcrypto handles: every exit path releases them, and numbers that may be
// secret are cleared on the way out.
struct BnClearFree {
    void operator()(BIGNUM* n) const { BN_clear_free(n); }
};
struct EvpPkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct EvpPkeyCtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
struct EvpMdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct EvpCipherFree {
    void operator()(EVP_CIPHER* c) const { EVP_CIPHER_free(c); }
};
struct EvpCipherCtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
// Bytes the library allocated for the caller, such as a DER encoding.
struct OpenSslFree {
    void operator()(unsigned char* b) const { OPENSSL_free(b); }
};
struct DsaSigFree {
    void operator()(DSA_SIG* s) const { DSA_SIG_free(s); }
};
struct ParamBldFree {
    void operator()(OSSL_PARAM_BLD* b) const { OSSL_PARAM_BLD_free(b); }
};
// Parameter arrays built from private numbers hold copies of them, so every value is cleansed
// before the array goes back to the allocator.
struct ParamClearFree {
    void operator()(OSSL_PARAM* params) const {
        if (params == nullptr) return;
        for (OSSL_PARAM* p = params; p->key != nullptr; ++p)
            if (p->data != nullptr && p->data_size != 0) OPENSSL_cleanse(p->data, p->data_size);
        OSSL_PARAM_free(params);
    }
};

using BnPtr = std::unique_ptr<BIGNUM, BnClearFree>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, EvpPkeyFree>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, EvpPkeyCtxFree>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, EvpMdCtxFree>;
using EvpCipherPtr = std::unique_ptr<EVP_CIPHER, EvpCipherFree>;
using EvpCipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, EvpCipherCtxFree>;
using OpenSslBytesPtr = std::unique_ptr<unsigned char, OpenSslFree>;
using DsaSigPtr = std::unique_ptr<DSA_SIG, DsaSigFree>;
using ParamBldPtr = std::unique_ptr<OSSL_PARAM_BLD, ParamBldFree>;
using ParamPtr = std::unique_ptr<OSSL_PARAM, ParamClearFree>;

}  // namespace velunor
