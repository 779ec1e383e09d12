#include "platform/Messages.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

#include "platform/CMessageQueue.h"
#include "velunor/sftp.h"

namespace velunor::platform {
namespace {

struct WindowRecord {
    WindowProcedure procedure;
    void* userData;
    std::shared_ptr<CMessageQueue> queue;
};

// Windows of every thread, by identifier. Identifiers are never reused, so a stale handle can
// only miss, never reach a newer window.
struct WindowRegistry {
    std::mutex mutex;
    std::unordered_map<uintptr_t, WindowRecord> windows;
    uintptr_t nextId = 1;
};

WindowRegistry& Registry() {
    // Left alive at exit: windows of threads still running may be destroyed after static
    // destructors have begun.
    static WindowRegistry* registry = new WindowRegistry;
    return *registry;
}

uintptr_t IdOf(HWND window) { return reinterpret_cast<uintptr_t>(window); }

std::shared_ptr<CMessageQueue> QueueOf(HWND window) {
    WindowRegistry& registry = Registry();
    std::lock_guard<std::mutex> hold(registry.mutex);
    auto it = registry.windows.find(IdOf(window));
    if (it == registry.windows.end()) return nullptr;
    return it->second.queue;
}

}  // namespace

HWND CreateWindow(WindowProcedure procedure) {
    try {
        auto queue = CMessageQueue::ForCurrentThread();
        WindowRegistry& registry = Registry();
        std::lock_guard<std::mutex> hold(registry.mutex);
        uintptr_t id = registry.nextId++;
        registry.windows.emplace(id, WindowRecord{procedure, nullptr, std::move(queue)});
        return reinterpret_cast<HWND>(id);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

bool DestroyWindow(HWND window) {
    std::shared_ptr<CMessageQueue> queue;
    {
        WindowRegistry& registry = Registry();
        std::lock_guard<std::mutex> hold(registry.mutex);
        auto it = registry.windows.find(IdOf(window));
        if (it == registry.windows.end()) return false;
        queue = std::move(it->second.queue);
        registry.windows.erase(it);
    }
    queue->ForgetWindow(window);
    return true;
}

bool IsWindow(HWND window) { return window && QueueOf(window) != nullptr; }

bool SetWindowUserData(HWND window, void* data) {
    WindowRegistry& registry = Registry();
    std::lock_guard<std::mutex> hold(registry.mutex);
    auto it = registry.windows.find(IdOf(window));
    if (it == registry.windows.end()) return false;
    it->second.userData = data;
    return true;
}

void* GetWindowUserData(HWND window) {
    WindowRegistry& registry = Registry();
    std::lock_guard<std::mutex> hold(registry.mutex);
    auto it = registry.windows.find(IdOf(window));
    return it == registry.windows.end() ? nullptr : it->second.userData;
}

bool WindowBelongsToCurrentThread(HWND window) {
    auto queue = QueueOf(window);
    return queue && queue->OwnedByCurrentThread();
}

LRESULT DefWindowProc(HWND, uint32_t, WPARAM, LPARAM) { return 0; }

bool PostMessage(HWND window, uint32_t message, WPARAM wParam, LPARAM lParam) {
    auto queue = QueueOf(window);
    if (!queue) return false;
    try {
        queue->Post(MSG{window, message, wParam, lParam, 0});
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool PeekMessage(MSG* out, HWND window, uint32_t first, uint32_t last, uint32_t removeFlags) {
    if (window && !WindowBelongsToCurrentThread(window)) return false;
    return CMessageQueue::ForCurrentThread()->Take(out, window, first, last,
                                                   (removeFlags & PM_REMOVE) != 0);
}

LRESULT DispatchMessage(const MSG* message) {
    if (!message) return 0;
    WindowProcedure procedure = nullptr;
    {
        WindowRegistry& registry = Registry();
        std::lock_guard<std::mutex> hold(registry.mutex);
        auto it = registry.windows.find(IdOf(message->hwnd));
        if (it == registry.windows.end()) return 0;
        procedure = it->second.procedure;
    }
    // Called without the registry lock: a procedure may create, destroy or post to windows.
    if (!procedure) return DefWindowProc(message->hwnd, message->message, message->wParam,
                                         message->lParam);
    return procedure(message->hwnd, message->message, message->wParam, message->lParam);
}

uintptr_t SetTimer(HWND window, uintptr_t id, uint32_t periodMs) {
    if (id == 0) return 0;
    auto queue = QueueOf(window);
    if (!queue) return 0;
    try {
        queue->SetTimer(window, id, periodMs);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return id;
}

bool KillTimer(HWND window, uintptr_t id) {
    auto queue = QueueOf(window);
    return queue && queue->KillTimer(window, id);
}

bool WaitMessage(int64_t timeoutMs) {
    try {
        return CMessageQueue::ForCurrentThread()->Wait(timeoutMs);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace velunor::platform

namespace velunor::platform {

int32_t PumpThreadMessages(int32_t timeoutMs) {
    // Only a fault could keep posting for ever; this many in one call means the host gets control
    // back and the rest waits for its next call.
    constexpr int32_t kMaxPerCall = 65536;
    try {
        auto queue = CMessageQueue::ForCurrentThread();
        int32_t dispatched = 0;
        MSG message;
        auto pass = [&] {
            // Timers count as due only up to the start of the pass: a period shorter than the
            // handlers' run time must not keep the pass going.
            CMessageQueue::Limit limit;
            limit.dueBy = queue->CurrentLimit().dueBy;
            while (dispatched < kMaxPerCall && queue->Take(&message, nullptr, 0, 0, true, limit)) {
                DispatchMessage(&message);
                ++dispatched;
            }
        };
        pass();
        if (dispatched == 0 && timeoutMs > 0 && queue->Wait(timeoutMs)) pass();
        return dispatched;
    } catch (...) {
        return 0;
    }
}

}  // namespace velunor::platform
