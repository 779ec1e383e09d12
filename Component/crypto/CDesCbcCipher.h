#pragma once

#include <memory>

#include "crypto/CSshCipher.h"

namespace velunor {

// Single DES in CBC mode from libcrypto, for "des-cbc" and its vendor-qualified alias.
class CDesCbcCipher final : public CSshCipher {
public:
    CDesCbcCipher();
    ~CDesCbcCipher() override;

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
