#include "ssh/RandomValue.h"

#include <openssl/rand.h>

#include <climits>

#include "base/SecureFill.h"

namespace velunor {

int RandomValue() {
    uint8_t b[2];
    if (RAND_bytes(b, sizeof(b)) != 1) return -1;
    int v = ((b[0] << 8) | b[1]) & 0x7FFF;
    SecureFill(b, sizeof(b), 0);
    return v;
}

bool RandomFill(std::span<uint8_t> bytes) {
    // RAND_bytes takes an int count; draw in pieces so a large span cannot be cut short.
    while (!bytes.empty()) {
        size_t n = bytes.size() < size_t(INT_MAX) ? bytes.size() : size_t(INT_MAX);
        if (RAND_bytes(bytes.data(), int(n)) != 1) return false;
        bytes = bytes.subspan(n);
    }
    return true;
}

}  // namespace velunor
