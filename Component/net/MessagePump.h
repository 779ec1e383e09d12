#pragma once

#include <cstdint>
#include <mutex>

#include "net/CPumpTarget.h"
#include "platform/Sockets.h"

namespace velunor {

// How long one pump step looks at the socket, and how long it sleeps for a message when it must
// not touch the socket and may be woken by another thread's input only.
inline constexpr int64_t kPumpSocketPollMicros = 100;
inline constexpr int64_t kPumpMessageWaitMs = 100;

// The connection probe: 1 alive, 0 closed by the peer or unusable. It peeks without consuming and
// leaves a live socket in blocking mode whatever mode it found. Runs under lock.
int32_t PollReceive(platform::SOCKET socket, std::mutex& lock);
// The same for a component: 0 without a connection.
int32_t PollReceive(CPumpTarget& target);

// One step of a blocking wait: with Blocking set, probe the socket, read what has arrived into the
// connection (or disconnect a dead one), then deliver the thread's socket messages and at most one
// other message; with Blocking clear, leave the socket alone and sleep until a message comes.
void PumpOnce(CPumpTarget& target);

// The delivery half of a step: every waiting socket message (1355 to 1357) of the thread's
// windows, then one timer message or, failing that, one other message.
void DispatchPendingMessages();

}  // namespace velunor
