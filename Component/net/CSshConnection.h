#pragma once

#include <cstdint>

#include "base/CByteBuffer.h"
#include "base/CWideString.h"
#include "ssh/CSshSession.h"

namespace velunor {

// The object a component makes for each connection attempt: the SSH engine plus what lies
// between it and the network, that is the target, name resolution, the TCP connect (to the
// server, or to a proxy) and bytes that came in behind a proxy's reply.
class CSshConnection : public CSshSession {
public:
    enum ProxyKind : int32_t {
        ProxyNone = 0,
        ProxySocks4 = 1,
        ProxySocks5 = 2,
        ProxyHttp = 3,
        ProxyRelay = 4,
        ProxySocks4a = 5,
    };
    static constexpr int32_t ProxyTunnelReady = 4;
    static constexpr int32_t PendingConnectLimitMs = 30000;
    static constexpr int32_t ProxyClosedError = 30040;

    CSshConnection(CSftpClient* owner, int32_t bufferSize);
    ~CSshConnection() override;

    // 0 connected, -1 failed or still under way; the socket's code is then in connectError (10035
    // while a non-blocking connect is under way, 11001 for a name that does not resolve).
    int32_t Connect(const char* host, int32_t port);
    // Dotted address first, then the name's first IPv4 address; AddressNone (all ones) with the
    // last socket error 10022 when neither works.
    uint32_t ResolveAddress(const char* name);
    // Waits for a connect under way: 0 once the socket is writable with no pending error, that
    // error's code if it has one, 10060 when timeoutMs passes first.
    int32_t WaitForConnect(int32_t timeoutMs);

    int32_t Receive(char* buffer, int32_t length, int32_t flags) override;
    int32_t ReadStream(uint8_t* buffer, int32_t length) override;
    void OnReceive(int32_t error) override;
    void OnSend(int32_t error) override;
    void OnConnect(int32_t error) override;
    void OnClose(int32_t error) override;

    CWideString proxyUsername;
    CWideString proxyPassword;
    CWideString proxyHost;
    int32_t proxyPort = 0;
    int32_t proxyType = ProxyNone;
    int32_t proxyState = 0;
    int32_t connectError = 0;
    int32_t socks4RequestLength = 0;
    int32_t awaitingConnect = 1;
    uint8_t socks4Request[1024] = {};
    uint16_t targetPort = 0;
    CWideString targetHost;
    uint8_t proxyBuffer[1024] = {};
    CByteBuffer leftover;

private:
    static bool Negotiates(int32_t type);
    bool Negotiating() const { return Negotiates(proxyType) && proxyState != ProxyTunnelReady; }
    int32_t ConnectTo(const char* name, uint16_t port);
};

}  // namespace velunor
