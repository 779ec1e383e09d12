#pragma once

#include <cstdint>

#include "base/CByteBuffer.h"
#include "net/CWinSocket.h"

namespace velunor {

class CSftpClient;

// The SSH-2 client side of one connection, on top of its socket. This is the part the network
// layer needs now: the plain state of the engine, the raw receive and send paths used before the
// channel exists, and the handlers the socket window calls. The protocol handlers and the owned
// engine objects (packet layer, keys, key exchange, SFTP reassembly) join here.
class CSshSession : public CWinSocket {
public:
    // Channel progress in sessionState.
    static constexpr int32_t ChannelNone = 0;
    static constexpr int32_t ChannelSubsystem = 3;
    static constexpr int32_t ChannelReady = 6;
    static constexpr int32_t ChannelClosed = 7;

    // bufferSize is the component's effective BufferSize, which sizes the channel windows.
    CSshSession(CSftpClient* owner, int32_t bufferSize);
    ~CSshSession() override;

    void OnReceive(int32_t error) override;
    void OnSend(int32_t error) override;
    void OnAccept(int32_t error) override;
    void OnConnect(int32_t error) override;
    void OnClose(int32_t error) override;
    void OnTimer(int32_t timerId) override;

    // Before the channel exists, the socket's own receive; from then on banner text, or -1 when
    // there is none.
    virtual int32_t Receive(char* buffer, int32_t length, int32_t flags);
    // Before the channel exists, a plain socket send; from then on the bytes join channelOut and
    // length is returned.
    virtual int32_t SendData(const uint8_t* data, int32_t length, int32_t flags);
    // Moves sftpOut into the channel as far as the server's window allows.
    virtual void FlushSftpQueue();

    CSftpClient* client;
    CByteBuffer versionStrings;
    CByteBuffer hashInput;
    uint32_t remoteChannel = 0;
    int32_t sessionState = ChannelNone;
    CByteBuffer bannerText;
    CByteBuffer channelOut;
    int32_t localWindow;
    int32_t remoteWindow = 0;
    int32_t localMaxPacket;
    int32_t remoteMaxPacket = 0;
    CByteBuffer channelIn;
    int32_t legacyServer = 0;
    int32_t methodsKnown = 0;
    int32_t tryPassword = 0;
    int32_t tryPublicKey = 0;
    int32_t tryNone = 1;
    int32_t trySecurId = 0;
    int32_t tryKeyboard = 0;
    int32_t publicKeyPhase = 1;
    CByteBuffer keyboardAnswer;
    CByteBuffer sftpOut;
    bool writable = false;
    bool dataSeen = false;
    bool connected = false;
    int32_t identified = 0;

protected:
    // Where the engine reports to its component: the end of a connection attempt (0 when the
    // SFTP subsystem is ready) and a closed connection. The component's handlers are reached
    // from here; they may delete this session, so callers return at once afterwards.
    virtual void ReportConnectFinished(int32_t code);
    virtual void ReportClosed(int32_t error);
};

}  // namespace velunor
