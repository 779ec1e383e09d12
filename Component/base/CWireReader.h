#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace velunor {

// A sticky-failure cursor over bytes it does not own. After the first short read every getter
// returns 0 or empty, so a handler reads all its fields and tests Ok() once.
class CWireReader {
public:
    explicit CWireReader(std::span<const uint8_t> bytes) : rest(bytes) {}

    bool Ok() const { return ok; }
    size_t Remaining() const { return rest.size(); }
    std::span<const uint8_t> Rest() const { return rest; }

    uint8_t Byte();
    bool Bool() { return Byte() != 0; }
    uint32_t Uint32();
    uint64_t Uint64();
    // An SSH string as a view into the bytes; empty once any read has failed.
    std::span<const uint8_t> String();
    std::string_view Text() {
        auto s = String();
        return {reinterpret_cast<const char*>(s.data()), s.size()};
    }
    std::span<const uint8_t> Take(size_t n);

private:
    std::span<const uint8_t> rest;
    bool ok = true;
};

}  // namespace velunor
