#pragma once

#include <cstdint>

#include "base/CByteBuffer.h"

namespace velunor {

// One SFTP packet: outgoing under construction, or incoming under reassembly.
struct CSftpPacket {
    // Outgoing: body starts with four placeholder bytes for the length, then the type byte; the
    // sender fills the length in.
    static constexpr uint32_t HeaderBytes = 5;

    uint32_t length = 0;  // bytes after the length field, the type byte included
    uint8_t type = 0;
    CByteBuffer body;     // outgoing: placeholder, type, fields; incoming: the bytes after the type
    uint32_t remaining = 0;  // incoming: bytes still missing; 0 when complete

    bool Complete() const { return remaining == 0; }
};

}  // namespace velunor
