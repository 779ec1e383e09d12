// DES, triple DES, Blowfish and CAST-128 use libcrypto's low-level routines. In OpenSSL 3 their
// EVP forms live in the legacy provider, and loading that into the default library context
// would change what the host process gets from it; the low-level calls need no provider.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "crypto/CDesCbcCipher.h"

#include <openssl/des.h>

#include <cstring>

#include "base/SecureFill.h"

namespace velunor {

struct CDesCbcCipher::KeySchedule {
    DES_key_schedule key;
};

CDesCbcCipher::CDesCbcCipher() : schedule(std::make_unique<KeySchedule>()) {
    name = "des-cbc";
    blockSize = 8;
    keyLength = 8;
    std::memset(schedule.get(), 0, sizeof(KeySchedule));
}

CDesCbcCipher::~CDesCbcCipher() {
    SecureFill(schedule.get(), sizeof(KeySchedule), 0);
    SecureFill(chain, sizeof(chain), 0);
}

void CDesCbcCipher::SetKey(const unsigned char* key) {
    if (key == nullptr) return;
    DES_cblock block;
    std::memcpy(block, key, sizeof(block));
    // Parity is ignored and weak keys are accepted: the key is whatever the exchange derived.
    DES_set_key_unchecked(&block, &schedule->key);
    SecureFill(block, sizeof(block), 0);
}

void CDesCbcCipher::SetIv(const unsigned char* iv) {
    if (iv == nullptr)
        std::memset(chain, 0, sizeof(chain));
    else
        std::memcpy(chain, iv, sizeof(chain));
}

// The library would pad a partial last block and write a whole block past the end of out, so
// anything but whole blocks is refused before it gets there.
void CDesCbcCipher::Encrypt(unsigned char* out, const unsigned char* in, int length) {
    if (!AcceptsLength(out, in, length)) return;
    DES_ncbc_encrypt(in, out, length, &schedule->key, reinterpret_cast<DES_cblock*>(chain), DES_ENCRYPT);
}

void CDesCbcCipher::Decrypt(unsigned char* out, const unsigned char* in, int length) {
    if (!AcceptsLength(out, in, length)) return;
    DES_ncbc_encrypt(in, out, length, &schedule->key, reinterpret_cast<DES_cblock*>(chain), DES_DECRYPT);
}

}  // namespace velunor
