#include "ssh/CSshSession.h"

#include <algorithm>
#include <cstring>

#include "client/CSftpClient.h"
#include "client/CallDepth.h"
#include "client/ErrorTable.h"
#include "net/CSshConnection.h"
#include "platform/Sockets.h"

namespace velunor {

namespace {
constexpr int32_t kMaxWindow = INT32_MAX;
}

CSshSession::CSshSession(CSftpClient* owner, int32_t bufferSize)
    : client(owner),
      localWindow(bufferSize > kMaxWindow / 2 ? kMaxWindow : 2 * bufferSize),
      localMaxPacket(bufferSize) {
    keyboardAnswer.PutByte(0);
}

CSshSession::~CSshSession() { KillTimer(InactivityTimer); }

bool CSshSession::Alive() const {
    // A host callback may have disconnected (the state is 0 only once the session is done) or
    // deleted the component (it goes when the outermost call returns): either way the attempt
    // is over and nothing more may be sent or reported.
    return !ended && client != nullptr && static_cast<const CSshSession*>(client->session.get()) == this &&
           client->state != StateDisconnected && !CCallDepth::Doomed(client);
}

void CSshSession::Raise(int32_t code) {
    ended = true;
    ReportConnectFinished(code);
}

void CSshSession::RestartInactivityTimer() {
    KillTimer(InactivityTimer);
    // A time-out of 0 turns the inactivity timer off.
    if (client != nullptr && client->Timeout != 0) SetTimer(client->Timeout, InactivityTimer);
}

int CSshSession::CSocketSink::Send(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return 0;
    int32_t n = bytes.size() > size_t(INT32_MAX) ? INT32_MAX : int32_t(bytes.size());
    return platform::Send(session.socketHandle, bytes.data(), n, 0);
}

bool CSshSession::SendPacket() {
    if (!transport || transport->SendPacket(socketSink)) return true;
    Raise(Err::ProtocolError);
    return false;
}

void CSshSession::OnReceive(int32_t error) {
    if (ended) return;
    if (!connected) {
        OnConnect(error);
        if (ended) return;
    }
    dataSeen = true;
    RestartInactivityTimer();
    if (identified == 0) {
        if (ExchangeVersions() == 0 || ended) return;
    } else {
        uint8_t chunk[ReceiveChunk];
        int32_t n = ReadStream(chunk, int32_t(sizeof(chunk)));
        if (n > 0 && !transport->Feed(chunk, uint32_t(n))) {
            Raise(Err::ProtocolError);
            return;
        }
    }
    MessageLoop();
}

int32_t CSshSession::ReadStream(uint8_t* buffer, int32_t length) {
    return platform::Recv(socketHandle, buffer, length, 0);
}

void CSshSession::MessageLoop() {
    while (!ended && transport) {
        uint8_t type = transport->NextMessage();
        if (type == uint8_t(SshMsg::None)) return;
        Dispatch(SshMsg(type));
        if (!Alive()) return;
    }
}

void CSshSession::Dispatch(SshMsg type) {
    switch (type) {
        case SshMsg::Disconnect:
            // The server has said goodbye; what it sent before that is still handled.
            CloseSocket();
            break;
        case SshMsg::ServiceAccept: OnServiceAccept(); break;
        case SshMsg::KexInit: OnKexInit(); break;
        case SshMsg::NewKeys: OnNewKeys(); break;
        case SshMsg::KexDhReply: OnKexDhReply(); break;
        case SshMsg::UserAuthFailure: OnUserAuthFailure(); break;
        case SshMsg::UserAuthSuccess: OnUserAuthSuccess(); break;
        case SshMsg::UserAuthBanner: OnUserAuthBanner(); break;
        case SshMsg::UserAuthPkOkOrInfoRequest: OnUserAuthMessage60(); break;
        case SshMsg::ChannelOpenConfirmation: OnChannelOpenConfirmation(); break;
        case SshMsg::ChannelOpenFailure: Raise(Err::ChannelOpenFailed); break;
        case SshMsg::ChannelWindowAdjust: OnChannelWindowAdjust(); break;
        case SshMsg::ChannelData: OnChannelData(); break;
        case SshMsg::ChannelClose: OnChannelClose(); break;
        case SshMsg::ChannelRequest: OnChannelRequest(); break;
        case SshMsg::ChannelSuccess: OnChannelSuccess(); break;
        case SshMsg::ChannelFailure: Raise(Err::SubsystemUnavailable); break;
        case SshMsg::Malformed: Raise(Err::ProtocolError); break;
        default: break;  // other messages are dropped
    }
}

void CSshSession::OnSend(int32_t error) {
    if (ended) return;
    if (error == 0) {
        writable = true;
        // Only a socket with data waiting is read here: a blocking read would stall the host.
        if (!dataSeen && platform::WaitSocketReadable(socketHandle, 0) > 0) {
            OnReceive(0);
            if (!Alive()) return;
        }
        FlushSftpQueue();
        if (!Alive()) return;
    }
    if (writable || error != 0) {
        if (sessionState == ChannelReady || sessionState == ChannelClosed) {
            if (client) client->OnSendReady(error);
            if (!Alive()) return;
        }
    }
    if (error == 0 && sessionState < ChannelReady && platform::WaitSocketReadable(socketHandle, 0) > 0)
        OnReceive(0);
}

void CSshSession::OnAccept(int32_t error) {
    if (client) client->OnSessionAccept(error);
}

void CSshSession::OnTimer(int32_t timerId) {
    if (client) client->OnSessionTimer(timerId);
}

void CSshSession::OnConnect(int32_t error) {
    if (connected) return;
    if (error != 0) {
        Raise(error);
        return;
    }
    // The client speaks only after the server's identification line, so nothing is sent here.
    dataSeen = false;
    connected = true;
}

void CSshSession::OnClose(int32_t error) {
    ended = true;
    ReportClosed(error);
}

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
    // One append takes at most MaxReserve bytes; larger runs go in pieces so none is dropped.
    for (int32_t done = 0; done < length;) {
        uint32_t n = std::min(uint32_t(length - done), CByteBuffer::MaxReserve);
        uint32_t before = channelOut.Length();
        channelOut.Append(data + done, n);
        if (channelOut.Length() == before) return done > 0 ? done : -1;
        done += int32_t(n);
    }
    FlushChannel();
    return length;
}

void CSshSession::ReportConnectFinished(int32_t code) {
    if (client) client->OnConnectFinished(code);
}

void CSshSession::ReportClosed(int32_t error) {
    if (client) client->OnConnectionClosed(error);
}

bool NameListOffers(std::string_view list, std::string_view name) {
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = list.find(',', start);
        size_t end = comma == std::string_view::npos ? list.size() : comma;
        if (list.substr(start, end - start) == name) return true;
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    return false;
}

// ---- identification ----

int32_t CSshSession::ExchangeVersions() {
    char text[IdentificationRead + 1] = {};
    int32_t n = Receive(text, int32_t(IdentificationRead), 0);
    if (n < 1) return 0;
    text[n] = 0;
    char* line = std::strstr(text, "SSH-");
    if (line == nullptr) return 0;  // lines before the version line are dropped
    int major = 0, minor = 0;
    if (std::sscanf(line, "SSH-%d.%d", &major, &minor) < 2) {
        Raise(Err::NotSshServer);
        return 0;
    }
    if (!((major == 1 && minor == 99) || major == 2)) {
        Raise(Err::VersionMismatch);
        return 0;
    }
    transport = std::make_unique<CSshPacketLayer>();
    static const char kClientLine[] = "SSH-2.0-Velunor";
    std::string announce = std::string(kClientLine) + "\n";
    SendData(reinterpret_cast<const uint8_t*>(announce.data()), int32_t(announce.size()), 0);

    char* end = line;
    while (*end != 0 && *end != '\r' && *end != '\n') ++end;
    std::string serverLine(line, size_t(end - line));
    char* rest = end;
    char* limit = text + n;
    while (rest < limit && (*rest == '\r' || *rest == '\n')) ++rest;
    // A NUL ends the line too; the packet stream then starts right after it.
    if (rest == end && rest < limit && *rest == 0) ++rest;
    if (rest < limit && !transport->Feed(reinterpret_cast<uint8_t*>(rest), uint32_t(limit - rest))) {
        Raise(Err::ProtocolError);
        return 0;
    }

    versionStrings.Clear();
    versionStrings.PutCString(kClientLine);
    versionStrings.PutString(serverLine.data(), uint32_t(serverLine.size()));
    if (client) client->ServerIdentification = CWideString::FromUtf8(serverLine);
    identified = 1;

    // Old servers derive shorter MAC keys and sign in the bare form.
    size_t firstHyphen = serverLine.find('-');
    size_t secondHyphen = firstHyphen == std::string::npos ? std::string::npos : serverLine.find('-', firstHyphen + 1);
    std::string software = secondHyphen == std::string::npos ? std::string() : serverLine.substr(secondHyphen + 1);
    for (const char* prefix : {"2.1.0", "2.0.", "2.2.0", "2.3.0", "2.1 "}) {
        if (software.compare(0, std::strlen(prefix), prefix) == 0) legacyServer = 1;
    }
    return 1;
}

}  // namespace velunor
