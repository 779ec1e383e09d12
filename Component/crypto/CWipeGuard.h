#pragma once

#include <cstddef>
#include <cstdint>

#include "base/SecureFill.h"

namespace velunor {

// Fills a scratch area with a marker byte when the scope ends, whichever return is taken, so a
// digest or signature copy never outlives the operation that needed it.
class CWipeGuard {
public:
    CWipeGuard(void* area, size_t length, uint8_t fill) : area(area), length(length), fill(fill) {}
    ~CWipeGuard() { SecureFill(area, length, fill); }
    CWipeGuard(const CWipeGuard&) = delete;
    CWipeGuard& operator=(const CWipeGuard&) = delete;

    // Points the guard at an area allocated after the guard was made.
    void Watch(void* newArea, size_t newLength) {
        area = newArea;
        length = newLength;
    }

private:
    void* area;
    size_t length;
    uint8_t fill;
};

}  // namespace velunor
