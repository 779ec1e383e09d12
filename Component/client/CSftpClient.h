#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "base/CByteBuffer.h"
#include "base/CWideString.h"
#include "platform/Messages.h"
#include "platform/TimeZone.h"
#include "sftp/CTransferBlock.h"
#include "velunor/sftp.h"

namespace velunor {

class CSshConnection;
class CSftpPacketSink;
struct CSftpPacket;

// Destroys a connection object where its type is complete.
struct CConnectionDeleter {
    void operator()(CSshConnection* connection) const;
};

// Connection states; the numbers are part of the host contract (State property, OnStateChange).
enum ConnectionState : int32_t {
    StateDisconnected = 0,
    StateConnecting = 1,
    StateAuthenticating = 2,
    StateIdle = 3,
    StateReceiving = 4,
    StateSending = 5,
    StateExecuting = 6,
};

// What the next SFTP reply answers.
enum class OpState : int32_t {
    None = 0,
    Start = 1,
    StatTarget = 2,
    StatParent = 3,
    OpenFile = 4,
    Write = 5,
    Read = 6,
    Close = 7,
    MakeDirectory = 8,
    RemoveDirectory = 9,
    Rename = 10,
    Remove = 11,
    Stat = 12,
    SetStat = 13,
    RealPath = 14,
    OpenDirectory = 15,
    ReadDirectory = 16,
};

// Bits of pendingEvents: while any is set the message pump does nothing.
enum EventBits : int32_t {
    EvSendReady = 0x02,
    EvError = 0x04,
    EvAccept = 0x08,
    EvConnected = 0x10,
    EvClosed = 0x20,
};

// The component object. Its first bytes are the public struct the host sees (the slot table
// pointer); everything after is the component's own. Members named get_X / put_X and the
// methods below are the slots of the table, in the host's argument types.
class CSftpClient : public ::CSftpClient {
public:
    static constexpr int32_t DefaultBufferSize = 32768;
    static constexpr uint32_t IoSlack = 128;

    // Null when memory is exhausted.
    static CSftpClient* Create(const SftpEvents* events);
    ~CSftpClient();
    CSftpClient(const CSftpClient&) = delete;
    CSftpClient& operator=(const CSftpClient&) = delete;

    // True when p is a live component made by Create (the thunks check every call).
    static bool IsComponent(const ::CSftpClient* p);

    // ---- operations used across the component ----
    int32_t RaiseError(int32_t code);
    int32_t SetErrorText(int32_t code, const char* text);
    bool SetState(int32_t newState);
    bool ReportResult(int32_t code, const char* text);
    int32_t State() const { return state; }
    int32_t EffectiveBufferSize() const { return bufferSize; }

    // The end of every operation-starting method: with Blocking set, pumps until the operation
    // has ended (or the connection has) and returns its code; otherwise 0 at once.
    int32_t WaitForCompletion();
    // One step of a blocking wait: polls the socket and dispatches this thread's messages.
    void PumpOnce();
    // The SFTP response dispatcher: one complete incoming packet from the session channel.
    void OnSftpPacket(CSftpPacket& packet);

    // ---- what the session reports (all on the host's thread, inside a socket or timer event) ----
    // The connection attempt has ended: 0 when the SFTP subsystem is ready, else the error. On
    // an error the session is retired before this returns: the caller must not touch it again.
    void OnConnectFinished(int32_t code);
    // The socket was closed (0 for an orderly close); the session is retired likewise.
    void OnConnectionClosed(int32_t error);
    void OnSessionTimer(int32_t timerId);
    void OnSessionAccept(int32_t code);
    void OnSendReady(int32_t code);

    // Host callbacks that may re-enter the component: socket and timer events for the session
    // are held while they run and replayed afterwards.
    void FireGuarded(const std::function<void()>& call);

    // ---- slots ----
    int32_t MakeDirectory(VARIANT remote);
    int32_t RemoveDirectory(VARIANT remote);
    int32_t DeleteFile(VARIANT remote);
    int32_t ResolvePath(VARIANT remote);
    int32_t ListDirectory(VARIANT remote);
    int32_t GetAttributes(VARIANT remote, VARIANT_BOOL follow);
    int32_t Upload(VARIANT local, VARIANT remote);
    int32_t UploadData(const uint8_t* data, int32_t length, VARIANT remote);
    int32_t Download(VARIANT local, VARIANT remote);
    int32_t DownloadData(VARIANT remote);
    int32_t UploadDataAt(const uint8_t* data, int32_t length, VARIANT remote, uint32_t offsetLow,
                         uint32_t offsetHigh);
    int32_t DownloadDataRange(VARIANT remote, uint32_t offsetLow, uint32_t offsetHigh, int32_t size);
    int32_t Reserved13(int32_t) { return 0; }
    int32_t DownloadDataRangeFresh(VARIANT remote, uint32_t offsetLow, uint32_t offsetHigh, int32_t size);
    int32_t UploadTextAt(BSTR text, VARIANT remote, uint32_t offsetLow, uint32_t offsetHigh);
    int32_t DownloadRange(VARIANT local, VARIANT remote, uint32_t offsetLow, uint32_t offsetHigh, int32_t size);
    int32_t UploadAt(VARIANT local, VARIANT remote, uint32_t offsetLow, uint32_t offsetHigh);
    int32_t CloseRemoteHandle();
    int32_t AppendText(BSTR text, VARIANT remote);
    int32_t AppendFile(VARIANT local, VARIANT remote);
    int32_t get_UtcTimes(int32_t* value);
    int32_t put_UtcTimes(int32_t value);
    int32_t ListFindData(VARIANT remote);
    int32_t get_CompressionLevel(int16_t* value);
    int32_t put_CompressionLevel(int16_t value);
    int32_t get_ProxyPort(int32_t* value);
    int32_t put_ProxyPort(int32_t value);
    int32_t get_ProxyPassword(BSTR* value);
    int32_t put_ProxyPassword(BSTR value);
    int32_t get_ProxyUsername(BSTR* value);
    int32_t put_ProxyUsername(BSTR value);
    int32_t get_ProxyHost(BSTR* value);
    int32_t put_ProxyHost(BSTR value);
    int32_t get_ProxyType(int32_t* value);
    int32_t put_ProxyType(int32_t value);
    int32_t get_ServerStatusCode(int16_t* value);
    int32_t get_ServerStatusText(BSTR* value);
    int32_t get_BufferSize(int32_t* value);
    int32_t put_BufferSize(int32_t value);
    int32_t Abort();
    int32_t get_LastError(int16_t* value);
    int32_t put_UserData(VARIANT value);
    int32_t get_UserData(VARIANT* value);
    int32_t GetErrorText(int16_t code, BSTR* text);
    int32_t ListNames(VARIANT remote);
    int32_t DownloadDataFresh(VARIANT remote);
    int32_t UploadText(BSTR text, VARIANT remote);
    int32_t SetAttributesShort(VARIANT remote, VARIANT sizeLow, VARIANT uid, VARIANT gid, VARIANT permissions,
                               VARIANT accessTime, VARIANT modifyTime);
    int32_t SetAttributes(VARIANT remote, VARIANT sizeLow, VARIANT sizeHigh, VARIANT uid, VARIANT gid,
                          VARIANT permissions, VARIANT accessTime, VARIANT modifyTime);
    int32_t get_PrivateKey(VARIANT* value);
    int32_t put_PrivateKey(VARIANT value);
    int32_t get_ServerIdentification(BSTR* value);
    int32_t get_AuthenticationType(int32_t* value);
    int32_t put_AuthenticationType(int32_t value);
    int32_t get_ResultText(BSTR* value);
    int32_t get_TransferMode(int32_t* value);
    int32_t put_TransferMode(int32_t value);
    int32_t ListCheck(VARIANT remote);
    int32_t Rename(BSTR newPath, VARIANT remote);
    int32_t get_Resume(VARIANT_BOOL* value);
    int32_t put_Resume(VARIANT_BOOL value);
    int32_t get_RemotePath(BSTR* value);
    int32_t put_RemotePath(BSTR value);
    int32_t get_LocalPath(BSTR* value);
    int32_t put_LocalPath(BSTR value);
    int32_t get_UserText(BSTR* value);
    int32_t put_UserText(BSTR value);
    int32_t get_CipherType(int32_t* value);
    int32_t put_CipherType(int32_t value);
    int32_t GetStateText(VARIANT stateNumber, BSTR* text);
    int32_t get_State(int32_t* value);
    int32_t get_Password(BSTR* value);
    int32_t put_Password(BSTR value);
    int32_t get_Username(BSTR* value);
    int32_t put_Username(BSTR value);
    int32_t Reserved76() { return 0; }
    int32_t DownloadFresh(VARIANT local, VARIANT remote);
    int32_t UploadFresh(VARIANT local, VARIANT remote);
    int32_t get_Blocking(VARIANT_BOOL* value);
    int32_t put_Blocking(VARIANT_BOOL value);
    int32_t Disconnect();
    int32_t Connect(VARIANT host, VARIANT port);
    int32_t get_Timeout(int16_t* value);
    int32_t put_Timeout(int16_t value);
    int32_t put_ReceiveTimeout(int32_t value);
    int32_t put_SendTimeout(int32_t value);
    int32_t get_Version(BSTR* value);
    int32_t Reserved88(int32_t) { return 0; }
    int32_t get_Port(int32_t* value);
    int32_t put_Port(int32_t value);
    int32_t get_Hostname(BSTR* value);
    int32_t put_Hostname(BSTR value);
    int32_t get_LocalHostname(BSTR* value);
    int32_t put_LocalHostname(BSTR value);
    int32_t get_LocalAddress(BSTR* value);
    int32_t put_LocalAddress(BSTR value);
    int32_t ImportPrivateKey(const char* path, const char* passphrase);
    int32_t PollReceive();
    int32_t DrainSocket();
    int32_t ClearBannerText();
    int32_t ClearChannelOutput();

private:
    explicit CSftpClient(const SftpEvents* events);
    // Replaces the path field by a path VARIANT's text; other VARIANT types leave it.
    static void TakePathVariant(CWideString& field, const VARIANT& path);
    int32_t NotBuilt() { return RaiseError(E_NOTIMPL); }
    // Moves the connection object out of reach; it is freed once no call is on the stack.
    void RetireSession();
    int32_t FailConnect(int32_t code);
    // Ends a connect whose component the host deleted from inside a callback.
    int32_t AbandonConnect();
    // What the host hears as a connection ends; a component the host deleted from inside a
    // callback (it goes when the outermost call returns) tells it nothing more.
    bool Silenced() const;
    void SettleState(int32_t newState);
    void TellPendingOperation();
    void TellConnected(int32_t code, const char* text);
    void TellDisconnected();
    bool AllocateTransferBuffers(int32_t effectiveSize);

public:
    // ---- fields: the settings the engine and the operations read ----
    const SftpEvents* events = nullptr;
    std::mutex lock;
    CWideString LocalAddress;
    CWideString LocalHostname;
    CWideString Hostname;
    CWideString UserText;
    CWideString Username;
    CWideString Password;
    CWideString localPath;
    CWideString remotePath;
    CWideString RemotePath;
    CWideString LocalPath;
    CWideString lastErrorText;
    CWideString ResultText;
    CWideString ServerIdentification;
    CWideString hostKeyAlgorithm;
    CWideString ServerStatusText;
    int32_t Port = 22;
    int16_t Timeout = 60;
    int16_t ServerStatusCode = 0;
    int32_t SendTimeout = 60000;
    int32_t ReceiveTimeout = 60000;
    int16_t CompressionLevel = 0;
    std::unique_ptr<CByteBuffer> privateKey;
    std::unique_ptr<CByteBuffer> nameScratch;
    int32_t state = StateDisconnected;
    int32_t AuthenticationType = 1;
    bool Blocking = false;
    bool Resume = false;
    bool appendMode = false;
    bool operationPending = false;
    bool abortRequested = false;
    int32_t listMode = 2;
    int32_t pendingEvents = 0;
    int32_t lastError = 0;
    int32_t bufferSize = DefaultBufferSize;
    int32_t BufferSize = 0;
    std::unique_ptr<uint8_t[]> ioBuffer;
    size_t ioBufferSize = 0;
    std::unique_ptr<uint8_t[]> convertBuffer;
    size_t convertBufferSize = 0;
    int32_t CipherType = 0;
    int32_t TransferMode = 0;
    OpState operationState = OpState::Start;
    uint32_t requestId = 0;
    CTransferBlock transfer;
    std::string tempFilePath;
    int32_t privateKeyIsText = 1;
    VARIANT UserData;
    std::unique_ptr<CSshConnection, CConnectionDeleter> session;
    // Where SFTP requests go: the session while one is connected (not owned).
    CSftpPacketSink* sftpSink = nullptr;
    platform::HWND notifyWindow = nullptr;
    CWideString ProxyHost;
    CWideString ProxyUsername;
    CWideString ProxyPassword;
    int32_t ProxyType = 0;
    int32_t ProxyPort = 1080;
    int32_t UtcTimes = 0;
    double standardBiasDays = 0;
    double daylightBiasDays = 0;
    int32_t standardBiasSeconds = 0;
    int32_t daylightBiasSeconds = 0;
    platform::TimeZoneInformation timeZone;

    // ---- SFTP operations ----
public:
    // One incoming reply as the handlers see it (defined in sftp/SftpReply.h).
    struct SftpReply;

    // Ends whatever SFTP operation the connection carried, without reporting: the session calls
    // it whenever the connection goes (Disconnect, closed socket, failed attempt, time-out) so no
    // local file, temporary file or reply state outlives the connection.
    void AbandonSftpOperation();

    // The server's maximum channel packet, copied by the session when the channel opens: an
    // upload without BufferSize sends blocks no larger. 0 when not known (blocks of 32768).
    uint32_t remoteMaxPacket = 0;

private:
    int32_t CheckOperationStart();
    void BeginOperation(int32_t busyState);
    std::unique_ptr<CSftpPacket> NewRequest(uint8_t type);
    void SendRequest(std::unique_ptr<CSftpPacket> packet, OpState next);
    void SendOpen(uint32_t pflags);
    void SendClose();
    void SendStat(const std::string& path, OpState next);
    void SendMakeDirectory();
    void SendRemoveDirectory();
    void SendRename(const std::string& oldPath, const std::string& newPath);
    void SendRemove();
    void SendRealPath();
    void SendOpenDirectory();
    void SendReadDirectory();
    void SendAttributeQuery(bool follow);
    void SendRead(uint32_t length);
    bool CheckResponseId(SftpReply& reply);
    const char* StatusText(uint32_t code);
    void DecodeAttributes(SftpReply& reply);
    void ReportServerError(uint32_t code);
    void CloseLocalFile();
    void ResetTransfer();
    void DeleteTempFile();
    void FailOperation(int32_t code, const char* text);
    void OnHandleReply(SftpReply& reply);
    void OnCloseReply(SftpReply& reply);
    void OnCommandReply(SftpReply& reply);
    void OnTargetCheck(SftpReply& reply);
    void OnParentCheck(SftpReply& reply);
    void DownloadStep(SftpReply* reply);
    void UploadStep();
    void ReadDirectoryStep(SftpReply* reply);
    void OnAttributesReply(SftpReply& reply);
    void OnSetStatReply(SftpReply& reply);
    void OnRealPathReply(SftpReply& reply);
    int32_t StartListing(int32_t mode, const VARIANT& remote);
    int32_t StartCommand(const VARIANT& remote, void (CSftpClient::*send)());
    int32_t PrepareDownloadPath();
    void FinishDownloadData(uint64_t dataStart);
    int32_t NewTempFile(platform::FileHandle& file);
    uint32_t UploadWriteFlags() const;
    void AppendFindData(std::string& records, const std::string& name);
    uint64_t EntryFileTime(uint32_t seconds) const;
    double OleDateOf(uint32_t seconds) const;
    bool SecondsOfOleDate(double date, uint32_t& seconds) const;

    // A result to report once the CLOSE now outstanding is answered (an error met while the
    // handle was open); 0 when none.
    int32_t closeResult = 0;
    std::string closeResultText;
    // The text of the listing in progress; becomes ResultText when the listing stops.
    std::string listingText;
    // The length of the READ outstanding: a longer DATA reply is refused.
    uint32_t readLength = 0;
    // ---- end of SFTP operations ----
};

}  // namespace velunor
