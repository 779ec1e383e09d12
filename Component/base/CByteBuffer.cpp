#include "base/CByteBuffer.h"

#include <cstring>
#include <new>

#include "base/SecureFill.h"

namespace velunor {

CByteBuffer::CByteBuffer() {
    storage = new (std::nothrow) uint8_t[InitialCapacity];
    if (storage != nullptr) capacity = InitialCapacity;
}

CByteBuffer::~CByteBuffer() {
    SecureFill(storage, capacity, 0);
    delete[] storage;
}

// Allocate, copy, wipe, free: a realloc could leave a copy of key material in freed memory.
bool CByteBuffer::Grow(uint32_t newCapacity) {
    uint8_t* bigger = new (std::nothrow) uint8_t[newCapacity];
    if (bigger == nullptr) return false;
    if (storage != nullptr) {
        std::memcpy(bigger, storage, endOffset);
        SecureFill(storage, capacity, 0);
        delete[] storage;
    }
    storage = bigger;
    capacity = newCapacity;
    return true;
}

uint8_t* CByteBuffer::Reserve(uint32_t n) {
    if (n > MaxReserve) return nullptr;
    if (readOffset == endOffset) readOffset = endOffset = 0;
    // Never filled to the last byte: GetLine and the identification parse rely on a spare byte.
    while (uint64_t(endOffset) + n >= capacity) {
        if (readOffset > capacity / 2) {
            std::memmove(storage, storage + readOffset, endOffset - readOffset);
            endOffset -= readOffset;
            readOffset = 0;
            continue;
        }
        uint64_t newCapacity = uint64_t(capacity) + n + GrowthStep;
        if (newCapacity > MaxCapacity || !Grow(uint32_t(newCapacity))) return nullptr;
    }
    uint8_t* p = storage + endOffset;
    endOffset += n;
    return p;
}

void CByteBuffer::Append(const void* data, uint32_t n) {
    if (n == 0) return;
    uint8_t* p = Reserve(n);
    if (p != nullptr) std::memcpy(p, data, n);
}

bool CByteBuffer::Read(void* dest, uint32_t n) {
    if (n > Length()) return false;
    if (n > 0) std::memcpy(dest, storage + readOffset, n);
    readOffset += n;
    return true;
}

void CByteBuffer::Skip(uint32_t n) {
    if (n <= Length()) readOffset += n;
}

void CByteBuffer::TrimEnd(uint32_t n) {
    if (n <= Length()) endOffset -= n;
}

void CByteBuffer::PutByte(uint8_t v) { Append(&v, 1); }

void CByteBuffer::PutUint32(uint32_t v) {
    const uint8_t b[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    Append(b, 4);
}

void CByteBuffer::PutUint64(uint64_t v) {
    PutUint32(uint32_t(v >> 32));
    PutUint32(uint32_t(v));
}

void CByteBuffer::PutString(const void* data, uint32_t n) {
    // Length and bytes go in as one append so a refused string leaves no stray length field.
    if (n > MaxReserve - 4) return;
    uint8_t* p = Reserve(n + 4);
    if (p == nullptr) return;
    p[0] = uint8_t(n >> 24);
    p[1] = uint8_t(n >> 16);
    p[2] = uint8_t(n >> 8);
    p[3] = uint8_t(n);
    if (n > 0) std::memcpy(p + 4, data, n);
}

void CByteBuffer::PutCString(const char* text) {
    if (text == nullptr) text = "";
    size_t n = std::strlen(text);
    if (n > MaxReserve) return;
    PutString(text, uint32_t(n));
}

void CByteBuffer::PutMpint(const BIGNUM* x) {
    int bits = BN_num_bits(x);
    uint32_t n = uint32_t(bits + 7) / 8;
    if (n == 0) {
        PutUint32(0);
        return;
    }
    CSecureBlock scratch(n + 1);
    if (!scratch) return;
    uint8_t* s = scratch.Data();
    s[0] = 0;
    if (BN_bn2bin(x, s + 1) != int(n)) return;
    bool dropLead = s[1] < 0x80;
    if (BN_is_negative(x)) {
        unsigned carry = 1;
        for (uint32_t i = n + 1; i-- > 0;) {
            unsigned v = uint8_t(~s[i]) + carry;
            s[i] = uint8_t(v);
            carry = (carry && s[i] == 0) ? 1 : 0;
        }
    }
    if (dropLead)
        PutString(s + 1, n);
    else
        PutString(s, n + 1);
}

uint8_t CByteBuffer::GetByte() {
    uint8_t v = 0;
    Read(&v, 1);
    return v;
}

uint32_t CByteBuffer::GetUint32() {
    uint8_t b[4];
    if (!Read(b, 4)) return 0;
    return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
}

uint64_t CByteBuffer::GetUint64() {
    if (Length() < 8) return 0;
    uint64_t high = GetUint32();
    return (high << 32) | GetUint32();
}

CSecureBlock CByteBuffer::GetString() {
    if (Length() < 4) return {};
    uint32_t n = GetUint32();
    if (n > MaxStringLength || n > Length()) return {};
    CSecureBlock block(n);
    if (!block) return {};
    Read(block.Data(), n);
    return block;
}

uint32_t CByteBuffer::GetMpint(BIGNUM* x) {
    uint32_t before = Length();
    CSecureBlock s = GetString();
    if (!s) return 0;
    uint32_t n = s.Length();
    if (n > before - 4) return 0;
    if (BN_bin2bn(s.Data(), int(n), x) == nullptr) return 0;
    return n;
}

uint32_t CByteBuffer::GetSsh1Bignum(BIGNUM* x) {
    uint8_t b[2];
    if (!Read(b, 2)) return 0;
    uint32_t bits = uint32_t(b[0]) * 256 + b[1];
    uint32_t bytes = (bits + 7) / 8;
    if (Length() < bytes) return 0;
    if (BN_bin2bn(Data(), int(bytes), x) == nullptr) return 0;
    Skip(bytes);
    return bytes + 2;
}

char* CByteBuffer::GetLine() {
    uint32_t n = Length();
    if (n == 0) return nullptr;
    uint8_t* start = Data();
    auto* lf = static_cast<uint8_t*>(std::memchr(start, '\n', n));
    if (lf == nullptr) return nullptr;
    uint32_t i = uint32_t(lf - start);
    readOffset += i + 1;
    if (i > 0 && start[i - 1] == '\r')
        start[i - 1] = 0;
    else
        *lf = 0;
    return reinterpret_cast<char*>(start);
}

}  // namespace velunor
