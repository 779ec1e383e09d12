#include "net/CWinSocket.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace velunor {
namespace {

constexpr uint32_t kStatusBlockSize = 516;
constexpr uint64_t kLongestPeriodMs = 0x7FFFFFFF;

}  // namespace

CWinSocket::CWinSocket() : ownWindow(this) {
    // Nothing can fail in the start-up of BSD sockets; the result is kept for the matching
    // clean-up only.
    socketsStarted = platform::SocketStartup(&wsaData) == 0;
}

CWinSocket::~CWinSocket() {
    ownWindow.Destroy();
    CloseSocket();
    if (socketsStarted) platform::SocketCleanup();
    // Held notifications die with the socket: their handlers belong to an object that is going.
    deferredMessages.clear();
}

void CWinSocket::OnReceive(int32_t) {}
void CWinSocket::OnSend(int32_t) {}
void CWinSocket::OnAccept(int32_t) {}
void CWinSocket::OnConnect(int32_t) {}
void CWinSocket::OnClose(int32_t) {}
void CWinSocket::OnTimer(int32_t) {}

bool CWinSocket::SetNonBlocking(int32_t on) {
    if (platform::SetSocketNonBlocking(socketHandle, on != 0) != 0) return false;
    nonBlocking = on;
    return true;
}

int32_t CWinSocket::SetTimer(int32_t seconds, int32_t timerId) {
    // The period is an unsigned count of milliseconds, as the system timer takes it; a negative
    // number of seconds therefore means "as long as possible", not "at once".
    uint64_t periodMs = std::min<uint64_t>(uint64_t(uint32_t(seconds)) * 1000u, kLongestPeriodMs);
    return int32_t(platform::SetTimer(OwnWindow(), uint32_t(timerId), uint32_t(periodMs)));
}

void CWinSocket::KillTimer(int32_t timerId) { platform::KillTimer(OwnWindow(), uint32_t(timerId)); }

void CWinSocket::PostStatus(char kind, const char* text, int32_t wParam) {
    if (!notifyWindow) return;
    // The receiver frees the block with SFTP_Delete_Msg, which releases it with free().
    auto* block = static_cast<char*>(std::malloc(kStatusBlockSize));
    if (!block) return;
    if (!platform::IsWindow(notifyWindow)) {
        std::free(block);
        return;
    }
    // A text beyond 514 characters is cut so the block always ends in its NUL.
    std::snprintf(block, kStatusBlockSize, "%c%s", kind, text ? text : "");
    if (!platform::PostMessage(notifyWindow, MessageNumber(SocketMessage::Status),
                               platform::WPARAM(intptr_t(wParam)),
                               reinterpret_cast<platform::LPARAM>(block)))
        std::free(block);
}

bool CWinSocket::PostSocketEvent(SocketEvent event, int32_t error) {
    auto lParam = platform::LPARAM((uint32_t(uint16_t(error)) << 16) | uint16_t(event));
    return platform::PostMessage(OwnWindow(), MessageNumber(SocketMessage::SocketEvent), 0, lParam);
}

void CWinSocket::HoldNotifications() { ++deferNotifications; }

void CWinSocket::ReleaseNotifications() {
    if (deferNotifications > 0) --deferNotifications;
    if (deferNotifications == 0 && !deferredMessages.empty())
        platform::PostMessage(OwnWindow(), MessageNumber(SocketMessage::ReplayDeferred), 0, 0);
}

bool CWinSocket::CreateSocket() {
    CloseSocket();
    platform::SOCKET s = platform::CreateTcpSocket();
    if (s == platform::InvalidSocket) return false;
    socketHandle = s;
    nonBlocking = 0;
    return true;
}

int32_t CWinSocket::SetTimeouts(int32_t sendMs, int32_t receiveMs) {
    if (platform::SetSendTimeout(socketHandle, sendMs) != 0 ||
        platform::SetReceiveTimeout(socketHandle, receiveMs) != 0)
        return platform::GetLastSocketError();
    return 0;
}

void CWinSocket::CloseSocket() {
    if (socketHandle == 0) return;
    if (socketHandle != platform::InvalidSocket) platform::CloseSocket(socketHandle);
    socketHandle = platform::InvalidSocket;
}

platform::LRESULT CWinSocket::WindowMessage(const platform::MSG& message) {
    switch (SocketMessage(message.message)) {
    case SocketMessage::ReplayDeferred:
        if (deferNotifications == 0) ReplayDeferred();
        return 1;
    case SocketMessage::SocketEvent:
        // Once anything is held, later events queue behind it even with the gate open, so the
        // replay cannot be overtaken by an event that came after the ones it carries.
        if (deferNotifications != 0 || !deferredMessages.empty()) {
            Defer(message);
            return 1;
        }
        DeliverSocketEvent(message.lParam);
        return 1;
    case SocketMessage::Timer:
        if (deferNotifications != 0 || !deferredMessages.empty()) {
            Defer(message);
            return 1;
        }
        OnTimer(int32_t(message.wParam));
        return 1;
    case SocketMessage::ReceiveAgain:
        OnReceive(0);
        return 0;
    default:
        return platform::DefWindowProc(message.hwnd, message.message, message.wParam,
                                       message.lParam);
    }
}

void CWinSocket::Defer(const platform::MSG& message) { deferredMessages.push_back(message); }

void CWinSocket::ReplayDeferred() {
    // Socket and timer messages already waiting for this window arrived after the held ones;
    // they join the back of the queue so that reposting keeps the order of arrival.
    platform::MSG waiting;
    const uint32_t first = MessageNumber(SocketMessage::Timer);
    const uint32_t last = MessageNumber(SocketMessage::SocketEvent);
    while (platform::PeekMessage(&waiting, OwnWindow(), first, last, platform::PM_REMOVE))
        deferredMessages.push_back(waiting);
    // Posted, not called: each comes back through the procedure on its own, held again if a
    // callback has started by then, and no handler runs while this loop still needs the object.
    while (!deferredMessages.empty()) {
        const platform::MSG& record = deferredMessages.front();
        platform::PostMessage(record.hwnd, record.message, record.wParam, record.lParam);
        deferredMessages.pop_front();
    }
}

void CWinSocket::DeliverSocketEvent(platform::LPARAM lParam) {
    auto event = SocketEvent(uint16_t(uint32_t(lParam) & 0xFFFFu));
    auto error = int32_t(uint16_t((uint32_t(lParam) >> 16) & 0xFFFFu));
    switch (event) {
    case SocketEvent::Read: OnReceive(error); return;
    case SocketEvent::Write: OnSend(error); return;
    case SocketEvent::Accept: OnAccept(error); return;
    case SocketEvent::Connect: OnConnect(error); return;
    case SocketEvent::Close: OnClose(error); return;
    default: return;
    }
}

}  // namespace velunor
