#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace velunor {

// An owned heap block of n bytes followed by a NUL, wiped with zeros when released. It stands
// for "a new block or null": a default-constructed block is null and tests false.
class CSecureBlock {
public:
    CSecureBlock() = default;
    // Allocates length + 1 bytes, all zero. Null (and false) if the allocation fails.
    explicit CSecureBlock(uint32_t length);
    CSecureBlock(const void* data, uint32_t length);
    ~CSecureBlock();

    CSecureBlock(CSecureBlock&& other) noexcept;
    CSecureBlock& operator=(CSecureBlock&& other) noexcept;
    CSecureBlock(const CSecureBlock&) = delete;
    CSecureBlock& operator=(const CSecureBlock&) = delete;

    explicit operator bool() const { return data != nullptr; }
    uint8_t* Data() { return data; }
    const uint8_t* Data() const { return data; }
    uint32_t Length() const { return length; }
    // The bytes as a NUL-terminated text ("" for a null block).
    const char* Text() const { return data ? reinterpret_cast<const char*>(data) : ""; }
    std::span<const uint8_t> Bytes() const { return {data, data ? length : 0u}; }
    void Reset();

private:
    uint8_t* data = nullptr;
    uint32_t length = 0;
};

}  // namespace velunor
