#pragma once

#include <memory>

#include "crypto/CSshCipher.h"

namespace velunor {

// Blowfish with a 128-bit key in CBC mode, from libcrypto.
class CBlowfishCbcCipher final : public CSshCipher {
public:
    CBlowfishCbcCipher();
    ~CBlowfishCbcCipher() override;

    void SetKey(const unsigned char* key) override;
    void SetIv(const unsigned char* iv) override;
    void Encrypt(unsigned char* out, const unsigned char* in, int length) override;
    void Decrypt(unsigned char* out, const unsigned char* in, int length) override;

private:
    // The library's key schedule, kept out of this header so that its deprecated low-level
    // declarations reach only the file that calls them.
    struct KeySchedule;
    std::unique_ptr<KeySchedule> schedule;
    unsigned char chain[8] = {};
};

}  // namespace velunor
