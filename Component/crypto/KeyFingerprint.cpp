#include "crypto/KeyFingerprint.h"

#include <openssl/evp.h>

#include "crypto/CWipeGuard.h"

namespace velunor {

std::string KeyFingerprint(const uint8_t* blob, uint32_t length) {
    static const uint8_t kEmpty = 0;
    uint8_t digest[16];
    CWipeGuard digestWipe(digest, sizeof(digest), kDigestWipe);
    unsigned int produced = 0;
    if (EVP_Digest(blob != nullptr ? blob : &kEmpty, blob != nullptr ? length : 0, digest, &produced, EVP_md5(),
                   nullptr) != 1 ||
        produced != sizeof(digest))
        return {};
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(3 * sizeof(digest));
    for (uint8_t byte : digest) {
        if (!text.empty()) text.push_back(':');
        text.push_back(kHex[byte >> 4]);
        text.push_back(kHex[byte & 0x0F]);
    }
    return text;
}

}  // namespace velunor
