#pragma once

#include "crypto/CSshKey.h"
#include "crypto/OpenSslHandles.h"

namespace velunor {

// An "ssh-rsa" key: PKCS #1 v1.5 signatures over SHA-1, as long as the modulus.
class CRsaKey final : public CSshKey {
public:
    // Moduli under this many bits are refused outright: such signatures are too weak to trust.
    static constexpr int MinModulusBits = 768;

    CRsaKey();
    ~CRsaKey() override;

    int Verify(const uint8_t* signature, int32_t signatureLength, const uint8_t* data, int32_t dataLength,
               int rawSignature) override;
    CByteBuffer* GetPublicBlob() override;
    int ParsePublicBlob(CByteBuffer* buffer) override;
    int Sign(CSecureBlock* signature, const uint8_t* data, uint32_t dataLength) override;
    int Equals(const CSshKey* other) const override;
    // Blob order: n, e, d, p, q, d mod (p - 1), d mod (q - 1), q^-1 mod p.
    int ParsePrivateBlob(std::span<const uint8_t> blob) override;

private:
    EvpPkeyPtr LibraryKey(bool withPrivate) const;
    void DropPrivate();

    BnPtr n;
    BnPtr e;
    BnPtr d;
    BnPtr p;
    BnPtr q;
    BnPtr dmp1;
    BnPtr dmq1;
    BnPtr iqmp;
};

}  // namespace velunor
