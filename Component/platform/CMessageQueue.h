#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Messages.h"

namespace velunor::platform {

// Readiness kinds for watched descriptors.
inline constexpr short DescriptorReadable = 0x1;
inline constexpr short DescriptorWritable = 0x4;

// Bounds what a Take may return: posted messages up to a sequence number, timers due by a time,
// so one pass of a pump cannot be held for ever by handlers that keep posting or by a short timer.
struct QueueLimit {
    uint64_t lastSequence = UINT64_MAX;
    uint64_t dueBy = UINT64_MAX;
};

// One thread's messages and timers. Other threads only post into it; everything else runs on the
// owning thread. Its wait sleeps in poll(2) on a wake-up descriptor that every post signals, so
// further descriptors (sockets whose readiness becomes messages, or a host's own event loop
// polling this queue) join the same wait without a second mechanism.
class CMessageQueue {
public:
    using Limit = QueueLimit;
    using DescriptorCallback = std::function<void(short ready)>;

    // The calling thread's queue, made on first use; it lives while the thread or one of its
    // windows does.
    static std::shared_ptr<CMessageQueue> ForCurrentThread();

    CMessageQueue();
    ~CMessageQueue();
    CMessageQueue(const CMessageQueue&) = delete;
    CMessageQueue& operator=(const CMessageQueue&) = delete;

    void Post(const MSG& message);
    bool Take(MSG* out, HWND window, uint32_t first, uint32_t last, bool remove,
              const Limit& limit = QueueLimit());
    Limit CurrentLimit();
    void SetTimer(HWND window, uintptr_t id, uint32_t periodMs);
    bool KillTimer(HWND window, uintptr_t id);
    // Drops a destroyed window's messages and timers.
    void ForgetWindow(HWND window);
    bool Wait(int64_t timeoutMs);
    bool OwnedByCurrentThread() const { return owner == std::this_thread::get_id(); }

    // Readable whenever something was posted since the last wait; -1 if it could not be made
    // (then waits fall back to sleeping in slices).
    int WakeDescriptor() const { return wakeFd; }
    // While a descriptor is watched, every wait also polls it and calls back on the owning thread
    // when it is ready; the callback typically posts a message or stops the watch, since a
    // descriptor that stays ready ends every wait at once.
    void WatchDescriptor(int fd, short events, DescriptorCallback callback);
    void UnwatchDescriptor(int fd);

private:
    struct Timer {
        HWND window;
        uintptr_t id;
        uint32_t periodMs;
        uint64_t due;
    };
    struct Queued {
        MSG message;
        uint64_t sequence;
    };
    struct Watch {
        int fd;
        short events;
        std::shared_ptr<DescriptorCallback> callback;
    };

    static bool InRange(uint32_t number, uint32_t first, uint32_t last);
    bool ReadyLocked(uint64_t now) const;
    void DrainWake();

    const std::thread::id owner;
    int wakeFd = -1;
    std::mutex mutex;
    std::deque<Queued> posted;
    std::vector<Timer> timers;
    std::vector<Watch> watches;
    uint64_t nextSequence = 1;
};

}  // namespace velunor::platform
