#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "base/CByteBuffer.h"
#include "base/CSecureBlock.h"
#include "base/CWireReader.h"
#include "crypto/CSshKey.h"
#include "crypto_dh/CDhKeyPair.h"
#include "net/CWinSocket.h"
#include "ssh/CSftpPacket.h"
#include "ssh/CSftpPacketSink.h"
#include "ssh/CSshPacketLayer.h"

namespace velunor {

class CSftpClient;

// SSH message numbers the engine deals in; the wire byte becomes one of these in one place.
enum class SshMsg : uint8_t {
    None = 0,
    Disconnect = 1,
    Ignore = 2,
    Debug = 4,
    ServiceRequest = 5,
    ServiceAccept = 6,
    KexInit = 20,
    NewKeys = 21,
    KexDhInit = 30,
    KexDhReply = 31,
    UserAuthRequest = 50,
    UserAuthFailure = 51,
    UserAuthSuccess = 52,
    UserAuthBanner = 53,
    UserAuthPkOkOrInfoRequest = 60,
    UserAuthInfoResponse = 61,
    ChannelOpen = 90,
    ChannelOpenConfirmation = 91,
    ChannelOpenFailure = 92,
    ChannelWindowAdjust = 93,
    ChannelData = 94,
    ChannelClose = 97,
    ChannelRequest = 98,
    ChannelSuccess = 99,
    ChannelFailure = 100,
    Malformed = 255,
};

// The SSH-2 client side of one connection, on top of its socket: identification, key exchange,
// user authentication and the session channel that carries SFTP. Everything happens inside the
// socket and timer handlers on the host's thread. An error ends the attempt through the
// component, which retires this object; the handler that raised it returns without going on.
class CSshSession : public CWinSocket, public CSftpPacketSink {
public:
    // Channel progress in sessionState.
    static constexpr int32_t ChannelNone = 0;
    static constexpr int32_t ChannelSubsystem = 3;
    static constexpr int32_t ChannelReady = 6;
    static constexpr int32_t ChannelClosed = 7;
    static constexpr int32_t InactivityTimer = 1;
    static constexpr uint32_t ReceiveChunk = 32768;
    static constexpr uint32_t IdentificationRead = 1023;
    static constexpr uint32_t SendEventChunk = 8192;

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
    // Before the channel exists, a plain socket send; from then on the bytes join channelOut,
    // the channel is flushed and length is returned.
    virtual int32_t SendData(const uint8_t* data, int32_t length, int32_t flags);
    // Moves sftpOut into the channel as far as the server's window allows.
    virtual void FlushSftpQueue();
    // Output that waits for the socket or the window: the pump's idle step sends it.
    bool OutputWaiting() const;

    void SendSftpPacket(std::unique_ptr<CSftpPacket> packet) override;

    CSftpClient* client;
    std::unique_ptr<CSshPacketLayer> transport;
    CByteBuffer versionStrings;
    CByteBuffer hashInput;
    CSecureBlock sessionId;
    uint32_t remoteChannel = 0;
    int32_t sessionState = ChannelNone;
    CByteBuffer bannerText;
    CByteBuffer channelOut;
    int32_t localWindow;
    int32_t remoteWindow = 0;
    int32_t localMaxPacket;
    int32_t remoteMaxPacket = 0;
    std::unique_ptr<CSftpPacket> inPacket;
    std::unique_ptr<CDhKeyPair> dh;
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
    std::unique_ptr<CSshKey> hostKey;
    std::unique_ptr<CSshKey> userKey;
    CByteBuffer sftpOut;
    bool writable = false;
    bool dataSeen = false;
    bool connected = false;
    int32_t identified = 0;

protected:
    // Where the engine reports to its component: the end of a connection attempt (0 when the
    // SFTP subsystem is ready) and a closed connection. The component retires this session on
    // an error, so callers return at once afterwards.
    virtual void ReportConnectFinished(int32_t code);
    virtual void ReportClosed(int32_t error);
    // Bytes of the encrypted stream after the identification; a connection hands out what it
    // buffered behind a proxy's reply first.
    virtual int32_t ReadStream(uint8_t* buffer, int32_t length);

private:
    // Sends wire bytes on the socket for the packet layer.
    class CSocketSink final : public CSshPacketLayer::Sink {
    public:
        explicit CSocketSink(CSshSession& s) : session(s) {}
        int Send(std::span<const uint8_t> bytes) override;

    private:
        CSshSession& session;
    };

    // The engine ends the attempt with code; nothing more of the received data is processed.
    void Raise(int32_t code);
    // True while this session is still the component's live connection and no error ended it.
    bool Alive() const;
    void RestartInactivityTimer();
    bool SendPacket();
    void MessageLoop();
    void Dispatch(SshMsg type);

    // Identification.
    int32_t ExchangeVersions();

    // Key exchange.
    void OnKexInit();
    int32_t NegotiateAlgorithms(CWireReader& in);
    bool ChooseCipher(CWireReader& in, bool transmit);
    void SendKexDhInit();
    void OnKexDhReply();
    void OnNewKeys();

    // Authentication.
    void OnServiceAccept();
    void OnUserAuthFailure();
    void OnUserAuthBanner();
    void OnUserAuthMessage60();
    void SendNextAuthRequest();
    void NextMethodAfterRefusal();
    void SendSignedPublicKeyRequest();
    void AnswerKeyboardPrompts();

    // Channel.
    void OnUserAuthSuccess();
    void OnChannelOpenConfirmation();
    void OnChannelSuccess();
    void OnChannelWindowAdjust();
    void OnChannelData();
    void OnChannelClose();
    void OnChannelRequest();
    void SendSubsystemRequest();
    void ReadyTransition();
    bool ReassembleSftp();
    int32_t FlushChannel();
    void DrainOutput();

    CSocketSink socketSink{*this};
    bool ended = false;
};

// True when a name-list offers name exactly (a whole entry, not part of one).
bool NameListOffers(std::string_view list, std::string_view name);

}  // namespace velunor
