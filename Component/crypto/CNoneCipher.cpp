#include "crypto/CNoneCipher.h"

#include <cstring>

namespace velunor {

void CNoneCipher::Copy(unsigned char* out, const unsigned char* in, int length) {
    // Packets are usually transformed in place; then there is nothing to move.
    if (length <= 0 || out == nullptr || in == nullptr || out == in) return;
    std::memmove(out, in, size_t(length));
}

}  // namespace velunor
