#pragma once

#include "crypto/CSshKey.h"
#include "crypto/OpenSslHandles.h"

namespace velunor {

// An "ssh-dss" key: DSA over SHA-1 with r and s carried as 20 bytes each.
class CDssKey final : public CSshKey {
public:
    static constexpr int SignaturePartLength = 20;
    static constexpr int SignatureLength = 2 * SignaturePartLength;

    CDssKey();
    ~CDssKey() override;

    int Verify(const uint8_t* signature, int32_t signatureLength, const uint8_t* data, int32_t dataLength,
               int rawSignature) override;
    CByteBuffer* GetPublicBlob() override;
    int ParsePublicBlob(CByteBuffer* buffer) override;
    int Sign(CSecureBlock* signature, const uint8_t* data, uint32_t dataLength) override;
    int Equals(const CSshKey* other) const override;
    // Blob order: p, q, g, y, x.
    int ParsePrivateBlob(std::span<const uint8_t> blob) override;

private:
    EvpPkeyPtr LibraryKey(bool withPrivate) const;

    BnPtr p;
    BnPtr q;
    BnPtr g;
    BnPtr y;
    BnPtr x;
};

}  // namespace velunor
