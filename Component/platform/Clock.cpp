#include "platform/Clock.h"

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace velunor::platform {
namespace {

std::atomic<bool> monotonicPinned{false};
std::atomic<uint64_t> pinnedMonotonic{0};
std::atomic<bool> timePinned{false};
std::atomic<int64_t> pinnedTime{0};
std::atomic<bool> pidPinned{false};
std::atomic<uint32_t> pinnedPid{0};
std::atomic<SleepHook> sleepHook{nullptr};

}  // namespace

uint64_t MonotonicMs() {
    if (monotonicPinned.load()) return pinnedMonotonic.load();
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint64_t(now.tv_sec) * 1000u + uint64_t(now.tv_nsec) / 1000000u;
}

uint32_t GetTickCount() { return uint32_t(MonotonicMs()); }

int64_t CurrentTimeSeconds() {
    if (timePinned.load()) return pinnedTime.load();
    return int64_t(::time(nullptr));
}

uint32_t GetProcessId() {
    if (pidPinned.load()) return pinnedPid.load();
    return uint32_t(::getpid());
}

void Sleep(uint32_t ms) {
    if (SleepHook hook = sleepHook.load()) {
        hook(ms);
        return;
    }
    timespec left{time_t(ms / 1000u), long(ms % 1000u) * 1000000L};
    // A signal cuts nanosleep short; the rest is slept so the caller's pacing holds.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void PinMonotonicMs(uint64_t ms) {
    pinnedMonotonic.store(ms);
    monotonicPinned.store(true);
}
void AdvancePinnedMs(uint64_t ms) { pinnedMonotonic.fetch_add(ms); }
void UnpinMonotonicMs() { monotonicPinned.store(false); }
void PinCurrentTime(int64_t seconds) {
    pinnedTime.store(seconds);
    timePinned.store(true);
}
void UnpinCurrentTime() { timePinned.store(false); }
void PinProcessId(uint32_t pid) {
    pinnedPid.store(pid);
    pidPinned.store(true);
}
void UnpinProcessId() { pidPinned.store(false); }
void SetSleepHook(SleepHook hook) { sleepHook.store(hook); }

}  // namespace velunor::platform
