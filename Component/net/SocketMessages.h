#pragma once

#include <cstdint>

namespace velunor {

// The private messages of a socket's hidden window, with their Windows numbers.
enum class SocketMessage : uint32_t {
    Timer = 275,            // WM_TIMER; wParam is the timer id
    Status = 1232,          // WM_USER + 208, to the host's notify window; lParam owns a 516-byte block
    SocketEvent = 1355,     // WM_USER + 331; lParam: event code low, error code high
    ReplayDeferred = 1356,  // WM_USER + 332
    ReceiveAgain = 1357,    // WM_USER + 333
};

// Event codes in the low 16 bits of a socket-event message.
enum class SocketEvent : uint16_t {
    Read = 1,
    Write = 2,
    OutOfBand = 4,
    Accept = 8,
    Connect = 16,
    Close = 32,
};

constexpr uint32_t MessageNumber(SocketMessage m) { return uint32_t(m); }

}  // namespace velunor
