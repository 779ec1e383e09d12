#include "base/CWireReader.h"

namespace velunor {

std::span<const uint8_t> CWireReader::Take(size_t n) {
    if (!ok || n > rest.size()) {
        ok = false;
        rest = {};
        return {};
    }
    auto taken = rest.first(n);
    rest = rest.subspan(n);
    return taken;
}

uint8_t CWireReader::Byte() {
    auto b = Take(1);
    return b.empty() ? 0 : b[0];
}

uint32_t CWireReader::Uint32() {
    auto b = Take(4);
    if (b.empty()) return 0;
    return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
}

uint64_t CWireReader::Uint64() {
    uint64_t high = Uint32();
    uint64_t low = Uint32();
    return ok ? (high << 32) | low : 0;
}

std::span<const uint8_t> CWireReader::String() {
    uint32_t n = Uint32();
    return ok ? Take(n) : std::span<const uint8_t>{};
}

}  // namespace velunor
