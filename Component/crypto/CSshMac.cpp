#include "crypto/CSshMac.h"

#include <cstring>
#include <new>
#include <utility>

#include "base/SecureFill.h"

namespace velunor {
namespace {

constexpr int kKeyBlockSize = 48;

void ReleaseKey(unsigned char*& key) {
    if (key == nullptr) return;
    SecureFill(key, kKeyBlockSize, 0);
    delete[] key;
    key = nullptr;
}

}  // namespace

CSshMac::~CSshMac() {
    ReleaseKey(key);
    SecureFill(mac, sizeof(mac), 0);
}

CSshMac::CSshMac(CSshMac&& other) noexcept
    : name(other.name), keyLength(other.keyLength), macLength(other.macLength), key(other.key),
      digest(other.digest) {
    std::memcpy(mac, other.mac, sizeof(mac));
    other.key = nullptr;
    SecureFill(other.mac, sizeof(other.mac), 0);
}

CSshMac& CSshMac::operator=(CSshMac&& other) noexcept {
    if (this == &other) return *this;
    ReleaseKey(key);
    std::memcpy(mac, other.mac, sizeof(mac));
    name = other.name;
    keyLength = other.keyLength;
    macLength = other.macLength;
    key = std::exchange(other.key, nullptr);
    digest = other.digest;
    SecureFill(other.mac, sizeof(other.mac), 0);
    return *this;
}

CSshMac CSshMac::Create(std::string_view sshName, bool legacyServer, bool* ok) {
    CSshMac record;
    bool known = true;
    if (sshName == "hmac-sha1") {
        record.name = "hmac-sha1";
        record.digest = EVP_sha1();
        record.macLength = 20;
        // Old servers key HMAC-SHA1 with only 16 bytes; matching them is what keeps MACs equal.
        record.keyLength = legacyServer ? 16 : 20;
    } else if (sshName == "hmac-md5") {
        record.name = "hmac-md5";
        record.digest = EVP_md5();
        record.macLength = 16;
        record.keyLength = 16;
    } else {
        known = sshName == "none";
    }
    if (ok != nullptr) *ok = known;
    return record;
}

void CSshMac::TakeKey(const unsigned char* material) {
    ReleaseKey(key);
    if (material == nullptr) return;
    key = new (std::nothrow) unsigned char[kKeyBlockSize]();
    if (key == nullptr) return;
    int n = keyLength < 0 ? 0 : (keyLength > kKeyBlockSize ? kKeyBlockSize : keyLength);
    std::memcpy(key, material, size_t(n));
}

}  // namespace velunor
