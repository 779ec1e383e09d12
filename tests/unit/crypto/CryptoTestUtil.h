#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace velunor::test {

inline std::vector<uint8_t> FromHex(std::string_view hex) {
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(uint8_t(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
    return bytes;
}

inline std::string ToHex(const uint8_t* data, size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < n; ++i) {
        text.push_back(kDigits[data[i] >> 4]);
        text.push_back(kDigits[data[i] & 15]);
    }
    return text;
}

inline std::string ToHex(const std::vector<uint8_t>& bytes) { return ToHex(bytes.data(), bytes.size()); }

// Reproducible bytes: a failing case fails again on the next run.
inline std::vector<uint8_t> PatternBytes(size_t n, uint32_t seed) {
    std::mt19937 generator(seed);
    std::vector<uint8_t> bytes(n);
    for (auto& b : bytes) b = uint8_t(generator());
    return bytes;
}

}  // namespace velunor::test
