#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace velunor::test {

// A TCP port on 127.0.0.1 that was free a moment ago (bound to 0 and released); 0 on failure.
// Another process can take it before the server binds, so fixtures retry a failed start.
uint16_t PickFreePort();

// Polls until 127.0.0.1:port accepts a connection or the timeout passes. `stillAlive` is asked
// between attempts so a server that died at start fails at once instead of at the deadline.
bool WaitForTcpPort(uint16_t port, std::chrono::milliseconds timeout,
                    const std::function<bool()>& stillAlive = {});

// Connects to 127.0.0.1:port and reads the first line the peer sends (without CR LF), up to the
// timeout; empty on failure. Enough to see an SSH identification line.
std::string ReadFirstLine(uint16_t port, std::chrono::milliseconds timeout);

}  // namespace velunor::test
