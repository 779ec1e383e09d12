#pragma once

#include "platform/Messages.h"

namespace velunor {

class CWinSocket;

// The hidden window of one socket: its procedure turns socket-event, replay and timer messages
// into calls of the owner's handlers. The window's user-data slot is the only link to the owner,
// so a message that arrives after the owner let go goes to default processing.
class CWinSocketWindow {
public:
    explicit CWinSocketWindow(CWinSocket* owner);
    ~CWinSocketWindow();
    CWinSocketWindow(const CWinSocketWindow&) = delete;
    CWinSocketWindow& operator=(const CWinSocketWindow&) = delete;

    platform::HWND Handle() const { return handle; }
    // Detaches the owner, then destroys the window with its timers and queued messages.
    void Destroy();

    static platform::LRESULT Procedure(platform::HWND window, uint32_t message,
                                       platform::WPARAM wParam, platform::LPARAM lParam);

private:
    platform::HWND handle = nullptr;
};

}  // namespace velunor
