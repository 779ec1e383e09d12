#include "crypto/CSshKey.h"

#include "base/CWireReader.h"
#include "crypto/CDssKey.h"
#include "crypto/CRsaKey.h"

namespace velunor {

int CSshKey::Verify(const uint8_t*, int32_t, const uint8_t*, int32_t, int) { return 0; }

CByteBuffer* CSshKey::GetPublicBlob() { return nullptr; }

int CSshKey::ParsePublicBlob(CByteBuffer*) { return 0; }

int CSshKey::Sign(CSecureBlock*, const uint8_t*, uint32_t) { return 0; }

int CSshKey::Equals(const CSshKey*) const { return 0; }

int CSshKey::ParsePrivateBlob(std::span<const uint8_t>) { return 0; }

std::unique_ptr<CSshKey> CSshKey::Create(std::string_view algorithm) {
    if (algorithm == "ssh-rsa") return std::make_unique<CRsaKey>();
    if (algorithm == "ssh-dss") return std::make_unique<CDssKey>();
    return nullptr;
}

std::unique_ptr<CSshKey> CSshKey::FromPrivateBlob(std::span<const uint8_t> blob) {
    CWireReader in(blob);
    auto key = Create(in.Text());
    if (!key || key->ParsePrivateBlob(blob) != 1) return nullptr;
    return key;
}

}  // namespace velunor
