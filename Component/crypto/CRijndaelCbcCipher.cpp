#include "crypto/CRijndaelCbcCipher.h"

#include <cstring>

#include "base/SecureFill.h"

namespace velunor {

CRijndaelCbcCipher::CRijndaelCbcCipher(const char* sshName, int keyBytes) {
    name = sshName;
    blockSize = 16;
    keyLength = keyBytes;
}

CRijndaelCbcCipher::~CRijndaelCbcCipher() {
    SecureFill(chain, sizeof(chain), 0);
    SecureFill(&encryptContext, sizeof(encryptContext), 0);
    SecureFill(&decryptContext, sizeof(decryptContext), 0);
}

void CRijndaelCbcCipher::SetKey(const unsigned char* key) {
    if (key == nullptr) return;
    RijndaelSetKey(&encryptContext, key, 8 * keyLength, true);
    RijndaelSetKey(&decryptContext, key, 8 * keyLength, false);
}

void CRijndaelCbcCipher::SetIv(const unsigned char* iv) {
    if (iv == nullptr)
        std::memset(chain, 0, sizeof(chain));
    else
        std::memcpy(chain, iv, sizeof(chain));
}

void CRijndaelCbcCipher::Encrypt(unsigned char* out, const unsigned char* in, int length) {
    if (!AcceptsLength(out, in, length)) return;
    const unsigned char* previous = chain;
    unsigned char scratch[16];
    for (int offset = 0; offset < length; offset += 16) {
        for (int i = 0; i < 16; ++i) scratch[i] = uint8_t(in[offset + i] ^ previous[i]);
        RijndaelEncryptBlock(&encryptContext, scratch, out + offset);
        previous = out + offset;
    }
    std::memcpy(chain, out + length - 16, 16);
    SecureFill(scratch, sizeof(scratch), 0);
}

void CRijndaelCbcCipher::Decrypt(unsigned char* out, const unsigned char* in, int length) {
    if (!AcceptsLength(out, in, length)) return;
    // Walking from the last block back keeps every ciphertext block that a later block needs
    // unread-over when out and in are the same buffer.
    unsigned char lastInput[16];
    std::memcpy(lastInput, in + length - 16, 16);
    unsigned char plain[16];
    for (int offset = length - 16; offset >= 0; offset -= 16) {
        RijndaelDecryptBlock(&decryptContext, in + offset, plain);
        const unsigned char* previous = offset == 0 ? chain : in + offset - 16;
        for (int i = 0; i < 16; ++i) out[offset + i] = uint8_t(plain[i] ^ previous[i]);
    }
    std::memcpy(chain, lastInput, 16);
    SecureFill(plain, sizeof(plain), 0);
}

}  // namespace velunor
