#include "base/CSecureBlock.h"

#include <cstring>
#include <new>
#include <utility>

#include "base/SecureFill.h"

namespace velunor {

CSecureBlock::CSecureBlock(uint32_t n) {
    data = new (std::nothrow) uint8_t[size_t(n) + 1]();
    if (data != nullptr) length = n;
}

CSecureBlock::CSecureBlock(const void* bytes, uint32_t n) : CSecureBlock(n) {
    if (data != nullptr && n > 0) std::memcpy(data, bytes, n);
}

CSecureBlock::~CSecureBlock() { Reset(); }

CSecureBlock::CSecureBlock(CSecureBlock&& other) noexcept
    : data(std::exchange(other.data, nullptr)), length(std::exchange(other.length, 0)) {}

CSecureBlock& CSecureBlock::operator=(CSecureBlock&& other) noexcept {
    if (this != &other) {
        Reset();
        data = std::exchange(other.data, nullptr);
        length = std::exchange(other.length, 0);
    }
    return *this;
}

void CSecureBlock::Reset() {
    if (data != nullptr) {
        SecureFill(data, size_t(length) + 1, 0);
        delete[] data;
    }
    data = nullptr;
    length = 0;
}

}  // namespace velunor
