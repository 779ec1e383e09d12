#pragma once

// Time and identity as the component sees them: a millisecond tick that wraps like the Windows
// tick count, the wall clock in seconds, the process id and a sleep. Everything that reads the
// time goes through here, so tests can pin each value and replay a session byte for byte.

#include <cstdint>

namespace velunor::platform {

// Milliseconds from an arbitrary start, never going back; the tick count is its low 32 bits.
uint64_t MonotonicMs();
// Wraps at 2^32 (about 49.7 days): compare ticks by unsigned difference, never by order.
uint32_t GetTickCount();
// Seconds since 1970-01-01 UTC.
int64_t CurrentTimeSeconds();
uint32_t GetProcessId();
void Sleep(uint32_t ms);

// Test pins. A pinned clock stands still until advanced; queue waits still end by real time, so a
// test that moves the clock pumps again instead of waiting for it.
void PinMonotonicMs(uint64_t ms);
void AdvancePinnedMs(uint64_t ms);
void UnpinMonotonicMs();
void PinCurrentTime(int64_t seconds);
void UnpinCurrentTime();
void PinProcessId(uint32_t pid);
void UnpinProcessId();
// Null restores the real sleep.
using SleepHook = void (*)(uint32_t ms);
void SetSleepHook(SleepHook hook);

}  // namespace velunor::platform
