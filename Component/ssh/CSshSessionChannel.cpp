// The session channel: opening it, the "sftp" subsystem, windows, SFTP packet reassembly and the
// output path from the component's SFTP queue to the socket.
#include <algorithm>
#include <cstring>

#include "client/CSftpClient.h"
#include "client/ErrorTable.h"
#include "platform/Sockets.h"
#include "ssh/CSshSession.h"

namespace velunor {

namespace {

constexpr uint32_t kSftpVersion = 3;
constexpr uint8_t kSftpInit = 1;
constexpr uint32_t kDisconnectByApplication = 11;
// The largest SFTP packet accepted: a reply must fit one buffer, which caps at MaxCapacity.
constexpr uint32_t kMaxSftpLength = CByteBuffer::MaxCapacity - 65536;

int32_t ClampWindow(uint64_t v) { return v > uint64_t(INT32_MAX) ? INT32_MAX : int32_t(v); }

}  // namespace

void CSshSession::OnUserAuthSuccess() {
    transport->BeginPacket(uint8_t(SshMsg::ChannelOpen));
    transport->PutCString("session");
    transport->PutUint32(0);
    transport->PutUint32(uint32_t(localWindow));
    transport->PutUint32(uint32_t(localMaxPacket));
    SendPacket();
}

void CSshSession::SendSubsystemRequest() {
    transport->BeginPacket(uint8_t(SshMsg::ChannelRequest));
    transport->PutUint32(remoteChannel);
    transport->PutCString("subsystem");
    transport->PutBool(true);
    transport->PutCString("sftp");
    if (!SendPacket()) return;
    sessionState = ChannelSubsystem;
}

void CSshSession::OnChannelOpenConfirmation() {
    CWireReader in(transport->Payload());
    in.Uint32();  // our own channel number
    uint32_t channel = in.Uint32();
    uint32_t window = in.Uint32();
    uint32_t maxPacket = in.Uint32();
    if (!in.Ok()) {
        Raise(Err::ProtocolError);
        return;
    }
    remoteChannel = channel;
    remoteWindow = ClampWindow(window);
    remoteMaxPacket = ClampWindow(maxPacket);
    SendSubsystemRequest();
}

void CSshSession::OnChannelSuccess() {
    if (sessionState == ChannelNone) {
        SendSubsystemRequest();
    } else if (sessionState == ChannelSubsystem) {
        auto init = NewSftpPacket(kSftpInit);
        init->body.PutUint32(kSftpVersion);
        SendSftpPacket(std::move(init));
    }
}

void CSshSession::OnChannelWindowAdjust() {
    CWireReader in(transport->Payload());
    in.Uint32();
    uint32_t bytes = in.Uint32();
    if (!in.Ok()) return;
    remoteWindow = ClampWindow(uint64_t(std::max(remoteWindow, 0)) + bytes);
    if (channelOut.Length() != 0) FlushChannel();
}

void CSshSession::OnChannelRequest() {
    CWireReader in(transport->Payload());
    in.Uint32();
    in.String();
    bool wantReply = in.Bool();
    if (!in.Ok() || !wantReply) return;
    transport->BeginPacket(uint8_t(SshMsg::ChannelFailure));
    transport->PutUint32(remoteChannel);
    SendPacket();
}

void CSshSession::OnChannelClose() {
    sessionState = ChannelClosed;
    transport->BeginPacket(uint8_t(SshMsg::ChannelClose));
    transport->PutUint32(remoteChannel);
    if (!SendPacket()) return;
    transport->BeginPacket(uint8_t(SshMsg::Disconnect));
    transport->PutUint32(kDisconnectByApplication);
    transport->PutCString("Session closed ok");
    transport->PutCString("en");
    if (!SendPacket()) return;
    PostSocketEvent(SocketEvent::Close);
}

void CSshSession::OnChannelData() {
    CWireReader in(transport->Payload());
    in.Uint32();
    auto data = in.String();
    if (!in.Ok()) {
        Raise(Err::ProtocolError);
        return;
    }
    localWindow -= int32_t(std::min<size_t>(data.size(), INT32_MAX));
    if (localWindow < localMaxPacket) {
        // Never below the maximum packet the channel was opened with: a BufferSize lowered since
        // then would make the top-up smaller than the window left, a negative adjustment.
        int32_t size = std::max(client->EffectiveBufferSize(), localMaxPacket);
        int32_t full = size > INT32_MAX / 2 ? INT32_MAX : 2 * size;
        transport->BeginPacket(uint8_t(SshMsg::ChannelWindowAdjust));
        transport->PutUint32(remoteChannel);
        transport->PutUint32(uint32_t(int64_t(full) - localWindow));
        if (!SendPacket()) return;
        localWindow = full;
    }
    channelIn.Append(data.data(), uint32_t(data.size()));
    while (channelIn.Length() >= CSftpPacket::HeaderBytes ||
           (channelIn.Length() > 0 && inPacket && !inPacket->Complete())) {
        if (!ReassembleSftp()) return;
        if (sessionState == ChannelSubsystem) {
            // The first SFTP bytes are the server's VERSION: the subsystem is ready.
            ReadyTransition();
            return;
        }
        if (inPacket && inPacket->Complete()) {
            client->OnSftpPacket(*inPacket);
            if (!Alive()) return;
        }
    }
}

bool CSshSession::ReassembleSftp() {
    if (inPacket && inPacket->Complete()) inPacket.reset();
    if (inPacket) {
        uint32_t n = std::min(inPacket->remaining, channelIn.Length());
        inPacket->body.Append(channelIn.Data(), n);
        inPacket->remaining -= n;
        channelIn.Skip(n);
        return true;
    }
    const uint8_t* p = channelIn.Data();
    uint32_t length = (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
    // A packet always holds its type byte, and must fit the buffer that will hold it.
    if (length == 0 || length > kMaxSftpLength) {
        Raise(Err::ProtocolError);
        return false;
    }
    inPacket = std::make_unique<CSftpPacket>();
    inPacket->length = length;
    inPacket->type = p[4];
    inPacket->remaining = length - 1;
    uint32_t n = std::min(inPacket->remaining + CSftpPacket::HeaderBytes, channelIn.Length());
    inPacket->body.Append(p + CSftpPacket::HeaderBytes, n - CSftpPacket::HeaderBytes);
    inPacket->remaining -= n - CSftpPacket::HeaderBytes;
    channelIn.Skip(n);
    return true;
}

void CSshSession::ReadyTransition() {
    sessionState = ChannelReady;
    if (client) client->sftpSink = this;
    ReportConnectFinished(0);
    // The host may have disconnected or deleted the component inside its connection callback.
    if (!Alive()) return;
    client->OnSendReady(0);
    if (!Alive()) return;
    writable = true;
}

void CSshSession::SendSftpPacket(std::unique_ptr<CSftpPacket> packet) {
    uint32_t length = packet->body.Length() - 4;
    packet->length = length;
    uint8_t* p = packet->body.Data();
    p[0] = uint8_t(length >> 24);
    p[1] = uint8_t(length >> 16);
    p[2] = uint8_t(length >> 8);
    p[3] = uint8_t(length);
    sftpOut.Append(packet->body.Data(), packet->body.Length());
    FlushSftpQueue();
}

void CSshSession::FlushSftpQueue() {
    while (writable && sftpOut.Length() != 0 && Alive()) {
        int32_t n = SendData(sftpOut.Data(), int32_t(sftpOut.Length()), 0);
        if (n < 0) {
            RestartInactivityTimer();
            writable = false;
            return;
        }
        sftpOut.Skip(uint32_t(n));
    }
    if (Alive()) DrainOutput();
    RestartInactivityTimer();
}

void CSshSession::DrainOutput() {
    // Bytes the socket did not take before go first, then what waited for the window.
    while (writable && transport && transport->OutputPending() != 0) {
        if (transport->FlushOutput(socketSink) <= 0) writable = false;
    }
    while (writable && channelOut.Length() != 0 && remoteWindow > 0) {
        if (FlushChannel() == 0) break;
    }
}

bool CSshSession::OutputWaiting() const {
    return sftpOut.Length() != 0 || (transport && transport->OutputPending() != 0) ||
           (channelOut.Length() != 0 && remoteWindow > 0);
}

int32_t CSshSession::FlushChannel() {
    if (sessionState < ChannelSubsystem || !transport) return 0;
    int32_t total = 0;
    for (;;) {
        int64_t n = std::min<int64_t>({int64_t(channelOut.Length()), remoteMaxPacket, remoteWindow});
        // An empty CHANNEL_DATA would carry nothing: with no window left the bytes wait.
        if (n <= 0) return total;
        transport->BeginPacket(uint8_t(SshMsg::ChannelData));
        transport->PutUint32(remoteChannel);
        transport->PutString(channelOut.Data(), uint32_t(n));
        channelOut.Skip(uint32_t(n));
        remoteWindow -= int32_t(n);
        if (!SendPacket()) return total;
        total += int32_t(n);
        if (transport->OutputPending() != 0) {
            writable = false;
            return 0;
        }
        if (channelOut.Length() == 0 || !writable || remoteWindow == 0) return total;
    }
}

}  // namespace velunor
