#pragma once

// The engine's message handlers over untrusted payloads. The first input byte chooses the stage
// the session is brought to, the second the message type (from the types a handler exists for,
// or any byte), the rest is the payload of that one clear-text message. Whatever the payload,
// the attempt either goes on or ends with one error report: no crash, no read outside the
// message, no hang.

#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz/SessionHarness.h"

namespace velunor::fuzz {

inline constexpr uint8_t kHandledTypes[] = {1, 2, 4, 6, 20, 21, 31, 51, 52, 53, 60, 91, 92, 93, 94, 97, 98, 99, 100};
inline constexpr size_t kHandledTypeCount = sizeof kHandledTypes;

// Returns the number of error reports (0 or 1); a second report would be a fault in itself.
inline int SessionFuzzOne(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    auto stage = SessionHarness::Stage(data[0] % SessionHarness::Stages);
    size_t pick = data[1] % (kHandledTypeCount + 1);
    data += 2;
    size -= 2;
    uint8_t type = 0;
    if (pick < kHandledTypeCount) {
        type = kHandledTypes[pick];
    } else {
        if (size == 0) return 0;
        type = data[0];
        ++data;
        --size;
    }
    SessionHarness h;
    if (!h.Enter(stage)) return 0;
    h.Deliver(SessionHarness::Packet(type, std::span<const uint8_t>(data, size)));
    int reports = 0;
    for (int32_t code : h.record.connected)
        if (code != 0) ++reports;
    if (reports > 1 || h.broken) __builtin_trap();
    return reports;
}

}  // namespace velunor::fuzz
