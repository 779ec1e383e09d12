#pragma once

#include <cstdint>
#include <string>

namespace velunor {

// The text shown to the host for a host key: MD5 of the key blob as 16 lowercase hex pairs
// separated by colons (47 characters). Empty only if the digest cannot be computed.
std::string KeyFingerprint(const uint8_t* blob, uint32_t length);

}  // namespace velunor
