#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <string_view>

namespace velunor {

// A negotiated message authentication algorithm of one direction and its key. The packet layer
// computes HMAC(key[0..keyLength), seq || packet) into mac and sends or compares macLength bytes.
struct CSshMac {
    CSshMac() = default;
    ~CSshMac();
    CSshMac(CSshMac&& other) noexcept;
    CSshMac& operator=(CSshMac&& other) noexcept;
    CSshMac(const CSshMac&) = delete;
    CSshMac& operator=(const CSshMac&) = delete;

    // The record for "hmac-sha1", "hmac-md5" or "none"; legacyServer shortens the SHA-1 key to 16
    // bytes as old servers expect. An unknown name gives the no-MAC record with ok false.
    static CSshMac Create(std::string_view sshName, bool legacyServer, bool* ok = nullptr);
    // Replaces the key with keyLength bytes taken from the derived key material.
    void TakeKey(const unsigned char* material);
    // Usable for computing: a MAC length within the output area and a key present.
    bool Usable() const { return macLength == 0 || (macLength <= int(sizeof(mac)) && key != nullptr); }

    unsigned char mac[64] = {};
    const char* name = "";
    int keyLength = 0;
    int macLength = 0;
    unsigned char* key = nullptr;  // 48-byte block, wiped when released
    const EVP_MD* digest = nullptr;
};

}  // namespace velunor
