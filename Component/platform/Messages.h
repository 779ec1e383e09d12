#pragma once

// Windows-shaped messages, windows and timers, each thread with a queue of its own.
//
// Relied on: windows are objects of this layer with a procedure and one user-data slot, owned by
// the thread that created them; PostMessage from any thread into the owner's queue, first in
// first out; PeekMessage on the calling thread's queue by window and message range, looking or
// removing; DispatchMessage calls the procedure; a timer of a window turns into one WM_TIMER
// (275, wParam = timer id) when due, restarting its period when that message is removed;
// WaitMessage sleeps until a message is posted or a timer falls due, never spinning.
//
// A handle is an identifier, never a pointer to memory: a handle kept after DestroyWindow is
// simply no window any more.

#include <cstdint>

namespace velunor::platform {

struct WindowHandleTag;
using HWND = WindowHandleTag*;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using WindowProcedure = LRESULT (*)(HWND window, uint32_t message, WPARAM wParam, LPARAM lParam);

inline constexpr uint32_t WM_TIMER = 275;
inline constexpr uint32_t WM_USER = 1024;

// PeekMessage's remove flags.
inline constexpr uint32_t PM_NOREMOVE = 0;
inline constexpr uint32_t PM_REMOVE = 1;

// The message record: what was posted, plus the tick it was queued at.
struct MSG {
    HWND hwnd = nullptr;
    uint32_t message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    uint32_t time = 0;
};

// A window owned by the calling thread; null only when out of memory.
HWND CreateWindow(WindowProcedure procedure);
// Drops the window with its timers and the messages still queued for it.
bool DestroyWindow(HWND window);
bool IsWindow(HWND window);
bool SetWindowUserData(HWND window, void* data);
void* GetWindowUserData(HWND window);
// False for another thread's window and for no window.
bool WindowBelongsToCurrentThread(HWND window);
LRESULT DefWindowProc(HWND window, uint32_t message, WPARAM wParam, LPARAM lParam);

// False when the window does not exist (the message is lost).
bool PostMessage(HWND window, uint32_t message, WPARAM wParam, LPARAM lParam);
// The first waiting message of the calling thread for window (null: any of its windows) with a
// number in [first, last] (both 0: any), posted messages before due timers.
bool PeekMessage(MSG* out, HWND window, uint32_t first, uint32_t last, uint32_t removeFlags);
// Nothing to translate without a keyboard; kept so the pump reads like its Windows form.
inline void TranslateMessage(const MSG*) {}
// The procedure's result, or 0 when the window is gone.
LRESULT DispatchMessage(const MSG* message);

// Starts or restarts timer id of window with a period in milliseconds (raised to at least 10,
// capped at 0x7FFFFFFF). Returns id, or 0 when the window does not exist or id is 0.
uintptr_t SetTimer(HWND window, uintptr_t id, uint32_t periodMs);
bool KillTimer(HWND window, uintptr_t id);

// Waits at most timeoutMs (negative: without limit) until the calling thread has a message or a
// due timer; true when it has one.
bool WaitMessage(int64_t timeoutMs);
// Dispatches the calling thread's posted messages and due timers, waiting at most timeoutMs for
// the first; returns how many were dispatched. The exported pump entry point runs this.
int32_t PumpThreadMessages(int32_t timeoutMs);

}  // namespace velunor::platform
