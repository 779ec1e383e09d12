#pragma once

#include <cstddef>
#include <cstdint>

namespace velunor {

// Overwrites n bytes with value in a way the compiler may not drop as a dead store, so keys,
// passwords and plaintext do not survive in memory that is about to be released.
void SecureFill(void* ptr, size_t n, uint8_t value);

// Bytes written over released digests and signature copies.
inline constexpr uint8_t kDigestWipe = 0x64;
inline constexpr uint8_t kSignatureWipe = 0x73;

}  // namespace velunor
