#include "net/MessagePump.h"

#include <string>

#include "net/CSshConnection.h"
#include "net/SocketMessages.h"
#include "platform/Messages.h"

namespace velunor {
namespace {

using namespace platform;

// Peek failures that mean the socket is gone: these leave the probe with 0.
bool PeekMeansDead(int32_t code) {
    switch (code) {
    case WsaInProgress:
    case WsaConnectionReset:
    case WsaInterrupted:
    case WsaFault:
    case WsaInvalidArgument:
    case WsaBadHandle:
    case WsaMessageSize:
    case WsaNotSupported:
    case WsaNetworkDown:
    case WsaNetworkReset:
    case WsaIsConnected:
    case WsaShutdown:
    case WsaTimedOut:
        return true;
    default:
        return false;
    }
}

}  // namespace

int32_t PollReceive(SOCKET socket, std::mutex& lock) {
    // 0 is "no socket yet" and -1 "closed": neither may reach poll, where 0 is standard input.
    if (socket <= 0) return 0;
    std::lock_guard<std::mutex> hold(lock);
    int32_t readable = WaitSocketReadable(socket, 0);
    if (readable < 0) {
        int32_t code = GetLastSocketError();
        if (code == WsaBadHandle || code == WsaNetworkDown || code == WsaNotInitialised) return 0;
    }
    SetSocketNonBlocking(socket, true);
    char probe = 0;
    int32_t peeked = Recv(socket, &probe, 1, RecvPeek);
    int32_t code = peeked < 0 ? GetLastSocketError() : 0;
    // Back to blocking on every path, so a socket the probe finds alive (or only doubtful) is as
    // the blocking wait expects it; on a dead one this fails harmlessly.
    SetSocketNonBlocking(socket, false);
    if (peeked < 0) {
        if (code != WsaWouldBlock) return PeekMeansDead(code) ? 0 : 1;
        peeked = 0;
    }
    // Readable with nothing to read is the peer's orderly close.
    return (readable > 0 && peeked == 0) ? 0 : 1;
}

int32_t PollReceive(CPumpTarget& target) {
    CSshConnection* connection = target.Connection();
    if (!connection) return 0;
    return PollReceive(connection->socketHandle, target.SocketLock());
}

void DispatchPendingMessages() {
    MSG message;
    const uint32_t firstPrivate = MessageNumber(SocketMessage::SocketEvent);
    const uint32_t lastPrivate = MessageNumber(SocketMessage::ReceiveAgain);
    while (PeekMessage(&message, nullptr, firstPrivate, lastPrivate, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessage(&message);
    }
    // One other message per step, timers first, so the rest of the thread's windows keep working
    // while a method waits.
    const uint32_t timer = MessageNumber(SocketMessage::Timer);
    if (PeekMessage(&message, nullptr, timer, timer, PM_REMOVE) ||
        PeekMessage(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessage(&message);
    }
}

void PumpOnce(CPumpTarget& target) {
    CSshConnection* connection = target.Connection();
    const bool foreignWindow = connection && !WindowBelongsToCurrentThread(connection->OwnWindow());
    if (target.PendingEvents() != 0) return;

    if (target.Blocking()) {
        const int32_t alive = PollReceive(target);
        connection = target.Connection();
        const int32_t state = target.ConnectionState();
        if (state != 1 && alive == 0) {
            target.Disconnect();
        } else if (connection) {
            const bool proxyStarting = state == 1 && alive == 1 && target.ProxyType() != 0 &&
                                       connection->proxyState == 1;
            if (WaitSocketReadable(connection->socketHandle, kPumpSocketPollMicros) > 0) {
                connection->OnReceive(0);
                // The handler may have ended the attempt and destroyed the connection.
                connection = target.Connection();
                if (proxyStarting && connection &&
                    connection->proxyState == CSshConnection::ProxyTunnelReady) {
                    std::string status =
                        connection->proxyHost.ToUtf8() + " proxy connected...\r\n";
                    connection->PostStatus(1, status.c_str(), -1);
                }
            } else if (!proxyStarting && connection->OutputWaiting()) {
                // Nothing to read, so the step sends instead; the flush needs the socket taken as
                // writable for the moment.
                const bool wasWritable = connection->writable;
                connection->writable = true;
                connection->FlushSftpQueue();
                connection = target.Connection();
                if (connection) connection->writable = wasWritable;
            }
        }
    } else if (foreignWindow || !connection) {
        // Another thread's window (or none) gives this thread no message to count on.
        WaitMessage(kPumpMessageWaitMs);
    } else {
        // The connection's timer keeps this wait finite.
        WaitMessage(-1);
    }

    DispatchPendingMessages();
}

}  // namespace velunor
