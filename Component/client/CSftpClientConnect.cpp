#include <string>

#include "client/CSftpClient.h"
#include "client/CallDepth.h"
#include "client/ErrorTable.h"
#include "net/CPumpTarget.h"
#include "net/CSshConnection.h"
#include "net/MessagePump.h"
#include "platform/Clock.h"
#include "platform/Sockets.h"

namespace velunor {

namespace {

constexpr int32_t kInactivityTimer = 1;
constexpr int32_t kConnectWaitMs = 30000;
constexpr int32_t kDrainRounds = 5;
constexpr int64_t kDrainPollMicros = 100;
constexpr uint32_t kDrainPauseMs = 100;
constexpr int32_t kDrainChunk = 16384;

// What the pump step needs from the component, as an adapter: the component's first bytes are
// the host's slot table pointer, so it cannot carry a vtable of its own.
class CClientPumpTarget final : public CPumpTarget {
public:
    explicit CClientPumpTarget(CSftpClient& c) : client(c) {}
    int32_t PendingEvents() const override { return client.pendingEvents; }
    bool Blocking() const override { return client.Blocking; }
    int32_t ConnectionState() const override { return client.state; }
    int32_t ProxyType() const override { return client.ProxyType; }
    CSshConnection* Connection() override { return client.session.get(); }
    std::mutex& SocketLock() override { return client.lock; }
    void Disconnect() override { client.Disconnect(); }

private:
    CSftpClient& client;
};

bool NegotiatingProxy(int32_t type) {
    return type == CSshConnection::ProxySocks4 || type == CSshConnection::ProxySocks5 ||
           type == CSshConnection::ProxyHttp || type == CSshConnection::ProxySocks4a;
}

}  // namespace

void CConnectionDeleter::operator()(CSshConnection* connection) const { delete connection; }

void CSftpClient::RetireSession() {
    sftpSink = nullptr;
    if (session) CCallDepth::Retire(std::move(session));
}

void CSftpClient::FireGuarded(const std::function<void()>& call) {
    // A host that deleted the component from an earlier callback hears nothing more from it.
    if (CCallDepth::Doomed(this)) return;
    // A retired session is freed only when the outermost call returns, so s outlives the call
    // even if the host disconnects or reconnects from inside it.
    CSshConnection* s = session.get();
    if (s) s->HoldNotifications();
    call();
    if (s) s->ReleaseNotifications();
}

bool CSftpClient::Silenced() const { return CCallDepth::Doomed(this); }

void CSftpClient::SettleState(int32_t newState) {
    if (Silenced())
        state = newState;
    else
        SetState(newState);
}

void CSftpClient::TellPendingOperation() {
    if (!operationPending) return;
    if (Silenced())
        operationPending = false;
    else
        ReportResult(Err::Disconnected, ErrorMessage(Err::Disconnected));
}

void CSftpClient::TellConnected(int32_t code, const char* text) {
    if (!Silenced() && events && events->OnConnected) events->OnConnected(this, code, text ? text : "");
}

void CSftpClient::TellDisconnected() {
    if (!Silenced() && events && events->OnDisconnect) events->OnDisconnect(this);
}

int32_t CSftpClient::FailConnect(int32_t code) {
    RetireSession();
    SettleState(StateDisconnected);
    lastError = code;
    return RaiseError(code);
}

int32_t CSftpClient::AbandonConnect() {
    // The host deleted the component from a callback: end quietly, since every callback would
    // reach a host that has let go of it; the destructor frees the rest.
    if (session) session->KillTimer(kInactivityTimer);
    RetireSession();
    SettleState(StateDisconnected);
    lastError = Err::AbortedByUser;
    return lastError;
}

int32_t CSftpClient::Connect(VARIANT host, VARIANT port) {
    abortRequested = false;
    if (state != StateDisconnected) return RaiseError(Err::CannotConnectNow);
    if (CipherType == 1) return RaiseError(Err::SingleDes);
    RetireSession();
    if (Username.Empty() || ((AuthenticationType == 0 || AuthenticationType == 2) && privateKey->Length() == 0))
        return RaiseError(Err::LoginError);
    TakePathVariant(Hostname, host);
    if (Hostname.Empty()) return RaiseError(Err::HostnameNotSet);
    if (port.vt == VT_I4) {
        Port = port.u.lVal;
    } else {
        VARIANT converted;
        VariantInit(&converted);
        if (VariantChangeType(&converted, &port, 0, VT_I4) == S_OK) Port = converted.u.lVal;
    }
    // Negotiating proxies arrive with their own step; until then they are refused, not faked.
    if (NegotiatingProxy(ProxyType)) return RaiseError(E_NOTIMPL);
    ServerIdentification = CWideString("");

    session.reset(new CSshConnection(this, bufferSize));
    session->proxyUsername = ProxyUsername;
    session->proxyPassword = ProxyPassword;
    session->proxyHost = ProxyHost;
    session->proxyPort = ProxyPort;
    session->proxyType = ProxyType;
    if (!session->CreateSocket()) {
        int32_t code = platform::GetLastSocketError();
        RetireSession();
        return RaiseError(code != 0 ? code : Err::WsaInvalidArgument);
    }
    session->notifyWindow = notifyWindow;
    session->SetTimeouts(SendTimeout, ReceiveTimeout);

    lastError = 0;
    if (Timeout != 0) session->SetTimer(Timeout, kInactivityTimer);  // 0 turns the time-out off
    pendingEvents = 0;
    ServerStatusCode = 0;
    ServerStatusText.Reset();
    SetState(StateConnecting);
    if (CCallDepth::Doomed(this)) return AbandonConnect();

    session->SetNonBlocking(1);
    std::string hostName = Hostname.ToUtf8();
    if (session->Connect(hostName.c_str(), Port) != 0) {
        int32_t code = session->connectError;
        if (code == Err::WsaWouldBlock) {
            std::string status = hostName + " connecting...\r\n";
            session->PostStatus(1, status.c_str(), -1);
            code = session->WaitForConnect(kConnectWaitMs);
        }
        // A failure with no code of its own must never read as success.
        if (code != 0) return FailConnect(code);
    }
    if (!Blocking) return 0;

    session->SetNonBlocking(0);
    bool alive = true;
    bool polled = false;
    while (pendingEvents == 0) {
        if (abortRequested) break;
        if (CCallDepth::Doomed(this)) return AbandonConnect();
        if (state >= StateIdle || lastError != 0 || !alive) break;
        PumpOnce();
        if (polled) {
            alive = PollReceive() != 0;
        } else if (PollReceive() != 0) {
            if (ProxyType != 0 && session) session->OnSend(0);
            polled = true;
        } else {
            // The TCP connection was made before this loop, so a socket that fails its first probe
            // has been closed by the peer (or by a DISCONNECT): waiting on could only end with the
            // time-out, or never with Timeout 0.
            alive = false;
        }
    }
    if (abortRequested) {
        lastError = Err::AbortedByUser;
        abortRequested = false;
        // The host gave up on this attempt: it ends here instead of running on behind the
        // host's back, which would leave the component stuck in the connecting state.
        if (session && state < StateIdle && state != StateDisconnected && !(pendingEvents & EvConnected))
            OnConnectFinished(Err::AbortedByUser);
    }
    if (!alive) Disconnect();
    if (pendingEvents & EvConnected) return 0;
    if (lastError != 0) return lastError;
    return RaiseError(Err::Unrecognized);
}

int32_t CSftpClient::Disconnect() {
    if (state == StateDisconnected) return 0;
    if (!session) {
        state = StateDisconnected;
        return 0;
    }
    session->KillTimer(kInactivityTimer);
    if (session->socketHandle != 0) session->CloseSocket();
    SettleState(StateDisconnected);
    TellPendingOperation();
    AbandonSftpOperation();
    FireGuarded([this] { TellDisconnected(); });
    return 0;
}

void CSftpClient::OnConnectFinished(int32_t code) {
    if (code == 0) {
        if (session) remoteMaxPacket = uint32_t(session->remoteMaxPacket > 0 ? session->remoteMaxPacket : 0);
        SettleState(StateIdle);
        FireGuarded([this] { TellConnected(0, ""); });
        pendingEvents |= EvConnected;
        return;
    }
    lastError = code;
    pendingEvents |= EvError;
    RetireSession();
    TellConnected(code, ErrorMessage(code));
    TellPendingOperation();
    AbandonSftpOperation();
    TellDisconnected();
    SettleState(StateDisconnected);
}

void CSftpClient::OnConnectionClosed(int32_t error) {
    if (session) session->KillTimer(kInactivityTimer);
    if (error != 0) {
        lastError = error;
        pendingEvents |= EvError;
    }
    RetireSession();
    AbandonSftpOperation();
    SettleState(StateDisconnected);
    TellPendingOperation();
    TellDisconnected();
    pendingEvents |= EvClosed;
}

void CSftpClient::OnSessionTimer(int32_t) {
    if (Timeout == 0) return;
    lastError = Err::TimedOut;
    pendingEvents |= EvError;
    if (session) session->KillTimer(kInactivityTimer);
    if (state == StateConnecting)
        OnConnectFinished(Err::TimedOut);
    else if (state != StateDisconnected)
        Disconnect();
}

void CSftpClient::OnSessionAccept(int32_t) { pendingEvents |= EvAccept; }

void CSftpClient::OnSendReady(int32_t) {
    pendingEvents |= EvSendReady;
    if (session && session->sftpOut.Length() != 0) session->FlushSftpQueue();
}

void CSftpClient::PumpOnce() {
    CClientPumpTarget target(*this);
    velunor::PumpOnce(target);
}

int32_t CSftpClient::PollReceive() {
    CClientPumpTarget target(*this);
    return velunor::PollReceive(target);
}

int32_t CSftpClient::DrainSocket() {
    if (PollReceive() == 0) return 0;
    char discard[kDrainChunk];
    for (int32_t i = 0; i < kDrainRounds && session; ++i) {
        if (platform::WaitSocketReadable(session->socketHandle, kDrainPollMicros) > 0)
            platform::Recv(session->socketHandle, discard, kDrainChunk, 0);
        else
            platform::Sleep(kDrainPauseMs);
    }
    return 0;
}

int32_t CSftpClient::ClearBannerText() {
    if (session) session->bannerText.Clear();
    return 0;
}

int32_t CSftpClient::ClearChannelOutput() {
    if (session) session->channelOut.Clear();
    return 0;
}

}  // namespace velunor
