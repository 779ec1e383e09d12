#include "net/CSshConnection.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "base/SecureFill.h"
#include "platform/Sockets.h"

namespace velunor {

CSshConnection::CSshConnection(CSftpClient* owner, int32_t bufferSize)
    : CSshSession(owner, bufferSize), proxyUsername(""), proxyPassword(""), proxyHost("") {}

CSshConnection::~CSshConnection() {
    // Proxy requests and replies can carry the proxy password.
    SecureFill(proxyBuffer, sizeof proxyBuffer, 0);
    SecureFill(socks4Request, sizeof socks4Request, 0);
}

bool CSshConnection::Negotiates(int32_t type) {
    return type == ProxySocks4 || type == ProxySocks5 || type == ProxyHttp || type == ProxySocks4a;
}

int32_t CSshConnection::Connect(const char* host, int32_t port) {
    leftover.Clear();
    std::memset(socks4Request, 0, sizeof socks4Request);
    targetPort = uint16_t(uint32_t(port) & 0xFFFFu);
    targetHost = CWideString(host ? host : "");

    if (proxyType == ProxyNone) return ConnectTo(host, targetPort);

    // Each early failure records its own code: the component reports connectError, and a value
    // left from before would read as success.
    if (!Negotiates(proxyType) && proxyType != ProxyRelay) {
        connectError = platform::WsaInvalidArgument;
        return -1;
    }
    if (proxyHost.Empty()) {
        connectError = platform::WsaInvalidArgument;
        return -1;
    }
    if (proxyType == ProxySocks4 && ResolveAddress(host) == platform::AddressNone) {
        connectError = platform::WsaHostNotFound;
        platform::SetLastSocketError(connectError);
        return -1;
    }
    proxyState = 1;
    return ConnectTo(proxyHost.Narrow(), uint16_t(uint32_t(proxyPort) & 0xFFFFu));
}

int32_t CSshConnection::ConnectTo(const char* name, uint16_t port) {
    if (!name) name = "";
    std::string status = std::string("Resolving ") + name + "...\r\n";
    PostStatus(1, status.c_str(), -1);

    // A dotted address is used as it stands: looking it up by name could only be slower or wrong.
    uint32_t address = platform::ParseDottedAddress(name);
    if (address == platform::AddressNone && platform::LookupHostIPv4(name, &address) != 0) {
        connectError = platform::WsaHostNotFound;
        platform::SetLastSocketError(connectError);
        return -1;
    }
    int32_t result = platform::ConnectIPv4(socketHandle, address, port);
    connectError = result == 0 ? 0 : platform::GetLastSocketError();
    return result;
}

uint32_t CSshConnection::ResolveAddress(const char* name) {
    uint32_t address = platform::ParseDottedAddress(name);
    if (address != platform::AddressNone) return address;
    if (name && platform::LookupHostIPv4(name, &address) == 0) return address;
    platform::SetLastSocketError(platform::WsaInvalidArgument);
    return platform::AddressNone;
}

int32_t CSshConnection::WaitForConnect(int32_t timeoutMs) {
    int32_t ready = platform::WaitSocketWritable(socketHandle, int64_t(std::max(timeoutMs, 0)) * 1000);
    if (ready == 0) return platform::WsaTimedOut;
    if (ready < 0) return platform::GetLastSocketError();
    // Writable also means "failed": a refused connect becomes writable with its error pending.
    int32_t pending = platform::GetPendingSocketError(socketHandle);
    if (pending < 0) return platform::GetLastSocketError();
    return pending;
}

int32_t CSshConnection::Receive(char* buffer, int32_t length, int32_t flags) {
    if (leftover.Length() == 0) return CSshSession::Receive(buffer, length, flags);
    if (length <= 0) return 0;
    uint32_t n = std::min(uint32_t(length), leftover.Length());
    leftover.Read(buffer, n);
    // The engine takes one read per event; another event brings it back for what is left here
    // and whatever the socket holds.
    PostSocketEvent(SocketEvent::Read);
    return int32_t(n);
}

// The packet stream too may have started inside the bytes that came behind a proxy's reply.
int32_t CSshConnection::ReadStream(uint8_t* buffer, int32_t length) {
    if (leftover.Length() == 0 || length <= 0) return CSshSession::ReadStream(buffer, length);
    uint32_t n = std::min(uint32_t(length), leftover.Length());
    leftover.Read(buffer, n);
    if (leftover.Length() != 0) PostSocketEvent(SocketEvent::Read);
    return int32_t(n);
}

void CSshConnection::OnReceive(int32_t error) {
    if (Negotiating()) return;
    CSshSession::OnReceive(error);
}

void CSshConnection::OnSend(int32_t error) {
    if (Negotiating()) return;
    CSshSession::OnSend(error);
}

void CSshConnection::OnConnect(int32_t error) {
    if (!awaitingConnect) return;
    if (error == 0) awaitingConnect = 0;
    if (proxyType == ProxyNone || proxyType == ProxyRelay) {
        CSshSession::OnConnect(error);
        return;
    }
    // Through a negotiating proxy the connection counts as made only once the tunnel stands.
    if (Negotiates(proxyType) && error != 0) CSshSession::OnConnect(error);
}

void CSshConnection::OnClose(int32_t error) {
    awaitingConnect = 1;
    if (proxyType == ProxyNone || proxyType == ProxyRelay) {
        CSshSession::OnClose(error);
        return;
    }
    if (!Negotiates(proxyType)) return;
    if (proxyState == ProxyTunnelReady) {
        CSshSession::OnClose(error);
        return;
    }
    CSshSession::OnConnect(ProxyClosedError);
}

}  // namespace velunor
