// SFTP requests, the response dispatcher and the replies shared by several operations.
#include <cstring>
#include <string>

#include "client/CSftpClient.h"
#include "client/ErrorTable.h"
#include "sftp/SftpProtocol.h"
#include "sftp/SftpReply.h"
#include "ssh/CSftpPacketSink.h"

namespace velunor {

namespace {

constexpr const char* kInvalidOpen = "Server returned invalid response to FXP_OPEN";
constexpr const char* kInvalidOpenDir = "Server returned invalid response to FXP_OPENDIR";
constexpr const char* kInvalidClose = "Server returned invalid response to FXP_CLOSE";

void PutText(CByteBuffer& body, const std::string& text) { body.PutString(text.data(), uint32_t(text.size())); }

}  // namespace

// ---- operation start and end ----

int32_t CSftpClient::CheckOperationStart() {
    // Without a packet sink nothing can be sent, which is what being disconnected means here.
    if (state < StateIdle || sftpSink == nullptr) return RaiseError(Err::NotConnected);
    if (state != StateIdle) return RaiseError(Err::Busy);
    return 0;
}

void CSftpClient::BeginOperation(int32_t busyState) {
    // A flag left by an earlier Abort would otherwise end this operation at its first reply.
    abortRequested = false;
    closeResult = 0;
    closeResultText.clear();
    pendingEvents = 0;
    lastError = 0;
    operationPending = true;
    SetState(busyState);
}

void CSftpClient::CloseLocalFile() {
    platform::CloseFile(transfer.localFile);
    transfer.localFile = platform::kInvalidFile;
}

void CSftpClient::ResetTransfer() {
    CloseLocalFile();
    transfer.Reset();
}

void CSftpClient::DeleteTempFile() {
    if (!tempFilePath.empty()) platform::DeleteLocalFile(tempFilePath);
    tempFilePath.clear();
}

// Ends the operation on a failure met between requests. The remote handle stays known so that
// CloseRemoteHandle can still close it; the local file and the counters go, so the next transfer
// cannot continue from a stale file or offset.
void CSftpClient::FailOperation(int32_t code, const char* text) {
    uint8_t handle[CTransferBlock::MaxHandleLength];
    uint32_t handleLength = transfer.handleLength;
    std::memcpy(handle, transfer.handle, sizeof(handle));
    ResetTransfer();
    std::memcpy(transfer.handle, handle, sizeof(handle));
    transfer.handleLength = handleLength;
    DeleteTempFile();
    SetState(StateIdle);
    ReportResult(code, text);
}

void CSftpClient::AbandonSftpOperation() {
    ResetTransfer();
    DeleteTempFile();
    closeResult = 0;
    closeResultText.clear();
    listingText.clear();
    readLength = 0;
    // A reply that still arrives belongs to no request of the next connection.
    operationState = OpState::Start;
}

const char* CSftpClient::StatusText(uint32_t code) {
    static const char* const kTexts[] = {
        "OK", "End of file", "No such file or folder", "Permission denied", "General failure",
        "Bad message", "No connection", "Connection lost", "Operation unsupported",
    };
    const char* text = code < std::size(kTexts) ? kTexts[code] : "<unknown>";
    ServerStatusText = CWideString(text);
    ServerStatusCode = int16_t(uint16_t(code & 0xFFFF));
    return text;
}

void CSftpClient::ReportServerError(uint32_t code) {
    std::string text = std::string("Server error: ") + StatusText(code);
    ReportResult(Err::ServerError, text.c_str());
}

// ---- requests ----

std::unique_ptr<CSftpPacket> CSftpClient::NewRequest(uint8_t type) {
    auto packet = NewSftpPacket(type);
    packet->body.PutUint32(requestId);
    return packet;
}

void CSftpClient::SendRequest(std::unique_ptr<CSftpPacket> packet, OpState next) {
    operationState = next;
    if (sftpSink != nullptr) sftpSink->SendSftpPacket(std::move(packet));
}

void CSftpClient::SendOpen(uint32_t pflags) {
    auto packet = NewRequest(uint8_t(SftpType::Open));
    PutText(packet->body, remotePath.ToUtf8());
    packet->body.PutUint32(pflags);
    packet->body.PutUint32(0);
    SendRequest(std::move(packet), OpState::OpenFile);
}

void CSftpClient::SendClose() {
    auto packet = NewRequest(uint8_t(SftpType::Close));
    packet->body.PutString(transfer.handle, transfer.handleLength);
    SendRequest(std::move(packet), OpState::Close);
}

void CSftpClient::SendStat(const std::string& path, OpState next) {
    auto packet = NewRequest(uint8_t(SftpType::Stat));
    PutText(packet->body, path);
    SendRequest(std::move(packet), next);
}

void CSftpClient::SendMakeDirectory() {
    auto packet = NewRequest(uint8_t(SftpType::Mkdir));
    PutText(packet->body, remotePath.ToUtf8());
    packet->body.PutUint32(0);
    SendRequest(std::move(packet), OpState::MakeDirectory);
}

void CSftpClient::SendRemoveDirectory() {
    auto packet = NewRequest(uint8_t(SftpType::Rmdir));
    PutText(packet->body, remotePath.ToUtf8());
    SendRequest(std::move(packet), OpState::RemoveDirectory);
}

void CSftpClient::SendRename(const std::string& oldPath, const std::string& newPath) {
    auto packet = NewRequest(uint8_t(SftpType::Rename));
    PutText(packet->body, oldPath);
    PutText(packet->body, newPath);
    SendRequest(std::move(packet), OpState::Rename);
}

void CSftpClient::SendRemove() {
    auto packet = NewRequest(uint8_t(SftpType::Remove));
    PutText(packet->body, remotePath.ToUtf8());
    SendRequest(std::move(packet), OpState::Remove);
}

void CSftpClient::SendRealPath() {
    auto packet = NewRequest(uint8_t(SftpType::Realpath));
    PutText(packet->body, remotePath.ToUtf8());
    SendRequest(std::move(packet), OpState::RealPath);
}

void CSftpClient::SendOpenDirectory() {
    auto packet = NewRequest(uint8_t(SftpType::Opendir));
    PutText(packet->body, remotePath.ToUtf8());
    SendRequest(std::move(packet), OpState::OpenDirectory);
}

void CSftpClient::SendReadDirectory() {
    auto packet = NewRequest(uint8_t(SftpType::Readdir));
    packet->body.PutString(transfer.handle, transfer.handleLength);
    SendRequest(std::move(packet), OpState::ReadDirectory);
}

void CSftpClient::SendAttributeQuery(bool follow) {
    auto packet = NewRequest(uint8_t(follow ? SftpType::Stat : SftpType::Lstat));
    PutText(packet->body, remotePath.ToUtf8());
    SendRequest(std::move(packet), OpState::Stat);
}

void CSftpClient::SendRead(uint32_t length) {
    auto packet = NewRequest(uint8_t(SftpType::Read));
    packet->body.PutString(transfer.handle, transfer.handleLength);
    packet->body.PutUint64(transfer.localPosition);
    packet->body.PutUint32(length);
    readLength = length;
    SendRequest(std::move(packet), OpState::Read);
}

// ---- replies ----

bool CSftpClient::CheckResponseId(SftpReply& reply) {
    uint32_t id = reply.in.Uint32();
    bool match = id == requestId;
    ++requestId;
    if (!match) FailOperation(Err::InvalidResponseId, "Server replied with invalid response ID");
    return match;
}

void CSftpClient::DecodeAttributes(SftpReply& reply) {
    CWireReader& in = reply.in;
    uint32_t flags = in.Uint32();
    uint64_t size = transfer.fileSize;
    uint32_t uid = transfer.uid, gid = transfer.gid, permissions = transfer.permissions;
    uint32_t accessTime = transfer.accessTime, modifyTime = transfer.modifyTime;
    if (flags & AttrSize) size = in.Uint64();
    if (flags & AttrUidGid) {
        uid = in.Uint32();
        gid = in.Uint32();
    }
    if (flags & AttrPermissions) permissions = in.Uint32();
    if (flags & AttrTimes) {
        accessTime = in.Uint32();
        modifyTime = in.Uint32();
    }
    // Half-read attributes are not taken: the caller refuses the reply on !in.Ok().
    if (!in.Ok()) return;
    transfer.attrFlags = flags;
    transfer.fileSize = size;
    transfer.uid = uid;
    transfer.gid = gid;
    transfer.permissions = permissions;
    transfer.accessTime = accessTime;
    transfer.modifyTime = modifyTime;
}

void CSftpClient::OnSftpPacket(CSftpPacket& packet) {
    // Every request is answered before its operation reports its end, so a packet arriving with
    // no operation pending answers nothing; taking it would report a result nobody asked for.
    if (!operationPending && operationState != OpState::Start) return;
    SftpReply reply{SftpType(packet.type), 0, CWireReader(packet.body.Bytes())};
    if (reply.type == SftpType::Status) {
        reply.in.Uint32();  // STATUS ids are not checked and do not advance requestId
        uint32_t code = reply.in.Uint32();
        if (!reply.in.Ok()) {
            reply.type = SftpType::Malformed;
        } else {
            reply.status = code;
            StatusText(code);
            bool claimed = operationState == OpState::StatParent ||
                           (operationState == OpState::StatTarget && state == StateSending) ||
                           (operationState == OpState::ReadDirectory && code == StatusEof);
            if (code != StatusOk && !claimed) {
                // Nothing more is sent: a remote handle that was open stays open.
                ResetTransfer();
                DeleteTempFile();
                SetState(StateIdle);
                ReportServerError(code);
                return;
            }
        }
    } else if (reply.type == SftpType::Handle || reply.type == SftpType::Data || reply.type == SftpType::Name ||
               reply.type == SftpType::Attrs) {
        if (reply.in.Remaining() < 4) reply.type = SftpType::Malformed;
    }

    switch (operationState) {
        case OpState::Start:
            operationState = OpState::None;
            break;
        case OpState::StatTarget:
            OnTargetCheck(reply);
            break;
        case OpState::StatParent:
            OnParentCheck(reply);
            break;
        case OpState::OpenFile:
        case OpState::OpenDirectory:
            OnHandleReply(reply);
            break;
        case OpState::Write:
            if (reply.type == SftpType::Malformed) {
                FailOperation(Err::InvalidReadResponse, "Server returned invalid response to FXP_WRITE");
                break;
            }
            UploadStep();
            break;
        case OpState::Read:
            DownloadStep(&reply);
            break;
        case OpState::Close:
            OnCloseReply(reply);
            break;
        case OpState::MakeDirectory:
        case OpState::RemoveDirectory:
        case OpState::Rename:
        case OpState::Remove:
            OnCommandReply(reply);
            break;
        case OpState::Stat:
            OnAttributesReply(reply);
            break;
        case OpState::SetStat:
            OnSetStatReply(reply);
            break;
        case OpState::RealPath:
            OnRealPathReply(reply);
            break;
        case OpState::ReadDirectory:
            ReadDirectoryStep(&reply);
            break;
        default:
            break;
    }
}

void CSftpClient::OnHandleReply(SftpReply& reply) {
    const char* invalid = operationState == OpState::OpenDirectory ? kInvalidOpenDir : kInvalidOpen;
    // Anything but a handle (an OK status included) leaves nothing outstanding: waiting on would hang.
    if (reply.type != SftpType::Handle) {
        FailOperation(Err::InvalidReadResponse, invalid);
        return;
    }
    if (!CheckResponseId(reply)) return;
    auto handle = reply.in.String();
    if (!reply.in.Ok() || handle.size() > CTransferBlock::MaxHandleLength) {
        FailOperation(Err::InvalidReadResponse, invalid);
        return;
    }
    std::memcpy(transfer.handle, handle.data(), handle.size());
    transfer.handleLength = uint32_t(handle.size());
    switch (state) {
        case StateSending:
            if (Resume) transfer.localPosition = transfer.startOffset = transfer.fileSize;
            if (appendMode) transfer.startOffset = transfer.fileSize;
            UploadStep();
            break;
        case StateReceiving:
            if (transfer.sizeLimit != 0 && transfer.fileSize > uint64_t(uint32_t(transfer.sizeLimit)))
                transfer.fileSize = uint64_t(uint32_t(transfer.sizeLimit));
            DownloadStep(nullptr);
            break;
        case StateExecuting:
            if (listMode < 0)
                SendClose();
            else
                ReadDirectoryStep(nullptr);
            break;
        default:
            break;
    }
}

void CSftpClient::OnCloseReply(SftpReply& reply) {
    if (state == StateIdle) return;
    ResetTransfer();
    if (reply.type == SftpType::Malformed) {
        FailOperation(Err::InvalidReadResponse, kInvalidClose);
        return;
    }
    SetState(StateIdle);
    if (abortRequested) {
        ReportResult(Err::MethodAborted, ErrorMessage(Err::MethodAborted));
    } else if (closeResult != 0) {
        int32_t code = closeResult;
        std::string text = std::move(closeResultText);
        closeResult = 0;
        closeResultText.clear();
        ReportResult(code, text.c_str());
    } else {
        ReportResult(0, "");
    }
}

void CSftpClient::OnCommandReply(SftpReply& reply) {
    if (reply.type == SftpType::Malformed) {
        const char* text = "Server returned invalid response to FXP_MKDIR";
        if (operationState == OpState::RemoveDirectory) text = "Server returned invalid response to FXP_RMDIR";
        if (operationState == OpState::Rename) text = "Server returned invalid response to FXP_RENAME";
        if (operationState == OpState::Remove) text = "Server returned invalid response to FXP_REMOVE";
        FailOperation(Err::InvalidReadResponse, text);
        return;
    }
    SetState(StateIdle);
    ResetTransfer();
    ReportResult(0, "");
}

int32_t CSftpClient::CloseRemoteHandle() {
    // Sending CLOSE into another operation's exchange would hand its replies to the wrong step,
    // and busy-marking a disconnected component would refuse every later Connect.
    if (int32_t code = CheckOperationStart()) return code;
    BeginOperation(StateExecuting);
    SendClose();
    int32_t result = WaitForCompletion();
    if (!operationPending) ResetTransfer();
    return result;
}

}  // namespace velunor
