// Upload: STAT of the target (and of its directory), OPEN, WRITE one block at a time, CLOSE.
#include <string>

#include "client/CSftpClient.h"
#include "client/ErrorTable.h"
#include "sftp/SftpProtocol.h"
#include "sftp/SftpReply.h"
#include "ssh/CSftpPacket.h"

namespace velunor {

namespace {

void Progress(const SftpEvents* events, CSftpClient* client, uint64_t done, uint64_t total) {
    if (events != nullptr && events->OnProgress != nullptr)
        events->OnProgress(client, uint32_t(done), uint32_t(done >> 32), uint32_t(total), uint32_t(total >> 32));
}

}  // namespace

int32_t CSftpClient::Upload(VARIANT local, VARIANT remote) {
    if (int32_t code = CheckOperationStart()) return code;
    TakePathVariant(localPath, local);
    TakePathVariant(remotePath, remote);
    abortRequested = false;
    platform::FileHandle file = platform::OpenFileForRead(localPath.ToUtf8());
    if (file == platform::kInvalidFile) return RaiseError(Err::LocalFileMissing);
    int64_t size = platform::FileSize(file);
    platform::CloseFile(file);
    // The range sent is measured against the file as it is now, whatever a failed upload left.
    transfer.localSize = size < 0 ? 0 : uint64_t(size);
    CloseLocalFile();
    BeginOperation(StateSending);
    SendStat(remotePath.ToUtf8(), OpState::StatTarget);
    return WaitForCompletion();
}

uint32_t CSftpClient::UploadWriteFlags() const {
    uint32_t flags = OpenWrite | OpenCreate;
    if (!Resume && !appendMode && transfer.sizeLimit == 0) flags |= OpenTruncate;
    return flags;
}

void CSftpClient::OnParentCheck(SftpReply& reply) {
    constexpr const char* kCannotWrite = "Server cannot write to a given path.";
    if (reply.type == SftpType::Attrs) {
        if (!CheckResponseId(reply)) return;
        DecodeAttributes(reply);
        if (!reply.in.Ok()) {
            FailOperation(Err::CannotWritePath, kCannotWrite);
            return;
        }
        if (!IsDirectoryMode(transfer.permissions)) {
            FailOperation(Err::CannotWritePath, ErrorMessage(Err::CannotWritePath));
            return;
        }
        transfer.fileSize = 0;
        SendOpen(UploadWriteFlags());
        return;
    }
    if (reply.type == SftpType::Status && reply.status != StatusOk) {
        ResetTransfer();
        SetState(StateIdle);
        ReportServerError(reply.status);
        return;
    }
    FailOperation(Err::CannotWritePath, kCannotWrite);
}

void CSftpClient::UploadStep() {
    if (abortRequested) {
        // The WRITE just answered was the last one outstanding; the CLOSE reply reports the abort.
        lastError = Err::MethodAborted;
        CloseLocalFile();
        SendClose();
        ResetTransfer();
        DeleteTempFile();
        return;
    }
    if (transfer.localPosition >= transfer.localSize) {
        Progress(events, this, transfer.localSize, transfer.localSize);
        CloseLocalFile();
        SendClose();
        ResetTransfer();
        DeleteTempFile();
        return;
    }

    if (transfer.localFile == platform::kInvalidFile) {
        transfer.localFile = platform::OpenFileForRead(localPath.ToUtf8());
        if (transfer.localFile == platform::kInvalidFile) {
            FailOperation(Err::LocalOpenFailed, ErrorMessage(Err::LocalOpenFailed));
            return;
        }
        transfer.progressBase = transfer.startOffset;
        // The full 64-bit position: local and remote offsets must stay equal beyond 4 GiB.
        int64_t at = platform::SeekFile(transfer.localFile, transfer.startOffset);
        if (at < 0) {
            FailOperation(Err::LocalReadFailed, ErrorMessage(Err::LocalReadFailed));
            return;
        }
        transfer.localPosition = uint64_t(at);
        operationState = OpState::Write;
    }

    uint64_t left = transfer.localPosition < transfer.localSize ? transfer.localSize - transfer.localPosition : 0;
    uint64_t cap;
    if (BufferSize != 0 && bufferSize > 0)
        cap = uint64_t(bufferSize);
    else
        cap = remoteMaxPacket != 0 ? remoteMaxPacket : kMaxTransferBlock;
    uint64_t length = left < cap ? left : cap;
    if (length > kMaxTransferBlock) length = kMaxTransferBlock;

    uint8_t* in = ioBuffer.get();
    bool heldCr = transfer.pendingCr != 0;
    size_t lead = heldCr ? 1 : 0;
    if (lead + length > ioBufferSize) length = ioBufferSize - lead;
    if (heldCr) in[0] = '\r';
    int64_t got = length != 0 ? platform::ReadFileBytes(transfer.localFile, in + lead, size_t(length)) : 0;
    if (got <= 0) {
        FailOperation(Err::LocalReadFailed, ErrorMessage(Err::LocalReadFailed));
        return;
    }
    size_t n = size_t(got) + lead;

    if (transfer.localPosition >= transfer.progressBase)
        Progress(events, this, transfer.localPosition - transfer.progressBase, transfer.localSize);
    transfer.localPosition += n - lead;  // a held CR was counted with the block that read it
    transfer.pendingCr = 0;

    const uint8_t* data = in;
    size_t count = n;
    if (TransferMode == 1) {
        // CR LF becomes LF; a CR ending a block waits for the next block's first byte.
        uint8_t* out = convertBuffer.get();
        count = 0;
        for (size_t i = 0; i < n; ++i) {
            uint8_t b = in[i];
            // A CR that ends the file has no LF to pair with and goes out as it is.
            if (b == '\r' && i + 1 == n && transfer.localPosition < transfer.localSize) {
                transfer.pendingCr = 1;
                break;
            }
            if (b == '\r' && i + 1 < n && in[i + 1] == '\n') continue;
            out[count++] = b;
        }
        data = out;
    }

    auto packet = NewRequest(uint8_t(SftpType::Write));
    packet->body.PutString(transfer.handle, transfer.handleLength);
    packet->body.PutUint64(transfer.startOffset);
    packet->body.PutString(data, uint32_t(count));
    transfer.startOffset += count;
    SendRequest(std::move(packet), OpState::Write);
}

}  // namespace velunor
