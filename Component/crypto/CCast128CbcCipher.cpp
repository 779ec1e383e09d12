#define OPENSSL_SUPPRESS_DEPRECATED

#include "crypto/CCast128CbcCipher.h"

#include <openssl/cast.h>

#include <cstring>

#include "base/SecureFill.h"

namespace velunor {

struct CCast128CbcCipher::KeySchedule {
    CAST_KEY key;
};

CCast128CbcCipher::CCast128CbcCipher() : schedule(std::make_unique<KeySchedule>()) {
    name = "cast128-cbc";
    blockSize = 8;
    keyLength = 16;
    std::memset(schedule.get(), 0, sizeof(KeySchedule));
}

CCast128CbcCipher::~CCast128CbcCipher() {
    SecureFill(schedule.get(), sizeof(KeySchedule), 0);
    SecureFill(chain, sizeof(chain), 0);
}

void CCast128CbcCipher::SetKey(const unsigned char* key) {
    if (key == nullptr) return;
    CAST_set_key(&schedule->key, keyLength, key);
}

void CCast128CbcCipher::SetIv(const unsigned char* iv) {
    if (iv == nullptr)
        std::memset(chain, 0, sizeof(chain));
    else
        std::memcpy(chain, iv, sizeof(chain));
}

// Whole blocks only: the library would write a full block for a partial one.
void CCast128CbcCipher::Encrypt(unsigned char* out, const unsigned char* in, int length) {
    if (!AcceptsLength(out, in, length)) return;
    CAST_cbc_encrypt(in, out, length, &schedule->key, chain, CAST_ENCRYPT);
}

void CCast128CbcCipher::Decrypt(unsigned char* out, const unsigned char* in, int length) {
    if (!AcceptsLength(out, in, length)) return;
    CAST_cbc_encrypt(in, out, length, &schedule->key, chain, CAST_DECRYPT);
}

}  // namespace velunor
