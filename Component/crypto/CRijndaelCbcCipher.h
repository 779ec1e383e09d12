#pragma once

#include "crypto/CSshCipher.h"
#include "crypto/Rijndael.h"

namespace velunor {

// CBC over the system's own Rijndael, for every "aes" and "rijndael" name; the names differ only
// in key length (16, 24 or 32 bytes).
class CRijndaelCbcCipher final : public CSshCipher {
public:
    CRijndaelCbcCipher(const char* sshName, int keyBytes);
    ~CRijndaelCbcCipher() override;

    void SetKey(const unsigned char* key) override;
    void SetIv(const unsigned char* iv) override;
    void Encrypt(unsigned char* out, const unsigned char* in, int length) override;
    void Decrypt(unsigned char* out, const unsigned char* in, int length) override;

private:
    unsigned char chain[16] = {};
    RijndaelContext encryptContext;
    RijndaelContext decryptContext;
};

}  // namespace velunor
