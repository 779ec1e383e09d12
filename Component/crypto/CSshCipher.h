#pragma once

#include <memory>
#include <string_view>

namespace velunor {

// One direction's cipher. Every cipher is CBC over its block cipher; the chaining value lives in
// the object, so the stream continues from one call (one packet) to the next. Encrypt and
// Decrypt take whole blocks only, and out may equal in; any other length leaves the output and
// the chaining value untouched.
class CSshCipher {
public:
    virtual ~CSshCipher() = default;

    virtual void SetKey(const unsigned char* key) = 0;
    virtual void SetIv(const unsigned char* iv) = 0;
    virtual void Encrypt(unsigned char* out, const unsigned char* in, int length) = 0;
    virtual void Decrypt(unsigned char* out, const unsigned char* in, int length) = 0;

    // The cipher for an SSH algorithm name, or null for a name this system does not offer.
    static std::unique_ptr<CSshCipher> Create(std::string_view sshName);

    const char* name = "none";
    int blockSize = 8;
    int keyLength = 0;

protected:
    // Whether a call may run: at least one block, whole blocks only, and both buffers present.
    bool AcceptsLength(unsigned char* out, const unsigned char* in, int length) const {
        return length > 0 && length % blockSize == 0 && out != nullptr && in != nullptr;
    }
};

}  // namespace velunor
