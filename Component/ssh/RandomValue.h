#pragma once

#include <cstdint>
#include <span>

namespace velunor {

// The process-wide random source for padding, the KEXINIT cookie and the Diffie-Hellman
// exponent. It draws from OpenSSL's generator: the C library's rand is predictable, and an
// exponent taken from it would give the shared secret away. The host's own rand state is never
// touched (no srand).

// A value from 0 to 32767, or -1 when the generator fails; callers that need secrecy test for it.
int RandomValue();

// Fills bytes from the same generator; false (bytes unspecified) when it fails.
[[nodiscard]] bool RandomFill(std::span<uint8_t> bytes);

}  // namespace velunor
