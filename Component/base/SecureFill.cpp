#include "base/SecureFill.h"

#include <openssl/crypto.h>

namespace velunor {

void SecureFill(void* ptr, size_t n, uint8_t value) {
    if (ptr == nullptr || n == 0) return;
    if (value == 0) {
        OPENSSL_cleanse(ptr, n);
        return;
    }
    volatile uint8_t* p = static_cast<volatile uint8_t*>(ptr);
    for (size_t i = 0; i < n; ++i) p[i] = value;
}

}  // namespace velunor
