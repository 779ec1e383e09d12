#include "platform/CMessageQueue.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "platform/Clock.h"

namespace velunor::platform {
namespace {

constexpr uint32_t kMinimumPeriod = 10;
constexpr uint32_t kMaximumPeriod = 0x7FFFFFFF;
// Without a wake-up descriptor a wait cannot be woken by a post, so it sleeps in slices this long.
constexpr int kFallbackSliceMs = 10;

thread_local std::shared_ptr<CMessageQueue> currentQueue;

int64_t RealMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

std::shared_ptr<CMessageQueue> CMessageQueue::ForCurrentThread() {
    if (!currentQueue) currentQueue = std::make_shared<CMessageQueue>();
    return currentQueue;
}

CMessageQueue::CMessageQueue() : owner(std::this_thread::get_id()) {
    wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

CMessageQueue::~CMessageQueue() {
    if (wakeFd >= 0) ::close(wakeFd);
}

bool CMessageQueue::InRange(uint32_t number, uint32_t first, uint32_t last) {
    if (first == 0 && last == 0) return true;
    return number >= first && number <= last;
}

void CMessageQueue::Post(const MSG& message) {
    {
        std::lock_guard<std::mutex> hold(mutex);
        Queued entry{message, nextSequence++};
        entry.message.time = GetTickCount();
        posted.push_back(entry);
    }
    if (wakeFd >= 0) {
        uint64_t one = 1;
        // A full counter still reads as readable, so a failed write loses no wake-up.
        ssize_t written = ::write(wakeFd, &one, sizeof one);
        (void)written;
    }
}

CMessageQueue::Limit CMessageQueue::CurrentLimit() {
    std::lock_guard<std::mutex> hold(mutex);
    return Limit{nextSequence - 1, MonotonicMs()};
}

bool CMessageQueue::Take(MSG* out, HWND window, uint32_t first, uint32_t last, bool remove,
                         const Limit& limit) {
    std::lock_guard<std::mutex> hold(mutex);
    for (auto it = posted.begin(); it != posted.end(); ++it) {
        if (it->sequence > limit.lastSequence) break;
        if (window && it->message.hwnd != window) continue;
        if (!InRange(it->message.message, first, last)) continue;
        if (out) *out = it->message;
        if (remove) posted.erase(it);
        return true;
    }
    if (!InRange(WM_TIMER, first, last)) return false;
    uint64_t now = MonotonicMs();
    uint64_t dueBy = std::min(now, limit.dueBy);
    Timer* chosen = nullptr;
    for (Timer& timer : timers) {
        if (window && timer.window != window) continue;
        if (timer.due > dueBy) continue;
        if (!chosen || timer.due < chosen->due) chosen = &timer;
    }
    if (!chosen) return false;
    if (out) *out = MSG{chosen->window, WM_TIMER, chosen->id, 0, uint32_t(now)};
    // Like the Windows timer, the next period counts from when this tick was taken, so a late
    // pump gets one message, not a burst of missed ones.
    if (remove) chosen->due = now + chosen->periodMs;
    return true;
}

void CMessageQueue::SetTimer(HWND window, uintptr_t id, uint32_t periodMs) {
    periodMs = std::clamp(periodMs, kMinimumPeriod, kMaximumPeriod);
    {
        std::lock_guard<std::mutex> hold(mutex);
        uint64_t due = MonotonicMs() + periodMs;
        auto it = std::find_if(timers.begin(), timers.end(), [&](const Timer& t) {
            return t.window == window && t.id == id;
        });
        if (it != timers.end()) {
            it->periodMs = periodMs;
            it->due = due;
        } else {
            timers.push_back(Timer{window, id, periodMs, due});
        }
    }
    // A waiter computed its sleep from the old timers; make it look again.
    if (wakeFd >= 0 && !OwnedByCurrentThread()) {
        uint64_t one = 1;
        ssize_t written = ::write(wakeFd, &one, sizeof one);
        (void)written;
    }
}

bool CMessageQueue::KillTimer(HWND window, uintptr_t id) {
    std::lock_guard<std::mutex> hold(mutex);
    auto it = std::find_if(timers.begin(), timers.end(),
                           [&](const Timer& t) { return t.window == window && t.id == id; });
    if (it == timers.end()) return false;
    timers.erase(it);
    return true;
}

void CMessageQueue::ForgetWindow(HWND window) {
    std::lock_guard<std::mutex> hold(mutex);
    std::erase_if(posted, [&](const Queued& q) { return q.message.hwnd == window; });
    std::erase_if(timers, [&](const Timer& t) { return t.window == window; });
}

bool CMessageQueue::ReadyLocked(uint64_t now) const {
    if (!posted.empty()) return true;
    for (const Timer& timer : timers)
        if (timer.due <= now) return true;
    return false;
}

void CMessageQueue::DrainWake() {
    if (wakeFd < 0) return;
    uint64_t count = 0;
    ssize_t got = ::read(wakeFd, &count, sizeof count);
    (void)got;
}

void CMessageQueue::WatchDescriptor(int fd, short events, DescriptorCallback callback) {
    std::lock_guard<std::mutex> hold(mutex);
    auto shared = std::make_shared<DescriptorCallback>(std::move(callback));
    for (Watch& watch : watches) {
        if (watch.fd == fd) {
            watch.events = events;
            watch.callback = shared;
            return;
        }
    }
    watches.push_back(Watch{fd, events, shared});
}

void CMessageQueue::UnwatchDescriptor(int fd) {
    std::lock_guard<std::mutex> hold(mutex);
    std::erase_if(watches, [&](const Watch& w) { return w.fd == fd; });
}

bool CMessageQueue::Wait(int64_t timeoutMs) {
    const bool unlimited = timeoutMs < 0;
    const int64_t deadline = unlimited ? 0 : RealMs() + timeoutMs;
    for (;;) {
        // Cleared before looking, so a post racing with the look leaves the descriptor readable
        // and the poll below returns at once.
        DrainWake();
        int64_t sleepMs = -1;
        std::vector<Watch> watched;
        {
            std::lock_guard<std::mutex> hold(mutex);
            uint64_t now = MonotonicMs();
            if (ReadyLocked(now)) return true;
            for (const Timer& timer : timers) {
                int64_t untilDue = int64_t(std::min<uint64_t>(timer.due - now, INT32_MAX));
                if (sleepMs < 0 || untilDue < sleepMs) sleepMs = untilDue;
            }
            watched = watches;
        }
        if (!unlimited) {
            int64_t left = deadline - RealMs();
            if (left <= 0) return false;
            if (sleepMs < 0 || left < sleepMs) sleepMs = left;
        }
        if (wakeFd < 0 && (sleepMs < 0 || sleepMs > kFallbackSliceMs)) sleepMs = kFallbackSliceMs;
        // A timer due within the millisecond still sleeps one, so the loop never spins.
        if (sleepMs == 0) sleepMs = 1;

        std::vector<pollfd> fds;
        fds.reserve(watched.size() + 1);
        if (wakeFd >= 0) fds.push_back(pollfd{wakeFd, POLLIN, 0});
        for (const Watch& watch : watched) {
            short events = 0;
            if (watch.events & DescriptorReadable) events |= POLLIN;
            if (watch.events & DescriptorWritable) events |= POLLOUT;
            fds.push_back(pollfd{watch.fd, events, 0});
        }
        int n = ::poll(fds.data(), nfds_t(fds.size()), int(std::min<int64_t>(sleepMs, INT32_MAX)));
        if (n < 0 && errno != EINTR) {
            // Only a fault in the descriptor list gets here; sleeping keeps the wait bounded.
            Sleep(uint32_t(std::min<int64_t>(sleepMs, kFallbackSliceMs)));
            continue;
        }
        if (n <= 0) continue;
        size_t firstWatch = wakeFd >= 0 ? 1 : 0;
        for (size_t i = firstWatch; i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            short ready = 0;
            if (fds[i].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) ready |= DescriptorReadable;
            if (fds[i].revents & (POLLOUT | POLLERR | POLLHUP)) ready |= DescriptorWritable;
            (*watched[i - firstWatch].callback)(ready);
        }
    }
}

}  // namespace velunor::platform
