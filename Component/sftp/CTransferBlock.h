#pragma once

#include <cstdint>

#include "platform/Files.h"

namespace velunor {

// The remote handle, local file and counters of the SFTP operation in progress.
struct CTransferBlock {
    static constexpr uint32_t MaxHandleLength = 256;

    uint8_t handle[MaxHandleLength] = {};
    uint32_t handleLength = 0;
    platform::FileHandle localFile = platform::kInvalidFile;
    uint64_t localSize = 0;
    uint64_t localPosition = 0;
    uint64_t startOffset = 0;
    uint64_t progressBase = 0;
    int32_t sizeLimit = 0;
    uint32_t attrFlags = 0;
    uint64_t fileSize = 0;
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint32_t permissions = 0;
    uint32_t accessTime = 0;
    uint32_t modifyTime = 0;
    int32_t pendingCr = 0;

    // All zero with no local file; the caller closes an open file first.
    void Reset() { *this = CTransferBlock{}; }
};

}  // namespace velunor
