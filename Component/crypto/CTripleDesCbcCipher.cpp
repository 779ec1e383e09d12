#define OPENSSL_SUPPRESS_DEPRECATED

#include "crypto/CTripleDesCbcCipher.h"

#include <openssl/des.h>

#include <cstring>

#include "base/SecureFill.h"

namespace velunor {

struct CTripleDesCbcCipher::KeySchedule {
    DES_key_schedule key1;
    DES_key_schedule key2;
    DES_key_schedule key3;
};

CTripleDesCbcCipher::CTripleDesCbcCipher() : schedule(std::make_unique<KeySchedule>()) {
    name = "3des-cbc";
    blockSize = 8;
    keyLength = 24;
    std::memset(schedule.get(), 0, sizeof(KeySchedule));
}

CTripleDesCbcCipher::~CTripleDesCbcCipher() {
    SecureFill(schedule.get(), sizeof(KeySchedule), 0);
    SecureFill(chain, sizeof(chain), 0);
}

void CTripleDesCbcCipher::SetKey(const unsigned char* key) {
    if (key == nullptr) return;
    DES_cblock block;
    DES_key_schedule* targets[3] = {&schedule->key1, &schedule->key2, &schedule->key3};
    for (int i = 0; i < 3; ++i) {
        std::memcpy(block, key + 8 * i, sizeof(block));
        DES_set_key_unchecked(&block, targets[i]);
    }
    SecureFill(block, sizeof(block), 0);
}

void CTripleDesCbcCipher::SetIv(const unsigned char* iv) {
    if (iv == nullptr)
        std::memset(chain, 0, sizeof(chain));
    else
        std::memcpy(chain, iv, sizeof(chain));
}

// Whole blocks only: the library would write a full block for a partial one.
void CTripleDesCbcCipher::Encrypt(unsigned char* out, const unsigned char* in, int length) {
    if (!AcceptsLength(out, in, length)) return;
    DES_ede3_cbc_encrypt(in, out, length, &schedule->key1, &schedule->key2, &schedule->key3,
                         reinterpret_cast<DES_cblock*>(chain), DES_ENCRYPT);
}

void CTripleDesCbcCipher::Decrypt(unsigned char* out, const unsigned char* in, int length) {
    if (!AcceptsLength(out, in, length)) return;
    DES_ede3_cbc_encrypt(in, out, length, &schedule->key1, &schedule->key2, &schedule->key3,
                         reinterpret_cast<DES_cblock*>(chain), DES_DECRYPT);
}

}  // namespace velunor
