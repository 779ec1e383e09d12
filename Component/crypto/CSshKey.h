#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "base/CByteBuffer.h"
#include "base/CSecureBlock.h"

namespace velunor {

// A public key algorithm's key: the host key that signs the exchange hash, or the user's key
// that signs the authentication request. The base stands for "no algorithm" and does nothing.
class CSshKey {
public:
    CSshKey() = default;
    virtual ~CSshKey() = default;
    CSshKey(const CSshKey&) = delete;
    CSshKey& operator=(const CSshKey&) = delete;

    // 1 valid, 0 not valid, -1 malformed signature, wrong algorithm or unusable key. A set
    // rawSignature takes the bytes as the bare signature value instead of a signature blob.
    virtual int Verify(const uint8_t* signature, int32_t signatureLength, const uint8_t* data, int32_t dataLength,
                       int rawSignature);
    // The key's own buffer, refilled with the public key blob; valid until the next call.
    virtual CByteBuffer* GetPublicBlob();
    // Reads a public key blob: 1 read, 0 the blob names another algorithm (nothing more read).
    virtual int ParsePublicBlob(CByteBuffer* buffer);
    // A signature blob over data into *signature (when not null): 0 signed, -1 failure, and then
    // *signature is left as it was.
    virtual int Sign(CSecureBlock* signature, const uint8_t* data, uint32_t dataLength);
    // 1 when other is of the same algorithm with the same public numbers; private ones are ignored.
    virtual int Equals(const CSshKey* other) const;
    // Loads every number from a private key blob (algorithm name, then the numbers): 1 read,
    // 0 another algorithm, -1 a missing or negative number; the key is unchanged unless 1.
    virtual int ParsePrivateBlob(std::span<const uint8_t> blob);

    // An empty key object for "ssh-rsa" or "ssh-dss"; null for other names.
    static std::unique_ptr<CSshKey> Create(std::string_view algorithm);
    // The key of a private key blob, or null when its algorithm is unknown or the blob is short.
    static std::unique_ptr<CSshKey> FromPrivateBlob(std::span<const uint8_t> blob);

    const char* name = "none";

protected:
    std::unique_ptr<CByteBuffer> publicBlob;
};

}  // namespace velunor
