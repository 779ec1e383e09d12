#define OPENSSL_SUPPRESS_DEPRECATED

#include "crypto/CBlowfishCbcCipher.h"

#include <openssl/blowfish.h>

#include <cstring>

#include "base/SecureFill.h"

namespace velunor {

struct CBlowfishCbcCipher::KeySchedule {
    BF_KEY key;
};

CBlowfishCbcCipher::CBlowfishCbcCipher() : schedule(std::make_unique<KeySchedule>()) {
    name = "blowfish-cbc";
    blockSize = 8;
    keyLength = 16;
    std::memset(schedule.get(), 0, sizeof(KeySchedule));
}

CBlowfishCbcCipher::~CBlowfishCbcCipher() {
    SecureFill(schedule.get(), sizeof(KeySchedule), 0);
    SecureFill(chain, sizeof(chain), 0);
}

void CBlowfishCbcCipher::SetKey(const unsigned char* key) {
    if (key == nullptr) return;
    BF_set_key(&schedule->key, keyLength, key);
}

void CBlowfishCbcCipher::SetIv(const unsigned char* iv) {
    if (iv == nullptr)
        std::memset(chain, 0, sizeof(chain));
    else
        std::memcpy(chain, iv, sizeof(chain));
}

// Whole blocks only: the library would write a full block for a partial one.
void CBlowfishCbcCipher::Encrypt(unsigned char* out, const unsigned char* in, int length) {
    if (!AcceptsLength(out, in, length)) return;
    BF_cbc_encrypt(in, out, length, &schedule->key, chain, BF_ENCRYPT);
}

void CBlowfishCbcCipher::Decrypt(unsigned char* out, const unsigned char* in, int length) {
    if (!AcceptsLength(out, in, length)) return;
    BF_cbc_encrypt(in, out, length, &schedule->key, chain, BF_DECRYPT);
}

}  // namespace velunor
