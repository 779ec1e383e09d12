#pragma once

#include <cstdint>
#include <deque>

#include "net/CWinSocketWindow.h"
#include "net/SocketMessages.h"
#include "platform/Messages.h"
#include "platform/Sockets.h"

namespace velunor {

// A TCP socket with the event model of the protocol code: readiness, timers and the system's own
// notifications arrive as messages to a hidden window and become calls of the virtual handlers.
// While deferNotifications is non-zero (the host is inside a callback that may re-enter), socket
// and timer messages are held in deferredMessages and replayed in arrival order afterwards.
//
// A handler may end with the owner deleting this object; the window procedure touches nothing
// after a handler returns.
class CWinSocket {
public:
    CWinSocket();
    virtual ~CWinSocket();
    CWinSocket(const CWinSocket&) = delete;
    CWinSocket& operator=(const CWinSocket&) = delete;

    virtual void OnReceive(int32_t error);
    virtual void OnSend(int32_t error);
    virtual void OnAccept(int32_t error);
    virtual void OnConnect(int32_t error);
    virtual void OnClose(int32_t error);
    virtual void OnTimer(int32_t timerId);

    // The FIONBIO switch; nonBlocking follows only a switch that worked.
    bool SetNonBlocking(int32_t on);
    // Starts or restarts a timer of ownWindow; seconds as the Timeout property gives them.
    int32_t SetTimer(int32_t seconds, int32_t timerId);
    void KillTimer(int32_t timerId);
    // A status line for the host's notify window; nothing without one.
    void PostStatus(char kind, const char* text, int32_t wParam);
    // Queues a socket event for this socket's own window, as the system would report it.
    bool PostSocketEvent(SocketEvent event, int32_t error = 0);

    // The callback guard. Guards nest: notifications flow again only when the outermost one
    // ends, and then the held ones are replayed.
    void HoldNotifications();
    void ReleaseNotifications();

    // The connect sequence's socket steps: a fresh TCP socket (false, with the last socket error
    // set, when none can be made), the send and receive time-outs in milliseconds (0 or the
    // failing option's code), and the close that leaves the handle at -1.
    bool CreateSocket();
    int32_t SetTimeouts(int32_t sendMs, int32_t receiveMs);
    void CloseSocket();

    platform::HWND OwnWindow() const { return ownWindow.Handle(); }

    // Runs one message of ownWindow; called by its procedure.
    platform::LRESULT WindowMessage(const platform::MSG& message);

    platform::HWND notifyWindow = nullptr;
    CWinSocketWindow ownWindow;
    // 0 until a socket is made, -1 once closed.
    platform::SOCKET socketHandle = 0;
    platform::SocketLayerInfo wsaData;
    // A nesting count rather than a flag, so a guard inside a guard cannot open the gate early.
    int32_t deferNotifications = 0;
    std::deque<platform::MSG> deferredMessages;
    int32_t nonBlocking = 0;
    // Kept for the window class of the Windows form; nothing is registered here.
    bool classRegistered = false;

private:
    void Defer(const platform::MSG& message);
    void ReplayDeferred();
    void DeliverSocketEvent(platform::LPARAM lParam);

    bool socketsStarted = false;
};

}  // namespace velunor
