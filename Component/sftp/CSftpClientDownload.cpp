// Download: STAT, OPEN, READ one block at a time into the local file, CLOSE.
#include <string>

#include "client/CSftpClient.h"
#include "client/ErrorTable.h"
#include "sftp/SftpProtocol.h"
#include "sftp/SftpReply.h"

namespace velunor {

namespace {

constexpr const char* kInvalidAttrs = "Server returned invalid response to FXP_ATTRS";
constexpr const char* kInvalidRead = "Server returned invalid response to FXP_READ";
constexpr const char* kLocalOpenFailed = "Error occured trying to open local file.";

std::string LastComponent(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void Progress(const SftpEvents* events, CSftpClient* client, uint64_t done, uint64_t total) {
    if (events != nullptr && events->OnProgress != nullptr)
        events->OnProgress(client, uint32_t(done), uint32_t(done >> 32), uint32_t(total), uint32_t(total >> 32));
}

}  // namespace

int32_t CSftpClient::PrepareDownloadPath() {
    std::string path = localPath.ToUtf8();
    if (platform::IsDirectory(path)) {
        // Into an existing directory under the remote file's name; "/" is the root itself.
        if (path.back() != '/') path.push_back('/');
        path += LastComponent(remotePath.ToUtf8());
        localPath = CWideString::FromUtf8(path);
        return 0;
    }
    if (platform::PathExists(path)) return 0;
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return RaiseError(Err::InvalidLocalPath);
    std::string directory = path.substr(0, slash + 1);
    if (!platform::IsDirectory(directory)) return RaiseError(Err::InvalidLocalPath);
    return 0;
}

int32_t CSftpClient::Download(VARIANT local, VARIANT remote) {
    if (int32_t code = CheckOperationStart()) return code;
    TakePathVariant(localPath, local);
    TakePathVariant(remotePath, remote);
    abortRequested = false;
    if (int32_t code = PrepareDownloadPath()) return code;
    // A file a failed transfer left open must not receive this download's bytes.
    CloseLocalFile();
    BeginOperation(StateReceiving);
    SendStat(remotePath.ToUtf8(), OpState::StatTarget);
    return WaitForCompletion();
}

void CSftpClient::OnTargetCheck(SftpReply& reply) {
    if (state == StateSending) {
        // The upload's own target check lives with the upload.
        if (reply.type == SftpType::Attrs) {
            if (!CheckResponseId(reply)) return;
            DecodeAttributes(reply);
            if (!reply.in.Ok()) {
                FailOperation(Err::InvalidReadResponse, kInvalidAttrs);
                return;
            }
            if (IsDirectoryMode(transfer.permissions) && !remotePath.Empty()) {
                std::string target = remotePath.ToUtf8();
                if (target.back() != '/') target.push_back('/');
                target += LastComponent(localPath.ToUtf8());
                remotePath = CWideString::FromUtf8(target);
                SendStat(target, OpState::StatTarget);
                return;
            }
            SendOpen(UploadWriteFlags());
            return;
        }
        if (reply.type == SftpType::Status && reply.status != StatusOk) {
            // A missing target: its directory must exist and be a directory.
            std::string target = remotePath.ToUtf8();
            for (char& c : target)
                if (c == '\\') c = '/';
            size_t slash = target.rfind('/');
            // A bare name lives in the server's current directory.
            std::string directory = slash == std::string::npos ? std::string(".") : target.substr(0, slash + 1);
            nameScratch->Clear();
            nameScratch->Append(directory.data(), uint32_t(directory.size()));
            SendStat(directory, OpState::StatParent);
            return;
        }
        FailOperation(Err::InvalidReadResponse, kInvalidAttrs);
        return;
    }

    if (reply.type != SftpType::Attrs) {
        FailOperation(Err::InvalidReadResponse, kInvalidAttrs);
        return;
    }
    if (!CheckResponseId(reply)) return;
    DecodeAttributes(reply);
    if (!reply.in.Ok()) {
        FailOperation(Err::InvalidReadResponse, kInvalidAttrs);
        return;
    }
    if (IsDirectoryMode(transfer.permissions)) {
        FailOperation(Err::PathIsDirectory, ErrorMessage(Err::PathIsDirectory));
        return;
    }
    SendOpen(OpenRead);
}

void CSftpClient::DownloadStep(SftpReply* reply) {
    if (abortRequested) {
        // The reply just handled was the last one outstanding; the CLOSE reply reports the abort.
        lastError = Err::MethodAborted;
        CloseLocalFile();
        SendClose();
        ResetTransfer();
        DeleteTempFile();
        return;
    }

    if (reply != nullptr && operationState == OpState::Read) {
        if (reply->type != SftpType::Data) {
            FailOperation(Err::InvalidReadResponse, kInvalidRead);
            return;
        }
        if (!CheckResponseId(*reply)) return;
        --requestId;  // every READ of one download carries the same id
        auto data = reply->in.String();
        if (!reply->in.Ok() || data.size() > readLength) {
            FailOperation(Err::InvalidReadResponse, kInvalidRead);
            return;
        }
        if (!data.empty()) {
            if (transfer.localFile == platform::kInvalidFile) {
                FailOperation(Err::LocalOpenFailed, kLocalOpenFailed);
                return;
            }
            bool written;
            if (TransferMode == 1 && data.size() * 2 > convertBufferSize) {
                written = false;
            } else if (TransferMode == 1) {
                // LF becomes CR LF unless a CR precedes it, also across block boundaries.
                uint8_t* out = convertBuffer.get();
                size_t n = 0;
                bool afterCr = transfer.pendingCr != 0;
                for (uint8_t b : data) {
                    if (b == '\n' && !afterCr) out[n++] = '\r';
                    out[n++] = b;
                    afterCr = b == '\r';
                }
                transfer.pendingCr = afterCr ? 1 : 0;
                written = platform::WriteFileBytes(transfer.localFile, out, n);
            } else {
                written = platform::WriteFileBytes(transfer.localFile, data.data(), data.size());
            }
            if (!written) {
                FailOperation(Err::LocalWriteFailed, ErrorMessage(Err::LocalWriteFailed));
                return;
            }
            transfer.localSize += data.size();
            transfer.localPosition += data.size();
            if (transfer.localPosition < transfer.fileSize && transfer.localPosition >= transfer.progressBase)
                Progress(events, this, transfer.localPosition - transfer.progressBase, transfer.fileSize);
        }
    }

    if (transfer.localFile == platform::kInvalidFile) {
        transfer.localSize = 0;
        if (transfer.startOffset != 0) {
            transfer.localSize = transfer.localPosition = transfer.startOffset;
            Resume = true;
        }
        transfer.progressBase = transfer.startOffset;
        transfer.pendingCr = 0;
        transfer.localFile = platform::OpenFileForWrite(localPath.ToUtf8(), !Resume);
        if (transfer.localFile == platform::kInvalidFile) {
            FailOperation(Err::LocalOpenFailed, kLocalOpenFailed);
            return;
        }
        transfer.localPosition = transfer.localSize;
        if (platform::SeekFile(transfer.localFile, transfer.localPosition) < 0) {
            FailOperation(Err::LocalOpenFailed, kLocalOpenFailed);
            return;
        }
        operationState = OpState::Read;
    }

    uint64_t length = 0;
    if (transfer.localPosition < transfer.fileSize) {
        length = transfer.fileSize - transfer.localPosition;
        if (length > kMaxTransferBlock) length = kMaxTransferBlock;
    }
    if (BufferSize != 0 && bufferSize > 0 && length > uint64_t(bufferSize)) length = uint64_t(bufferSize);
    if (length != 0) {
        SendRead(uint32_t(length));
        return;
    }

    if (transfer.localPosition >= transfer.progressBase) Progress(events, this, transfer.localSize, transfer.fileSize);
    CloseLocalFile();
    SendClose();
    uint64_t dataStart = transfer.progressBase;
    ResetTransfer();
    if (!tempFilePath.empty()) FinishDownloadData(dataStart);
}

// The downloaded bytes become ResultText in one conversion, so a character whose bytes straddle
// a read boundary stays whole; the data starts where the download started writing.
void CSftpClient::FinishDownloadData(uint64_t dataStart) {
    std::string bytes;
    platform::FileHandle file = platform::OpenFileForRead(tempFilePath);
    if (file != platform::kInvalidFile && platform::SeekFile(file, dataStart) >= 0) {
        uint8_t piece[16384];
        for (;;) {
            int64_t got = platform::ReadFileBytes(file, piece, sizeof(piece));
            if (got <= 0) break;
            bytes.append(reinterpret_cast<const char*>(piece), size_t(got));
        }
    }
    platform::CloseFile(file);
    ResultText = CWideString::FromUtf8(bytes);
    DeleteTempFile();
}

}  // namespace velunor
