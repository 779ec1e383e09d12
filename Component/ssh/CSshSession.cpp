#include "ssh/CSshSession.h"

#include <algorithm>
#include <cstring>

#include "client/CSftpClient.h"
#include "platform/Sockets.h"

namespace velunor {

CSshSession::CSshSession(CSftpClient* owner, int32_t bufferSize)
    : client(owner), localWindow(bufferSize > INT32_MAX / 2 ? INT32_MAX : 2 * bufferSize),
      localMaxPacket(bufferSize) {
    keyboardAnswer.PutByte(0);
}

CSshSession::~CSshSession() { KillTimer(1); }

void CSshSession::OnReceive(int32_t) {}
void CSshSession::OnSend(int32_t) {}
void CSshSession::OnAccept(int32_t error) {
    if (client) client->OnSessionAccept(error);
}
void CSshSession::OnTimer(int32_t timerId) {
    if (client) client->OnSessionTimer(timerId);
}

void CSshSession::OnConnect(int32_t error) {
    if (connected) return;
    if (error != 0) {
        ReportConnectFinished(error);
        return;
    }
    // The client speaks only after the server's identification line, so nothing is sent here.
    dataSeen = false;
    connected = true;
}

void CSshSession::OnClose(int32_t error) { ReportClosed(error); }

int32_t CSshSession::Receive(char* buffer, int32_t length, int32_t flags) {
    if (sessionState < ChannelSubsystem) return platform::Recv(socketHandle, buffer, length, flags);
    if (bannerText.Length() == 0 || length <= 0) return -1;
    uint32_t n = std::min(uint32_t(length), bannerText.Length());
    bannerText.Read(buffer, n);
    return int32_t(n);
}

int32_t CSshSession::SendData(const uint8_t* data, int32_t length, int32_t flags) {
    if (sessionState < ChannelSubsystem) return platform::Send(socketHandle, data, length, flags);
    if (length <= 0) return 0;
    channelOut.Append(data, uint32_t(length));
    return length;
}

void CSshSession::FlushSftpQueue() {}

void CSshSession::ReportConnectFinished(int32_t code) {
    if (client) client->OnConnectFinished(code);
}
void CSshSession::ReportClosed(int32_t error) {
    if (client) client->OnConnectionClosed(error);
}

}  // namespace velunor
