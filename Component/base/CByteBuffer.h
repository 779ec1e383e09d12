#pragma once

#include <openssl/bn.h>

#include <cstdint>
#include <span>

#include "base/CSecureBlock.h"

namespace velunor {

// The one container for binary data: a growable byte array with a read position. Bytes are
// appended at the end and consumed from the front, so one object serves as a FIFO (socket input,
// packet output) and as a cursor over a message being parsed. It speaks the SSH wire types.
//
// Pointers from Data, Reserve and GetLine point into the storage and stay valid only until the
// next append. The storage is wiped before it is released or replaced.
class CByteBuffer {
public:
    static constexpr uint32_t InitialCapacity = 4096;
    static constexpr uint32_t GrowthStep = 32768;
    static constexpr uint32_t MaxReserve = 0x100000;
    static constexpr uint32_t MaxCapacity = 0xA00000;
    static constexpr uint32_t MaxStringLength = 0x40000;

    CByteBuffer();
    virtual ~CByteBuffer();
    CByteBuffer(const CByteBuffer&) = delete;
    CByteBuffer& operator=(const CByteBuffer&) = delete;

    uint32_t Length() const { return endOffset - readOffset; }
    uint8_t* Data() { return storage + readOffset; }
    const uint8_t* Data() const { return storage + readOffset; }
    std::span<const uint8_t> Bytes() const { return {Data(), Length()}; }
    uint32_t Capacity() const { return capacity; }

    // Room for n bytes at the end (already counted in Length); null and nothing changed on
    // failure (n above MaxReserve, growth beyond MaxCapacity, or no memory).
    [[nodiscard]] uint8_t* Reserve(uint32_t n);
    // Appends n bytes; dropped silently when Reserve fails.
    void Append(const void* data, uint32_t n);
    // Copies and consumes n bytes; with fewer than n unread, does nothing and returns false.
    bool Read(void* dest, uint32_t n);
    void Skip(uint32_t n);
    // Drops the last n unread bytes (a MAC or padding); nothing if fewer are unread.
    void TrimEnd(uint32_t n);
    // Rewinds both offsets; the storage is kept and not wiped.
    void Clear() { readOffset = endOffset = 0; }

    void PutByte(uint8_t v);
    void PutBool(bool v) { PutByte(v ? 1 : 0); }
    void PutUint32(uint32_t v);
    void PutUint64(uint64_t v);
    void PutString(const void* data, uint32_t n);
    void PutString(std::span<const uint8_t> bytes) { PutString(bytes.data(), uint32_t(bytes.size())); }
    // A NUL-terminated text as an SSH string (also a name-list); null is written as "".
    void PutCString(const char* text);
    // An SSH mpint: two's complement, big-endian, fewest bytes that keep the sign.
    void PutMpint(const BIGNUM* x);

    // 0 when too few bytes remain (nothing consumed).
    uint8_t GetByte();
    uint32_t GetUint32();
    uint64_t GetUint64();
    // A new block holding the string (NUL after it), or null: on fewer than 4 bytes (nothing
    // consumed), on a declared length above MaxStringLength or beyond the bytes present (the
    // length field stays consumed, no payload byte is).
    [[nodiscard]] CSecureBlock GetString();
    // Fills x with the unsigned big-endian value of an SSH string; returns its byte length, 0 on
    // failure or for an empty value (callers that must tell them apart check Length).
    [[nodiscard]] uint32_t GetMpint(BIGNUM* x);
    // The SSH-1 key-file form: 16-bit bit count, then the magnitude. Bytes consumed, 0 on failure.
    [[nodiscard]] uint32_t GetSsh1Bignum(BIGNUM* x);
    // Cuts one LF-terminated line (a CR before the LF is dropped) and returns it NUL-terminated
    // inside the storage; null, and nothing consumed, when no complete line is buffered.
    [[nodiscard]] char* GetLine();

private:
    bool Grow(uint32_t newCapacity);

    uint32_t capacity = 0;
    uint8_t* storage = nullptr;
    uint32_t readOffset = 0;
    uint32_t endOffset = 0;
};

}  // namespace velunor
