#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>
#include <utility>

#include "base/CSecureBlock.h"
#include "base/CWireReader.h"
#include "crypto/OpenSslHandles.h"

namespace velunor {

// Helpers shared by the key classes.

inline constexpr size_t kSha1Length = 20;

// SHA-1 of length bytes into out; false on a library failure.
bool Sha1Digest(const uint8_t* data, size_t length, uint8_t out[kSha1Length]);

// A libcrypto key of type ("RSA", "DSA") from named numbers; entries with a null number are
// left out. Null when the library refuses the numbers.
using NamedNumber = std::pair<const char*, const BIGNUM*>;
EvpPkeyPtr KeyFromNumbers(const char* type, std::initializer_list<NamedNumber> numbers, bool withPrivate);

// An operation context over key; null on failure.
EvpPkeyCtxPtr KeyContext(EVP_PKEY* key);

// One non-negative SSH mpint from the reader as a new number; null once the reader has failed
// or for a negative value, which no key number may be.
BnPtr ReadKeyNumber(CWireReader& in);

// Moves a signature of produced bytes to the end of a width-byte area and zeroes the bytes in
// front, so it has the fixed width the wire format needs. False if it is wider than width.
bool RightAlignSignature(uint8_t* area, size_t produced, size_t width);

// The signature inside a signature blob (string algorithm, string signature, nothing after);
// false for another algorithm name, a short blob or trailing bytes.
bool ReadSignatureBlob(std::span<const uint8_t> blob, std::string_view algorithm, std::span<const uint8_t>* signature);
// The signature blob for a signature value, as a block of exactly its length; null on failure.
CSecureBlock MakeSignatureBlob(const char* algorithm, const uint8_t* value, uint32_t length);

// Whether a string read from a blob is exactly the text name.
bool NameMatches(const CSecureBlock& text, const char* name);

// Drops whatever a failed library call left on this thread's error queue, which belongs to the
// host as much as to us.
void DiscardLibraryErrors();

}  // namespace velunor
