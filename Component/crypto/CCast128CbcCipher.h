#pragma once

#include <memory>

#include "crypto/CSshCipher.h"

namespace velunor {

// CAST-128 with a 128-bit key in CBC mode, from libcrypto.
class CCast128CbcCipher final : public CSshCipher {
public:
    CCast128CbcCipher();
    ~CCast128CbcCipher() override;

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
