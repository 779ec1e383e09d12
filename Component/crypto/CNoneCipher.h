#pragma once

#include "crypto/CSshCipher.h"

namespace velunor {

// The cipher in force before the first key exchange: data passes through unchanged.
class CNoneCipher final : public CSshCipher {
public:
    CNoneCipher() {
        name = "none";
        blockSize = 8;
        keyLength = 0;
    }

    void SetKey(const unsigned char*) override {}
    void SetIv(const unsigned char*) override {}
    void Encrypt(unsigned char* out, const unsigned char* in, int length) override { Copy(out, in, length); }
    void Decrypt(unsigned char* out, const unsigned char* in, int length) override { Copy(out, in, length); }

private:
    static void Copy(unsigned char* out, const unsigned char* in, int length);
};

}  // namespace velunor
